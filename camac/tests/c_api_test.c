/* Calls every routine through the public header and the shared library
 * alone, on the virtual crate (station 5 holds a register, station 3 a LAM
 * source). Exits non-zero on the first surprise. */
#include <stddef.h>
#include <stdio.h>

#include "camac.h"

static int failures;

#define CHECK(cond)                                                         \
    do {                                                                    \
        if (!(cond)) {                                                      \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                     \
        }                                                                   \
    } while (0)

static void on_lam(void) {}

int main(void)
{
    CamacStatus *st = cdata();
    CHECK(st != NULL);
    CHECK(offsetof(CamacStatus, lamPattern) == 8 && offsetof(CamacStatus, lastWritten) == 20);
    CHECK(sizeof(CamacStatus) == 24);
    CHECK(ccinit() == 0);
    CHECK(cdata() == st);

    int ext = 0, b, c, n, a;
    CHECK(cdreg(&ext, 24, 0, 5, 0) == 0 && ext == 0x8050);
    CHECK(cgreg(ext, &b, &c, &n, &a) == 0 && b == 24 && c == 0 && n == 5 && a == 0);

    int data = 0xABCDEF;
    char q = 0, l = 9;
    CHECK(cssa(16, ext, &data, &q) == 0 && q == 1 && st->lastWritten == 0xABCDEF);
    data = 0;
    CHECK(cssa(0, ext, &data, &q) == 0 && data == 0xABCDEF && st->lastRead == 0xABCDEF);

    CHECK(cccz(ext) == 0 && st->i == 1);
    CHECK(ctci(ext, &l) == 0 && l == 1);
    CHECK(ccci(ext, 0) == 0 && st->i == 0);
    CHECK(cccc(ext) == 0);

    cdreg(&ext, 16, 0, 3, 0);
    CHECK(cssa(25, ext, &data, &q) == 0);
    CHECK(ctgl(ext, &l) == 0 && l == 1 && st->lamPattern == 0x4);

    CHECK(cssa(10, ext, &data, &q) == 0);
    CHECK(cclnk(on_lam) == 0);
    CHECK(cculnk() == 0);

    if (failures) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    puts("every routine answered through the public header");
    return 0;
}
