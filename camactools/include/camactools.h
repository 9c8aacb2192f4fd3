/*
 * camactools.h - what every face of the KT40 system shares: the rules of an
 * action, the texts of the library's failures, the LAM pattern, script files
 * (*.tvs) and their grid text, and the front panel's worker for running them.
 * The front panel, kt40, CamacDS and the Python package all take these from
 * here, so that a station the one refuses the others refuse too, in the same
 * words.
 *
 * Not an ESONE interface: the CAMAC routines stay those of camac.h and
 * camac758.h. Texts are written into the caller's buffer (`why`, `text`),
 * always terminated, cut to its size; a NULL buffer is allowed where the
 * caller wants the verdict alone.
 */
#ifndef CAMACTOOLS_H
#define CAMACTOOLS_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(CAMACTOOLS_BUILDING)
#    define CT_API __declspec(dllexport)
#  elif defined(CAMACTOOLS_STATIC)
#    define CT_API
#  else
#    define CT_API __declspec(dllimport)
#  endif
#  define CT_CALL __cdecl
#else
#  define CT_API __attribute__((visibility("default")))
#  define CT_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Actions ------------------------------------------------------------ */

/* What a function code does: F0-F7 read, F16-F23 write, F8-F15 and F24-F31
 * control; 0 for a code outside 0..31. */
#define CT_READ    1
#define CT_CONTROL 2
#define CT_WRITE   3
CT_API int CT_CALL ct_function_kind(int f);

/* The verdict on an action; the first fault found, in this order. */
#define CT_OK               0
#define CT_BAD_CRATE        1  /* crate C outside 0..3                 */
#define CT_BAD_STATION      2  /* station N outside 1..24              */
#define CT_BAD_SUBADDRESS   3  /* subaddress A outside 0..15           */
#define CT_BAD_FUNCTION     4  /* function F outside 0..31             */
#define CT_BAD_BITS         5  /* a width other than 16 or 24          */
#define CT_NO_DATA          6  /* a write without its data word        */
#define CT_DATA_NOT_WRITTEN 7  /* a data word with a read or control   */
#define CT_BAD_DATA         8  /* a data word wider than the width     */

/* Checks an action at crate c, station n, subaddress a, function f, `bits`
 * 16 or 24 wide, with a data word when has_data is non-zero. Returns CT_OK,
 * or the fault with its text in `why` ("station N must be 1..24, not 0"). */
CT_API int CT_CALL ct_check_action(int c, int n, int a, int f, int bits, int has_data, long long data,
                                   char *why, size_t size);

/* A number as every face takes it: decimal (with a leading '-' if
 * negative), 0x hexadecimal, 0o octal or 0b binary, with nothing before or
 * after it and at most 4294967295 in size. Returns 1 with *value set, or 0
 * when `text` (length bytes, no terminator needed) is no such number. */
CT_API int CT_CALL ct_parse_number(const char *text, size_t length, long long *value);

/* The stations (1-24) whose bit is set in a LAM pattern, in order, into
 * stations[0..23]; returns how many. */
CT_API int CT_CALL ct_lam_stations(uint32_t pattern, int stations[24]);

/* ---- Texts of the library ----------------------------------------------- */

/* The words for a CamacStatus.error value (camac.h) or a camac758 error
 * code: "the adapter did not report the action done in time". A static
 * text; unknown codes read "failure 0x0C00" (in a buffer of the calling
 * thread). */
CT_API const char *CT_CALL ct_error_text(unsigned error);

/* Why the last ccinit failed, in the library's own words (a wrong
 * KT40_ADAPTER, the driver or service that could not be reached, the crate
 * held by another program), without a line end; a general text when the
 * library gave none. Returns 1 when the library gave a reason of its own. */
CT_API int CT_CALL ct_connect_failure(char *why, size_t size);

/* ---- Script files --------------------------------------------------------- */

/* One entry of a command program: the 40-byte record of a script file. */
typedef struct ct_entry {
    uint8_t kind;          /* 0 = CAMAC command, 1 = LAM operation          */
    uint8_t pad0[3];
    int32_t lam_operation; /* kind 1: 0 = read the LAM pattern ("RDL")      */
    uint8_t addressed;     /* kind 0: 1 = N, A, F command; 0 = C, Z, I, NI  */
    uint8_t pad1[3];
    int32_t mode;          /* word width, 16 or 24                          */
    int32_t crate;         /* 0..3                                          */
    int32_t n;             /* station 1..24                                 */
    int32_t a;             /* subaddress 0..15                              */
    int32_t f;             /* function 0..31                                */
    int32_t data;          /* data word                                     */
    int32_t code;          /* unaddressed: 1 = C, 2 = Z, 4 = I, 8 = NI       */
} ct_entry;

#define CT_SCRIPT_MAX_ENTRIES 255
#define CT_SCRIPT_RESERVED    44
/* The largest file image: magic, header, reserved bytes and 255 records. */
#define CT_SCRIPT_MAX_SIZE    (3 + 8 + CT_SCRIPT_RESERVED + 40 * CT_SCRIPT_MAX_ENTRIES)

/* A command program as a file holds it. */
typedef struct ct_script {
    int32_t run_position;  /* as saved; 0 after a load, as the panel sets it */
    int32_t count;         /* entries in use, 0..255                        */
    uint8_t reserved[CT_SCRIPT_RESERVED]; /* kept from a loaded file       */
    ct_entry entries[CT_SCRIPT_MAX_ENTRIES];
} ct_script;

