/* The block routines through the public header and the shared libraries
 * alone, on the virtual crate (a 16-word memory in station 1). */
#include <stdio.h>

#include "camac758.h"

int main(void)
{
    int failures = 0;
#define CHECK(cond) do { if (!(cond)) { fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #cond); ++failures; } } while (0)
    CHECK(ccinit() == 0);
    int extb[2], data[16], cb[4] = {16, 0, 0, 0};
    cdreg(&extb[0], 24, 0, 1, 0);
    cdreg(&extb[1], 24, 0, 1, 15);
    for (int k = 0; k < 16; ++k) data[k] = 0x10000 * k + k;
    CHECK(cfmad(16, extb, data, cb) == 0 && cb[1] == 16);
    int back[16] = {0};
    CHECK(cfmad(0, extb, back, cb) == 0 && cb[1] == 16 && back[15] == 0xF000F);
    int lam = 0, l = 9;
    CHECK(cdlam(&lam, 16, 0, 3, 0, NULL) == 0 && ctlm(lam, &l) == 0 && l == 0);
    if (failures) return 1;
    puts("the block routines answered through the public header");
    return 0;
}
