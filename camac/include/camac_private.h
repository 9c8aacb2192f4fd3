/*
 * camac_private.h - the private link between libcamac and libcamac758 of the
 * same build. Not an ESONE interface and not for programs: names, records
 * and meanings may change with any release. On Linux the entries carry the
 * symbol version CAMAC_PRIVATE_1 (src/camac.map); on Windows camac.dll
 * exports them by ordinal only, so that its named exports stay the twelve
 * ESONE routines.
 */
#ifndef CAMAC_PRIVATE_H
#define CAMAC_PRIVATE_H

#include "camac.h"

/* camac.dll names these entries in src/camac.def (by ordinal only), not by
 * dllexport, which would also export their names. */
#if defined(_WIN32) && defined(CAMAC_BUILDING)
#  define CAMAC_PRIVATE_API
#else
#  define CAMAC_PRIVATE_API CAMAC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Blocks in one adapter request -------------------------------------- */

#define CAMAC_PRIVATE_LIST    0  /* each action its own ext, f and data      */
#define CAMAC_PRIVATE_QSTOP   1  /* one address, words until Q = 0 or count   */
#define CAMAC_PRIVATE_QREPEAT 2  /* one address, each word repeated until Q   */

typedef struct camac_private_action {
    int ext;   /* cdreg's external address (for Q-stop/Q-repeat: item 0's)   */
    int f;     /* function code (for Q-stop/Q-repeat: item 0's)              */
    int data;  /* in: the word to write; out: the word read (24 bits)        */
    int q, x;  /* out: the action's Q and X                                  */
} camac_private_action;

/*
 * Carries out `count` actions in one request to the adapter where the
 * adapter path has one (the packed path through kt40drv). Returns -1 when it
 * has none: the caller then carries the actions out one by one. Otherwise
 * returns the number of actions done (Q-stop: the words with Q) and sets
 * *error to 0, or to the library's error code of the action that failed.
 * qrepeatLimit: actions without Q for one word before Q-repeat fails.
 */
CAMAC_PRIVATE_API int CAMAC_CALL camac_private_block(int mode, camac_private_action* actions, int count,
                                                     int qrepeatLimit, unsigned* error);

#ifdef __cplusplus
}
#endif

#endif /* CAMAC_PRIVATE_H */
