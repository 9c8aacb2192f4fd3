/*
 * camac758.h - the rest of the IEEE 758 (ESONE) subroutine set, layered on the
 * twelve routines of camac.h.
 *
 * Call ccinit() (camac.h) first; every routine here acts through the same
 * connection and lock as cssa().
 *
 * Conventions:
 *   - every routine returns 0 for success and 1 for failure;
 *   - a failed adapter wait is CAMAC_ERR_DONE_TIMEOUT, CAMAC_ERR_ADAPTER,
 *     CAMAC_ERR_BUSY_TIMEOUT (or, on the PCI path, CAMAC_ERR_WRONG_CRATE,
 *     CAMAC_ERR_DRIVER); the failures of this layer are the CAMAC_ERR_* codes
 *     below;
 *   - ctstat() gives the calling thread the outcome of its own last routine
 *     of this header: its Q and X, or its error code. It is the record to
 *     read when several threads use the crate (a LAM handler among them):
 *     CamacStatus (cdata()) is shared by all threads, and another thread's
 *     action may replace its fields before the caller reads them. The
 *     routines still leave their error code in CamacStatus.error too.
 *
 * Threads. Each list (cfga, csga) and each block (cfubc, csubc, cfubr, csubr)
 * is carried out whole under the library's lock: no other thread's action
 * comes between two of its actions, and the Q and X it acts on are those of
 * its own actions. On the PCI adapter's path (KT40_ADAPTER=pci, virtual-pci)
 * such a list or block is one request to the driver (4096 actions a request).
 * A list or block longer than 65536 actions goes in pieces of 65536, each
 * whole.
 * The address scan and the LAM-synchronised transfers are atomic action by
 * action (they wait in between, or decide each step on the last).
 *
 * Arguments are checked before anything reaches the crate: a function code
 * outside 0-31, an external address with bits set outside the fields cdreg()
 * fills (bits 0-10 and 15), a negative count, a bad LAM identifier in cb[2]
 * of cfubl or csubl, or a null pointer that the call needs make the
 * routine return 1 with CAMAC_ERR_ARGUMENT and touch nothing.
 *
 * Data width. The "f" routines (cfsa, cfga, cfmad, cfubc, cfubr, cfubl)
 * transfer 24 bits whatever bit 15 of the address says, with data in `int`
 * (0-0xFFFFFF; written values are masked to 24 bits). The "s" routines (csga,
 * csmad, csubc, csubr, csubl) transfer 16 bits, with data in
 * `unsigned short`. cssa() itself is in camac.h and keeps its own rules.
 *
 * Control block. The multiple-action and block-transfer routines take an
 * array `cb` of four ints:
 *   cb[0]  repeat count, in: the number of actions (cfga, csga) or the most
 *          words to transfer (the others); 0 performs nothing;
 *   cb[1]  tally, out: set to 0 before anything else (also when the routine
 *          refuses its arguments), then the actions performed or the words
 *          transferred (with Q = 1) before the routine ended, also when it
 *          returns 1;
 *   cb[2]  LAM identifier (cdlam) of the LAM-synchronised transfers cfubl and
 *          csubl; the other routines leave it as it is;
 *   cb[3]  channel identifier: not used here, left as it is.
 * Data arrays hold at least cb[0] elements.
 *
 * X = 0. A module that gives no X (an empty station, a function it does not
 * have) is never taken for Q = 0 in a list or block:
 *   cfga, csga   the list goes on to its end (every action is made, qa[k] = 0
 *                for one without X), cb[1] counts them all, and the routine
 *                returns 1 with CAMAC_ERR_NO_X; ctstat gives CAMAC_ERR_NO_X;
 *   Q-stop       the action without X ends the transfer and fails with
 *                CAMAC_ERR_NO_X (cb[1]: the words before it);
 *   Q-repeat     likewise (CAMAC_ERR_NO_X), rather than retrying for nothing;
 *   cfubl, csubl as Q-stop;
 *   cfsa         no X is no failure (the standard's single action reports
 *                it): *q = 0 and ctstat gives 2 or 3;
 *   cfmad, csmad no X means no module: the scan goes on at the next
 *                station, as after Q = 0 (scanning past empty stations is
 *                what the scan is for); ctstat tells of its last action.
 */
#ifndef CAMAC758_H
#define CAMAC758_H

#include "camac.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Failures of this layer (beside CAMAC_ERR_* of camac.h). */
#define CAMAC_ERR_ARGUMENT      0x0800  /* a bad argument: nothing was done          */
#define CAMAC_ERR_NO_Q          0x0900  /* Q-repeat: a word never had Q (the limit) */
#define CAMAC_ERR_NO_X          0x0A00  /* an action of a list or block gave no X    */
#define CAMAC_ERR_LAM_TIMEOUT   0x0B00  /* cclwt, cfubl, csubl: no LAM in time       */

/* The most actions a Q-repeat transfer makes for one word before it gives
 * up, until camac758_set_qrepeat_limit() changes it. */
