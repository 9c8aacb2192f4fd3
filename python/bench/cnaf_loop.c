/* The cost of one cssa call from C, for the Python benchmark: it loads this
 * library into its own process, beside the same camac, and compares. */
#include <time.h>

#include "camac.h"

/* Runs `count` actions F `f` at `ext` (data `data` for writes) and returns the
 * nanoseconds they took, or -1 when one failed. */
__attribute__((visibility("default"))) long long kt40py_cnaf_loop(int f, int ext, int data, long long count)
{
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long long i = 0; i < count; ++i) {
        int word = data;
        char q = 0;
        if (cssa(f, ext, &word, &q) != 0)
            return -1;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    return (long long)(end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
}
