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

/* *error of a Q-repeat block whose word never had Q, and of a Q-stop or
 * Q-repeat action without X (camac758's CAMAC_ERR_NO_Q and CAMAC_ERR_NO_X). */
#define CAMAC_PRIVATE_ERR_NO_Q 0x0900
#define CAMAC_PRIVATE_ERR_NO_X 0x0A00
#define CAMAC_PRIVATE_ERR_ARGUMENT 0x0800  /* no actions array, or count < 0 */

typedef struct camac_private_action {
    int ext;   /* cdreg's external address (for Q-stop/Q-repeat: item 0's)   */
    int f;     /* function code (for Q-stop/Q-repeat: item 0's)              */
    int data;  /* in: the word to write; out: the word read (24 bits)        */
    int q, x;  /* out: the action's Q and X                                  */
} camac_private_action;

/*
 * Carries out `count` actions in one request to the adapter where the
 * adapter path has one (the packed path: kt40drv's block request, or the
 * same sequences over the card's port), at most 4096 actions a request.
 * Returns -1 when it has none, or there is no connection: the caller then
 * carries the actions out one by one. Otherwise returns the number of
 * actions done (list: an action without X is done, with x = 0; Q-stop: the
 * words with Q; Q-repeat: the words transferred) and sets *error to 0, or
 * to the library's error code of the action that failed. Every action begun
 * gets its q and x, and a read its data. CamacStatus tells of the last.
 * qrepeatLimit: actions without Q for one word before Q-repeat fails
 * (1 to 65535).
 */
CAMAC_PRIVATE_API int CAMAC_CALL camac_private_block(int mode, camac_private_action* actions, int count,
                                                     int qrepeatLimit, unsigned* error);

/* The text of the last failure of ccinit or of a LAM link, ending in a line
 * feed; "" when there was none. For programs of the same build that show
 * why ccinit failed. */
CAMAC_PRIVATE_API const char* CAMAC_CALL camac_private_error_text(void);

#ifdef __cplusplus
}
#endif

#endif /* CAMAC_PRIVATE_H */