#define CAMAC_QREPEAT_LIMIT     10000
/* The largest limit a program may set (the PCI driver's bound). */
#define CAMAC_QREPEAT_LIMIT_MAX 65535
/* How long cclwt(), cfubl() and csubl() wait for a LAM, in milliseconds,
 * until camac758_set_lam_timeout() changes it. */
#define CAMAC_LAM_TIMEOUT_MS    10000

/* Indices of the control block. */
#define CAMAC_CB_COUNT   0
#define CAMAC_CB_TALLY   1
#define CAMAC_CB_LAM     2
#define CAMAC_CB_CHANNEL 3

/* ---- Single action ------------------------------------------------------ */

/* cfsa: function f at ext with 24-bit data. Reads store into *data, writes
 * send *data, control functions leave it; *q receives Q (0 or 1). */
CAMAC_API int CAMAC_CALL cfsa(int f, int ext, int *data, int *q);

/* ---- Multiple action ---------------------------------------------------- */

/* cfga / csga: cb[0] actions, action k doing fa[k] at exta[k] with intc[k]
 * (as cfsa does with one), and qa[k] receiving its Q. Every fa[k] and exta[k]
 * is checked before the first action. cb[1]: the actions performed; a failed
 * wait ends the list there (the failing action is not counted). An action
 * without X: see "X = 0" above. */
CAMAC_API int CAMAC_CALL cfga(const int fa[], const int exta[], int intc[], int qa[], int cb[4]);
CAMAC_API int CAMAC_CALL csga(const int fa[], const int exta[], unsigned short intc[], int qa[], int cb[4]);

/* ---- Address scan ------------------------------------------------------- */

/* cfmad / csmad: function f at a succession of addresses of one crate, from
 * extb[0] to extb[1] (both in the same crate, extb[0] not after extb[1] in
 * the order N, then A). At each address:
 *   Q = 1: a word is transferred (read into, or written from, intc[cb[1]]),
 *          the tally grows, and A moves on (after A 15: the next N, A 0);
 *   Q = 0 or no X: nothing is transferred, and the scan goes on at the next
 *          N, A 0.
 * The scan ends after the action at extb[1] or past it, after station 24
 * (an end address of N 25-31 scans up to N 24 A 15), or when cb[0] words
 * have been transferred. This is the standard's Q-scan: a module that answers
 * Q = 0 at a subaddress has no more registers from there on. */
CAMAC_API int CAMAC_CALL cfmad(int f, const int extb[2], int intc[], int cb[4]);
CAMAC_API int CAMAC_CALL csmad(int f, const int extb[2], unsigned short intc[], int cb[4]);

/* ---- Block transfers at one address ------------------------------------- */

/* cfubc / csubc, Q-stop: function f at ext, repeated. Each action with Q = 1
 * transfers a word (intc[cb[1]]) and counts; the first action with Q = 0
 * ends the transfer without transferring (a module shows "no more data" so),
 * as does reaching cb[0] words. Ending on Q = 0 is success: cb[1] says how
 * many words came. An action without X fails (CAMAC_ERR_NO_X). */
CAMAC_API int CAMAC_CALL cfubc(int f, int ext, int intc[], int cb[4]);
CAMAC_API int CAMAC_CALL csubc(int f, int ext, unsigned short intc[], int cb[4]);

/* cfubr / csubr, Q-repeat: cb[0] words with function f at ext; an action with
 * Q = 0 transfers nothing and is repeated (the module was not ready), one
 * with Q = 1 transfers the word and moves to the next. The transfer fails
 * (1) with CAMAC_ERR_NO_Q after the Q-repeat limit of actions in a row
 * without Q for one word, and with CAMAC_ERR_NO_X on an action without X. */
CAMAC_API int CAMAC_CALL cfubr(int f, int ext, int intc[], int cb[4]);
CAMAC_API int CAMAC_CALL csubr(int f, int ext, unsigned short intc[], int cb[4]);

/* cfubl / csubl, LAM-synchronised: up to cb[0] words with function f at ext,
 * each word after the LAM named by cb[2] (a cdlam identifier) is present, as
 * cclwt() waits for it. Each word's action then goes as in Q-stop: Q = 1
 * transfers the word, Q = 0 ends the transfer (success), no X fails
 * (CAMAC_ERR_NO_X). A LAM that does not come within the LAM time-out fails
 * with CAMAC_ERR_LAM_TIMEOUT (cb[1]: the words before). The routine does not
 * clear the LAM: it suits modules whose LAM falls when the word is taken
 * (a read-and-clear function such as F2), or a function that clears it. */
CAMAC_API int CAMAC_CALL cfubl(int f, int ext, int intc[], int cb[4]);
CAMAC_API int CAMAC_CALL csubl(int f, int ext, unsigned short intc[], int cb[4]);

/* ---- LAMs of modules ---------------------------------------------------- */

/* cdlam: declares the LAM of the module in crate c, station n (1-24), at
 * subaddress a (0-15), and puts its identifier into *lam; b as for cdreg
 * (LAM functions carry no data, so it changes nothing). inta is the standard's
 * array of implementation-dependent information: this system needs none, and
 * it may be NULL. The identifier is the module's external address. Values
 * out of range are a bad argument. No action reaches the crate. */