/* What of an entry lies outside its fields' ranges ("station N 37,
 * function F 40"), as kt40 show marks it: the panel would run such an
 * entry with its fields masked to their bits, at another address. Returns
 * 0 for a sound entry (and "" in `why`), 1 otherwise. */
CT_API int CT_CALL ct_entry_check(const ct_entry *entry, char *why, size_t size);

/* The entry as the panel's program grid shows it, its non-empty cells one
 * space apart: "B16 C00 N05 A00 F16 D1234", "C00 Z", "RDL". Returns the
 * length of the whole text. */
CT_API size_t CT_CALL ct_entry_text(const ct_entry *entry, char *text, size_t size);

/* Outcomes of the script-file calls. */
#define CT_SCRIPT_OK           0
#define CT_SCRIPT_INCOMPATIBLE 1 /* not a script file, or a damaged one       */
#define CT_SCRIPT_OPEN_FAILED  2 /* cannot be opened (or its temporary made)  */
#define CT_SCRIPT_READ_FAILED  3
#define CT_SCRIPT_READ_ONLY    4 /* the target is read-only or no regular file */
#define CT_SCRIPT_WRITE_FAILED 5
#define CT_SCRIPT_TOO_MANY     6 /* count outside 0..255: nothing written     */

/* Decodes a file image into *script, all or nothing: an image that is not
 * a complete script leaves *script untouched and says why ("damaged script
 * file: count 300 outside 0..255"). The run position becomes 0. */
CT_API int CT_CALL ct_script_decode(const uint8_t *image, size_t length, ct_script *script, char *why,
                                    size_t size);
/* The file image of *script, byte for byte as the panel writes it, into
 * image[0..size-1]. Returns its length (0 for a count outside 0..255); when
 * that exceeds `size` nothing is written. */
CT_API size_t CT_CALL ct_script_encode(const ct_script *script, uint8_t *image, size_t size);
/* Reads a script file (UTF-8 path), all or nothing. */
CT_API int CT_CALL ct_script_load(const char *path, ct_script *script, char *why, size_t size);
/* Writes a script file through a temporary file beside it, so that a failed
 * save leaves the file as it was; a read-only target is refused. */
CT_API int CT_CALL ct_script_save(const char *path, const ct_script *script, char *why, size_t size);

/* ---- Running a script: the front panel's worker, headless ----------------- */

/* One executed entry, as the panel would have shown it. */
typedef struct ct_run_step {
    int64_t pass;          /* 1 for the first pass through the program      */
    int32_t entry;         /* 1-based                                       */
    int32_t r_shown;       /* the entry showed R: a value, or "ERROR"       */
    int32_t r_error;       /* R showed "ERROR": the entry failed            */
    int32_t r;             /* the value shown                               */
    int32_t x, q, l, i;    /* 0 or 1; 2 where the entry does not show it    */
    int32_t lam_shown;     /* the LAM table was shown                       */
    uint32_t lam_pattern;  /* its stations (bit k: station k+1)             */
} ct_run_step;

/* Called on the worker's thread for each executed entry, in order. */
typedef void(CT_CALL *ct_run_callback)(const ct_run_step *step, void *user);

typedef struct ct_run_options {
    int32_t cycle;          /* 0: one pass ("Однократно"); 1: passes ("Цикл")  */
    uint64_t passes;        /* with cycle: stop after this many (0: until stop) */
    int32_t command_delay;  /* ms between entries                            */
    int32_t cycle_delay;    /* ms between passes                             */
    int32_t as_panel;       /* run out-of-range entries as the panel does     */
    int32_t *stop;          /* may be NULL; set non-zero (any thread, an      */
                            /* atomic store) to end the run after the entry   */
                            /* in progress                                    */
} ct_run_options;

typedef struct ct_run_result {
    uint64_t entries;       /* entries executed                              */
    uint64_t errors;        /* of them with "ERROR"                          */
    int32_t stopped;        /* ended by *stop                                */
    double seconds;         /* from the first entry to the end               */
} ct_run_result;

/* The outcomes of ct_run_script. */
#define CT_RUN_DONE         0 /* ran; see result->errors                       */
#define CT_RUN_EMPTY        1 /* the program has no entries                    */
#define CT_RUN_OUT_OF_RANGE 2 /* out-of-range entries and no as_panel: nothing  */
                              /* was run (why names them)                       */
#define CT_RUN_NO_CONNECTION 3 /* ccinit failed (why says why)                 */

/* Checks the entries of *script as ct_run_script does before a run without
 * as_panel. Returns the index (0-based) of the first entry outside its
 * fields' ranges, or -1 when every entry is sound. `why` gets the refusal
 * that ct_run_script gives ("2 entries are out of range; nothing was run",
 * then a line for each of the first ten: "  entry 3: station N 37"), or "".
 * Only the entries in use are looked at (count, taken as 0..255). */
CT_API int CT_CALL ct_script_check(const ct_script *script, char *why, size_t size);

/* Runs *script with the panel's worker and its rules (the same thread, the
 * same pauses, the same LAM reads): a pass of the program, or passes until
 * `passes` or *stop. Returns when the run has ended and the worker is gone.
 * The caller's connection to the adapter is used (opened by ccinit when
 * there is none). */
CT_API int CT_CALL ct_run_script(const ct_script *script, const ct_run_options *options, ct_run_callback callback,
                                 void *user, ct_run_result *result, char *why, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* CAMACTOOLS_H */
