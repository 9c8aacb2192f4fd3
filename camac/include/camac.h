/*
 * camac.h - the ESONE subroutine interface to CAMAC through the KT40 adapter.
 *
 * Every routine returns 0 for success and 1 for failure and passes its results
 * through pointer arguments. The outcome of the last adapter wait and the
 * signals of the last action are kept in one process-wide CamacStatus record,
 * whose address cdata() returns.
 *
 * An external address `ext` is packed by cdreg() and unpacked by cgreg():
 *   bits 0-3 subaddress A, 4-8 station N, 9-10 crate C, 15 set for 24-bit data.
 *
 * Function codes (only the low 5 bits count): 0-7 read, 8-15 control,
 * 16-23 write, 24-31 control.
 *
 * The routines may be called from several threads: each register sequence is
 * carried out whole before another begins.
 */
#ifndef CAMAC_H
#define CAMAC_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(CAMAC_BUILDING)
#    define CAMAC_API __declspec(dllexport)
#  else
#    define CAMAC_API __declspec(dllimport)
#  endif
#  define CAMAC_CALL __cdecl
#else
#  define CAMAC_API __attribute__((visibility("default")))
#  define CAMAC_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Outcome of the last adapter wait, in CamacStatus.error. */
#define CAMAC_ERR_DONE_TIMEOUT  0x0100  /* "done" not seen within the poll limit  */
#define CAMAC_ERR_ADAPTER       0x0200  /* the adapter raised its error bit      */
#define CAMAC_ERR_BUSY_TIMEOUT  0x0500  /* "busy" did not clear within the limit */
/* The PCI adapter's path (KT40_ADAPTER=pci) only: */
#define CAMAC_ERR_WRONG_CRATE   0x0300  /* another crate than the addressed one answered */
#define CAMAC_ERR_DRIVER        0x0400  /* the driver refused the request, or the device is gone */

typedef struct CamacStatus {
    uint16_t error;        /* 0, or one of CAMAC_ERR_*                          */
    uint8_t  x;            /* X: the module accepted the command                */
    uint8_t  q;            /* Q response                                        */
    uint8_t  l;            /* L: a LAM is present in the crate                  */
    uint8_t  i;            /* I: the crate's dataway inhibit is set             */
    uint32_t lamPattern;   /* bit k: station k+1 requests attention (1-24)      */
    uint8_t  bit11;        /* bit 11 of the last status word                    */
    uint8_t  bit10;        /* bit 10 of the last status word                    */
    int32_t  lastRead;     /* data of the last successful read by cssa          */
    int32_t  lastWritten;  /* data of the last successful write by cssa         */
} CamacStatus;

/* Opens the connection to the adapter and resets it (crate 0, LAM interrupt
 * off); zeroes CamacStatus. 0 = ready, 1 = no connection. */
CAMAC_API int CAMAC_CALL ccinit(void);

/* Packs crate c, station n and subaddress a into *ext; b == 24 selects 24-bit
 * transfers. Values are masked to their fields. Always 0. */
CAMAC_API int CAMAC_CALL cdreg(int *ext, int b, int c, int n, int a);

/* Unpacks ext; *b is 24 or 16. Always 0. */
CAMAC_API int CAMAC_CALL cgreg(int ext, int *b, int *c, int *n, int *a);

/* Performs function f on the module at ext. Reads store into *data, writes
 * send *data; *q receives Q. */
CAMAC_API int CAMAC_CALL cssa(int f, int ext, int *data, char *q);

/* Dataway initialise Z, dataway clear C, and set (l != 0) or remove the
 * dataway inhibit, on the crate of ext. */
CAMAC_API int CAMAC_CALL cccz(int ext);
CAMAC_API int CAMAC_CALL cccc(int ext);
CAMAC_API int CAMAC_CALL ccci(int ext, char l);

/* Tests the crate's inhibit: *l = I. */
CAMAC_API int CAMAC_CALL ctci(int ext, char *l);

/* Tests for a LAM in the crate: *l = L; with a LAM present the pattern of
 * stations 1-24 is left in CamacStatus.lamPattern. */
CAMAC_API int CAMAC_CALL ctgl(int ext, char *l);

/* Has handler called on a thread of the library for every LAM interrupt of
 * the adapter (with the interrupt off during the call, one call at a time),
 * and switches the adapter's LAM interrupt on. A second cclnk only replaces
 * the handler. The handler may itself call cclnk and cculnk. */
CAMAC_API int CAMAC_CALL cclnk(void (*handler)(void));

/* Stops the LAM thread and switches the adapter's LAM interrupt off; returns
 * when the thread has ended, so no handler call is running any more. Called
 * from the handler, it returns at once and the thread ends after it. */
CAMAC_API int CAMAC_CALL cculnk(void);

/* The status record; the same address for the life of the process. */
CAMAC_API CamacStatus *CAMAC_CALL cdata(void);

#ifdef __cplusplus
}
#endif

#endif /* CAMAC_H */
