/* The cost of one cssa call from C, for the Python benchmark: it loads this
 * library into its own process, beside the same camac, and compares. */
#define _POSIX_C_SOURCE 200112L /* clock_gettime */
#include <time.h>

#include "camac.h"

/* Runs `count` actions F `f` at `ext` (data `data` for writes) and returns the
 * processor time this thread spent on them in nanoseconds, or -1 when one
 * failed. Processor time, not wall time: other work on a shared machine does
 * not count (the virtual adapter answers in the calling thread). */
__attribute__((visibility("default"))) long long kt40py_cnaf_loop(int f, int ext, int data, long long count)
{
    struct timespec start, end;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    for (long long i = 0; i < count; ++i) {
        int word = data;
        char q = 0;
        if (cssa(f, ext, &word, &q) != 0)
            return -1;
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    return (long long)(end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
}