CAMAC_API int CAMAC_CALL cdlam(int *lam, int b, int c, int n, int a, const int inta[]);

/* cglam: the converse of cdlam, as cgreg is of cdreg: unpacks the LAM
 * identifier lam into *b (24 or 16), *c, *n and *a. inta (may be NULL) gets
 * nothing: this system keeps no other information. An identifier that cdlam
 * cannot have made is a bad argument. */
CAMAC_API int CAMAC_CALL cglam(int lam, int *b, int *c, int *n, int *a, int inta[]);

/* cclm: enables (l != 0, F26) or disables (l == 0, F24) the module's LAM. */
CAMAC_API int CAMAC_CALL cclm(int lam, int l);

/* cclc: clears the module's LAM (F10). */
CAMAC_API int CAMAC_CALL cclc(int lam);

/* ctlm: tests the module's LAM (F8): *l = Q, 1 while the module requests. */
CAMAC_API int CAMAC_CALL ctlm(int lam, int *l);

/* cclwt: waits until the module requests attention (its F8 gives Q, whether
 * its LAM is enabled or not) or the LAM time-out passes (1 with
 * CAMAC_ERR_LAM_TIMEOUT). The calling thread tests the module every
 * millisecond; cclwt starts no thread, takes no interrupt and clears nothing,
 * so a handler linked with cclnk still sees the LAM, and cclwt still sees it
 * until someone clears it (the caller, with cclc, once it has served the
 * module). A LAM already present ends the wait at once. */
CAMAC_API int CAMAC_CALL cclwt(int lam);

/* ---- Crate demand ------------------------------------------------------- */

/* cccd: enables (l != 0) or disables crate demand, the adapter's LAM
 * interrupt (one enable for all its crates: the crate of ext does not
 * matter). cclnk and cculnk switch the same enable, and it is off while a
 * linked handler runs. On the PCI adapter's path, which has no LAM interrupt
 * (its LAM link polls), the state is kept and reported by ctcd but changes
 * nothing. */
CAMAC_API int CAMAC_CALL cccd(int ext, int l);

/* ctcd: *l = 1 while crate demand is enabled, else 0. */
CAMAC_API int CAMAC_CALL ctcd(int ext, int *l);

/* ---- Status of the calling thread's last routine ------------------------- */

/* ctstat: *k describes the last routine of this header that the calling
 * thread called (ctstat and the settings below aside):
 *   0  Q and X     1  X, no Q     2  Q, no X     3  neither Q nor X
 *      of its last action (for a list or block: the one that ended it; for
 *      a scan: its last action), when the routine returned 0;
 *   the routine's error code (CAMAC_ERR_*, 0x0100 and up) when it returned 1;
 *  -1  no such routine yet on this thread.
 * Actions that the program makes with camac.h's own routines do not count:
 * their outcome is in CamacStatus. Always returns 0. */
CAMAC_API int CAMAC_CALL ctstat(int *k);

/* ---- Settings of this library (not IEEE 758) ----------------------------- */

/* The Q-repeat limit, 1 to CAMAC_QREPEAT_LIMIT_MAX, for every thread from
 * the next transfer on; 1 (CAMAC_ERR_ARGUMENT) for another value. */
CAMAC_API int CAMAC_CALL camac758_set_qrepeat_limit(int limit);

/* The LAM time-out in milliseconds, 0 (test once) or more; 1
 * (CAMAC_ERR_ARGUMENT) for a negative value. */
CAMAC_API int CAMAC_CALL camac758_set_lam_timeout(int ms);

/*
 * FORTRAN. The library also has the entries that a FORTRAN program compiled
 * by gfortran (or another compiler that names externals in lower case with a
 * trailing underscore) calls: CFSA, CFGA, CSGA, CFMAD, CSMAD, CFUBC, CSUBC,
 * CFUBR, CSUBR, CFUBL, CSUBL, CDLAM, CGLAM, CCLM, CCLC, CTLM, CCLWT, CCCD,
 * CTCD, CTSTAT, the settings CAMAC758_SET_QREPEAT_LIMIT and
 * CAMAC758_SET_LAM_TIMEOUT, and camac.h's CCINIT, CDREG, CGREG, CSSA, CCCZ, CCCC, CCCI,
 * CTCI, CTGL, CCLNK, CCULNK, as SUBROUTINEs with every argument by
 * reference: INTEGER for numbers, addresses and data words (also for the 16-
 * bit "s" routines and CSSA, whose width follows the address as in C), a
 * default LOGICAL for Q and the L flags (out: .TRUE. or .FALSE.; in: any
 * non-zero value is true), INTEGER arrays for data, Q arrays (LOGICAL or
 * INTEGER, one 4-byte element each), control blocks and INTA, and for CCLNK
 * an EXTERNAL subroutine without arguments. The outcome of each call is
 * CTSTAT's: after CSSA as after CFSA (an action under the library's lock);
 * after camac.h's other routines 0 for success, or the error code that
 * CamacStatus holds on their return. Link with -lcamac758 -lcamac.
 */

#ifdef __cplusplus
}
#endif

#endif /* CAMAC758_H */
