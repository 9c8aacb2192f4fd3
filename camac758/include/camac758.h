/*
 * camac758.h - the rest of the IEEE 758 (ESONE) subroutine set, layered on the
 * twelve routines of camac.h.
 *
 * Call ccinit() (camac.h) first; every routine here acts through cssa() and
 * so shares its connection, its lock and its status record (cdata()).
 *
 * Conventions, as in camac.h:
 *   - every routine returns 0 for success and 1 for failure;
 *   - a failed adapter wait leaves CAMAC_ERR_DONE_TIMEOUT, CAMAC_ERR_ADAPTER
 *     or CAMAC_ERR_BUSY_TIMEOUT in CamacStatus.error; the failures of this
 *     layer leave one of the CAMAC_ERR_* codes below;
 *   - X, Q, L and I of the last action are in CamacStatus; an action that
 *     gets no X is not a failure (the caller reads CamacStatus.x), except in
 *     the Q-repeat transfers, which would otherwise retry for nothing.
 *
 * Arguments are checked before anything reaches the crate: a function code
 * outside 0-31, an external address with bits set outside the fields cdreg()
 * fills (bits 0-10 and 15), a negative count or a null pointer that the call
 * needs make the routine return 1 with CAMAC_ERR_ARGUMENT and touch nothing.
 *
 * Data width. The "f" routines (cfsa, cfga, cfmad, cfubc, cfubr) transfer 24
 * bits whatever bit 15 of the address says, with data in `int` (0-0xFFFFFF;
 * written values are masked to 24 bits). The "s" routines (csga, csmad, csubc,
 * csubr) transfer 16 bits, with data in `unsigned short`. cssa() itself is in
 * camac.h and keeps its own rules.
 *
 * Control block. The multiple-action and block-transfer routines take an
 * array `cb` of four ints:
 *   cb[0]  repeat count, in: the number of actions (cfga, csga) or the most
 *          words to transfer (the others); 0 performs nothing;
 *   cb[1]  tally, out: the actions performed or the words transferred (with
 *          Q = 1) before the routine ended, also when it returns 1;
 *   cb[2]  LAM identifier of LAM-synchronised transfers: not used here, left
 *          as it is;
 *   cb[3]  channel identifier: not used here, left as it is.
 * Data arrays hold at least cb[0] elements.
 */
#ifndef CAMAC758_H
#define CAMAC758_H

#include "camac.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Failures of this layer, in CamacStatus.error (beside CAMAC_ERR_* of camac.h). */
#define CAMAC_ERR_ARGUMENT      0x0800  /* a bad argument: nothing was done        */
#define CAMAC_ERR_NO_Q          0x0900  /* Q-repeat: no Q in CAMAC_QREPEAT_LIMIT tries */
#define CAMAC_ERR_NO_X          0x0A00  /* Q-repeat: the module gave no X          */

/* The most actions a Q-repeat transfer makes for one word before it gives up. */
#define CAMAC_QREPEAT_LIMIT     10000

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
 * wait ends the list there (the failing action is not counted). */
CAMAC_API int CAMAC_CALL cfga(const int fa[], const int exta[], int intc[], int qa[], int cb[4]);
CAMAC_API int CAMAC_CALL csga(const int fa[], const int exta[], unsigned short intc[], int qa[], int cb[4]);

/* ---- Address scan ------------------------------------------------------- */

/* cfmad / csmad: function f at a succession of addresses of one crate, from
 * extb[0] to extb[1] (both in the same crate, extb[0] not after extb[1] in
 * the order N, then A). At each address:
 *   Q = 1: a word is transferred (read into, or written from, intc[cb[1]]),
 *          the tally grows, and A moves on (after A 15: the next N, A 0);
 *   Q = 0: nothing is transferred, and the scan goes on at the next N, A 0.
 * The scan ends after the action at extb[1] or past it, or when cb[0] words
 * have been transferred. This is the standard's Q-scan: a module that answers
 * Q = 0 at a subaddress has no more registers from there on. */
CAMAC_API int CAMAC_CALL cfmad(int f, const int extb[2], int intc[], int cb[4]);
CAMAC_API int CAMAC_CALL csmad(int f, const int extb[2], unsigned short intc[], int cb[4]);

/* ---- Block transfers at one address ------------------------------------- */

/* cfubc / csubc, Q-stop: function f at ext, repeated. Each action with Q = 1
 * transfers a word (intc[cb[1]]) and counts; the first action with Q = 0
 * ends the transfer without transferring (a module shows "no more data" so),
 * as does reaching cb[0] words. Ending on Q = 0 is success: cb[1] says how
 * many words came. */
CAMAC_API int CAMAC_CALL cfubc(int f, int ext, int intc[], int cb[4]);
CAMAC_API int CAMAC_CALL csubc(int f, int ext, unsigned short intc[], int cb[4]);

/* cfubr / csubr, Q-repeat: cb[0] words with function f at ext; an action with
 * Q = 0 transfers nothing and is repeated (the module was not ready), one
 * with Q = 1 transfers the word and moves to the next. The transfer fails
 * (1) with CAMAC_ERR_NO_Q after CAMAC_QREPEAT_LIMIT actions in a row without
 * Q for one word, and with CAMAC_ERR_NO_X on an action without X. */
CAMAC_API int CAMAC_CALL cfubr(int f, int ext, int intc[], int cb[4]);
CAMAC_API int CAMAC_CALL csubr(int f, int ext, unsigned short intc[], int cb[4]);

/* ---- LAMs of modules ---------------------------------------------------- */

/* cdlam: declares the LAM of the module in crate c, station n (1-24), at
 * subaddress a (0-15), and puts its identifier into *lam; b as for cdreg
 * (LAM functions carry no data, so it changes nothing). inta is the standard's
 * array of implementation-dependent information: this system needs none, and
 * it may be NULL. The identifier is the module's external address. Values
 * out of range are a bad argument. No action reaches the crate. */
CAMAC_API int CAMAC_CALL cdlam(int *lam, int b, int c, int n, int a, const int inta[]);

/* cclm: enables (l != 0, F26) or disables (l == 0, F24) the module's LAM. */
CAMAC_API int CAMAC_CALL cclm(int lam, int l);

/* cclc: clears the module's LAM (F10). */
CAMAC_API int CAMAC_CALL cclc(int lam);

/* ctlm: tests the module's LAM (F8): *l = Q, 1 while the module requests. */
CAMAC_API int CAMAC_CALL ctlm(int lam, int *l);

#ifdef __cplusplus
}
#endif

#endif /* CAMAC758_H */
