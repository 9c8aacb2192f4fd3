C     A small readout loop through the FORTRAN entries on the virtual
C     crate: the memory in station 1 filled by a list (CFGA), one of its
C     words read back by a Q-stop transfer (CFUBC), CTSTAT after each
C     step, and an empty station that gives neither Q nor X.
      PROGRAM READOUT
      INTEGER EXT, EXTS(4), FA(4), IDATA(4), CB(4), K, I, NBAD
      LOGICAL Q, QA(4)
      NBAD = 0
      CALL CCINIT
      CALL CTSTAT(K)
      IF (K .NE. 0) STOP 1
      DO 10 I = 1, 4
         CALL CDREG(EXTS(I), 24, 0, 1, I - 1)
         FA(I) = 16
         IDATA(I) = 1000 * I
   10 CONTINUE
      CB(1) = 4
      CB(2) = -1
      CB(3) = 0
      CB(4) = 0
      CALL CFGA(FA, EXTS, IDATA, QA, CB)
      CALL CTSTAT(K)
      IF (K .NE. 0 .OR. CB(2) .NE. 4 .OR. .NOT. QA(4)) NBAD = NBAD + 1
C     Q-stop at A 2: the memory gives Q at every read of it.
      CALL CDREG(EXT, 24, 0, 1, 2)
      DO 20 I = 1, 4
         IDATA(I) = 0
   20 CONTINUE
      CB(1) = 3
      CALL CFUBC(0, EXT, IDATA, CB)
      CALL CTSTAT(K)
      IF (K .NE. 0 .OR. CB(2) .NE. 3) NBAD = NBAD + 1
      IF (IDATA(1) .NE. 3000 .OR. IDATA(3) .NE. 3000) NBAD = NBAD + 1
      IF (IDATA(4) .NE. 0) NBAD = NBAD + 1
C     Station 9 is empty: no Q, K = 3; a Q-stop there fails with no X.
      CALL CDREG(EXT, 16, 0, 9, 0)
      CALL CSSA(0, EXT, IDATA(1), Q)
      CALL CTSTAT(K)
      IF (Q .OR. K .NE. 3) NBAD = NBAD + 1
      CALL CFUBC(0, EXT, IDATA, CB)
      CALL CTSTAT(K)
      IF (K .NE. 2560 .OR. CB(2) .NE. 0) NBAD = NBAD + 1
      IF (NBAD .NE. 0) THEN
         PRINT *, 'READOUT:', NBAD, ' CHECKS FAILED'
         STOP 1
      END IF
      PRINT *, 'READOUT: THE FORTRAN ENTRIES ANSWERED'
      END
