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

/*
 * The same blocks on every path, under the library's lock from the first
 * action to the last, so that no other thread's action (a LAM handler's
 * among them) comes between them and every action's q, x and data are its
 * own. On the packed path this is camac_private_block; on the register path
 * the actions go one by one with the same rules as the driver's block:
 *   list     every action is done, one without X with x = 0; a failed wait
 *            ends it (that action not counted);
 *   Q-stop   the words with Q; the first action with Q = 0 ends it (not
 *            counted); an action without X ends it with
 *            CAMAC_PRIVATE_ERR_NO_X;
 *   Q-repeat each word repeated until Q, at most qrepeatLimit actions
 *            (CAMAC_PRIVATE_ERR_NO_Q), an action without X ending it with
 *            CAMAC_PRIVATE_ERR_NO_X.
 * Returns what camac_private_block returns; without a connection 0 with
 * *error = CAMAC_ERR_DONE_TIMEOUT.
 */
CAMAC_PRIVATE_API int CAMAC_CALL camac_private_run(int mode, camac_private_action* actions, int count,
                                                   int qrepeatLimit, unsigned* error);

/* Crate demand: the adapter's LAM interrupt enable (one for all crates; the
 * crate of ext is not used). set 0 or 1 switches it, set -1 leaves it; *on
 * (may be NULL) gets the state after the call. On the packed path, whose
 * LAM link polls and has no interrupt to switch, the state is kept here
 * and reported, and changes nothing at the adapter. 0, or 1 without a
 * connection or on a failed wait (CamacStatus.error). */
CAMAC_PRIVATE_API int CAMAC_CALL camac_private_crate_demand(int ext, int set, int* on);

/* The text of the last failure of ccinit or of a LAM link, ending in a line
 * feed; "" when there was none. For programs of the same build that show
 * why ccinit failed. */
CAMAC_PRIVATE_API const char* CAMAC_CALL camac_private_error_text(void);

/* Lets the adapter go: ends a LAM link and closes the connection, so that
 * another program may take the adapter (the service and the virtual crate
 * admit one holder). The next ccinit opens it again; until then the
 * routines fail as without a connection. For programs that hold a crate
 * only while they use it (a shell waiting for its user, an interpreter
 * session). Not while another thread of the program is inside a LAM
 * handler of this library. Always 0. */
CAMAC_PRIVATE_API int CAMAC_CALL camac_private_release(void);

#ifdef __cplusplus
}
#endif

#endif /* CAMAC_PRIVATE_H */
