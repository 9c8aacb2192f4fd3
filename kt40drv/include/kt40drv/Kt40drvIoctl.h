/* kt40drv: control codes and word layouts for user-mode programs.
 *
 * Open the first adapter as \\.\KT400, the second as \\.\KT401, and so on.
 * The first six codes are METHOD_NEITHER: the input and output buffers are arrays of
 * 32-bit little-endian words at the caller's own addresses. The number of
 * bytes returned by DeviceIoControl is the request's information field, which
 * this driver sets to a count of output words, not bytes.
 *
 * A buffer shorter than the words a code reads or writes is refused with
 * ERROR_INVALID_PARAMETER (STATUS_INVALID_PARAMETER), and one at an address
 * the caller may not use with ERROR_NOACCESS (STATUS_ACCESS_VIOLATION),
 * before the adapter is touched; the output buffer is left as it was.
 *
 * Control callers take turns at the controller. One that waits behind
 * another's cycle longer than the driver's "CycleWaitMilliseconds" parameter
 * (30000 when absent) is refused with ERROR_BUSY (STATUS_DEVICE_BUSY),
 * Information 0, before the adapter is touched; a thread that is being
 * terminated stops waiting at once (STATUS_CANCELLED).
 *
 * Access: the device admits the system, administrators and members of the
 * local Power Users group, whom an administrator makes the crate's operators
 * (kt40drv.inf); everyone else is refused at open (ERROR_ACCESS_DENIED).
 */
#ifndef KT40DRV_IOCTL_H
#define KT40DRV_IOCTL_H

/* Device type FILE_DEVICE_UNKNOWN (0x22), METHOD_NEITHER, FILE_ANY_ACCESS,
 * functions 0x800-0x805. */
#define KT40DRV_IOCTL_DEBUG          0x00222003u /* in: 1 word; out: 4 words (word 2 untouched) */
#define KT40DRV_IOCTL_SETINTEVENT    0x00222007u /* accepted, does nothing */
#define KT40DRV_IOCTL_CLEARINTEVENT  0x0022200Bu /* accepted, does nothing */
#define KT40DRV_IOCTL_ADDRESSCOMMAND 0x0022200Fu /* in: address word (and data for F16-23); out: 3 words for reads, 2 otherwise */
#define KT40DRV_IOCTL_CRATECOMMAND   0x00222013u /* in: address word, command code; out: 2 words */
#define KT40DRV_IOCTL_READLAM        0x00222017u /* in: address word; out: 3 words */

/* Function 0x806, METHOD_BUFFERED, FILE_ANY_ACCESS: a block of actions in
 * one request, copied in and out by the I/O manager (no caller address
 * reaches the driver). Unlike the six above, its Information is a count of
 * output bytes, as buffered requests need.
 *
 * Input: 4 header words, then one pair (address word, data word) per action.
 *   0  kind: KT40DRV_BLOCK_LIST, KT40DRV_BLOCK_QSTOP or KT40DRV_BLOCK_QREPEAT
 *   1  actions, 1 to KT40DRV_BLOCK_MAX_ACTIONS
 *   2  Q-repeat: actions without Q allowed for one word, 1 to
 *      KT40DRV_BLOCK_MAX_REPEAT; the other kinds: 0
 *   3  0
 *   List: each pair is one addressed command of its own, as
 *   KT40DRV_IOCTL_ADDRESSCOMMAND carries it out. Q-stop and Q-repeat: every
 *   action uses the address word of pair 0 (the others must be equal to it);
 *   the data words are the words to write.
 * Output: 4 header words, then one pair (completion word, data read; 0 for
 * what an action did not give) per action started, Q-repeat: per word
 * started, with the completion word of its last action.
 *   0  the result code that ended the block (0: all actions done, or Q-stop
 *      reached Q = 0); KT40DRV_RESULT_NO_Q when a Q-repeat word used up its
 *      actions
 *   1  actions done: list, the actions carried out before the one that
 *      failed (an action without X is done, with X clear in its completion
 *      word); Q-stop, the words with Q; Q-repeat, the words with Q
 *   2  Q-repeat: all actions made; otherwise the actions done
 *   3  0
 * The input length must be exactly that of its header and pairs and the
 * output at least as long; anything else, or a bad kind, count or limit, is
 * refused with STATUS_INVALID_PARAMETER before the port is touched, the
 * output left as it was. The whole block runs in the caller's thread before
 * the request completes; each action's waits have the poll limit below. */
