/* Run under Wine, where no WinDriver service exists: ccinit must fail with 1
 * and leave the status record all zero, and the routines must fail cleanly
 * without a connection. Exit code 0 when all of that holds. */
#include <stdio.h>
#include <string.h>

#include "camac.h"

int main(void)
{
    static const CamacStatus zero;
    CamacStatus *st = cdata();
    int rc = ccinit();
    if (rc != 1) {
        fprintf(stderr, "ccinit returned %d, expected 1 (no WinDriver service)\n", rc);
        return 1;
    }
    if (cdata() != st || memcmp(st, &zero, sizeof zero) != 0) {
        fprintf(stderr, "the status record is not the same all-zero record\n");
        return 1;
    }
    int ext = 0, data = 0;
    char q = 0;
    cdreg(&ext, 16, 0, 5, 0);
    if (cssa(0, ext, &data, &q) != 1 || st->error != CAMAC_ERR_DONE_TIMEOUT) {
        fprintf(stderr, "cssa without a connection did not fail as it should\n");
        return 1;
    }
    puts("camac.dll: ccinit = 1 without the service, status record zero, routines fail cleanly");
    return 0;
}