#define KT40DRV_IOCTL_BLOCK          0x00222018u

#define KT40DRV_BLOCK_LIST    0u
#define KT40DRV_BLOCK_QSTOP   1u
#define KT40DRV_BLOCK_QREPEAT 2u
#define KT40DRV_BLOCK_HEADER_WORDS 4u
#define KT40DRV_BLOCK_MAX_ACTIONS  4096u
#define KT40DRV_BLOCK_MAX_REPEAT   65535u
#define KT40DRV_BLOCK_BYTES(actions) ((KT40DRV_BLOCK_HEADER_WORDS + 2u * (unsigned)(actions)) * 4u)

/* Address word: input word 0 of the three command codes. */
#define KT40DRV_ADDRESS_F_MASK      0x0000001Fu /* bits 0-4: function code F */
#define KT40DRV_ADDRESS_A_SHIFT     5           /* bits 5-8: subaddress A */
#define KT40DRV_ADDRESS_N_SHIFT     9           /* bits 9-13: station N */
#define KT40DRV_ADDRESS_NAF_MASK    0x00003FFFu
#define KT40DRV_ADDRESS_CRATE_SHIFT 14          /* bits 14-15: crate 0-3 */
#define KT40DRV_ADDRESS_24BIT       0x00010000u /* bit 16: 24-bit transfer */
#define KT40DRV_ADDRESS(c, n, a, f, wide24)                                                         \
    ((((unsigned)(c) & 3u) << 14) | (((unsigned)(n) & 31u) << 9) | (((unsigned)(a) & 15u) << 5) | \
     ((unsigned)(f) & 31u) | ((wide24) ? KT40DRV_ADDRESS_24BIT : 0u))

/* Crate command codes (input word 1 of KT40DRV_IOCTL_CRATECOMMAND). */
#define KT40DRV_CRATE_C        1u /* dataway clear */
#define KT40DRV_CRATE_Z        2u /* dataway initialise */
#define KT40DRV_CRATE_SET_I    4u /* set the inhibit */
#define KT40DRV_CRATE_REMOVE_I 8u /* remove the inhibit */

/* Completion word: output word 1 of the command codes. */
#define KT40DRV_COMPLETION_DATA_MASK 0x0000FFFFu
#define KT40DRV_COMPLETION_Q         0x00010000u
#define KT40DRV_COMPLETION_X         0x00020000u
#define KT40DRV_COMPLETION_BUSY      0x00040000u
#define KT40DRV_COMPLETION_CYCLE     0x00080000u
#define KT40DRV_COMPLETION_DONE      0x00100000u
#define KT40DRV_COMPLETION_ERROR     0x00200000u
#define KT40DRV_COMPLETION_CRATE(w)  (((w) >> 22) & 3u)
/* What a card that has dropped off the bus (a dead or pulled card) answers
 * to every read. A wait stops at the first such word, in place of polling
 * to the limit: waits for completion and the busy waits after a data load
 * alike end with KT40DRV_RESULT_ERROR (its error bit is set). */
#define KT40DRV_COMPLETION_GONE      0xFFFFFFFFu

/* Result code: output word 0 of the command codes. */
#define KT40DRV_RESULT_OK          0u /* done, right crate and (addressed) X */
#define KT40DRV_RESULT_WRONG_CRATE 1u /* done, but another crate answered */
#define KT40DRV_RESULT_ERROR       2u /* the controller's error bit, or a card answering all ones */
#define KT40DRV_RESULT_NO_DONE     3u /* done not seen within 0xFFFFFF reads */
#define KT40DRV_RESULT_NO_X        4u /* addressed command done without X */
#define KT40DRV_RESULT_BUSY        5u /* busy not cleared within 0xFFFFFF reads after a data load */
#define KT40DRV_RESULT_NO_Q        6u /* KT40DRV_IOCTL_BLOCK only: a Q-repeat word never had Q */

#define KT40DRV_POLL_LIMIT 0x00FFFFFFu

#endif
