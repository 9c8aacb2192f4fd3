/* camac-demo: a few ESONE calls on crate 0 of the virtual adapter, printing
 * what each did. Stations of the default crate: 1 memory, 2 scaler,
 * 3 LAM source, 5 register. */
#include <stdio.h>
#include <stdlib.h>

#include "camac.h"

static CamacStatus *st;

static void show(const char *what, int rc)
{
    printf("%-34s -> %s  X=%d Q=%d L=%d I=%d error=0x%04x\n", what, rc ? "FAILED" : "ok", st->x, st->q, st->l,
           st->i, st->error);
}

int main(void)
{
    st = cdata();
    if (ccinit() != 0) {
        fprintf(stderr, "ccinit failed: no connection to the adapter\n");
        return 1;
    }
    show("ccinit", 0);

    int ext, data;
    char q, l;

    show("Z (initialise crate 0)", (cdreg(&ext, 16, 0, 0, 0), cccz(ext)));
    show("remove inhibit", ccci(ext, 0));

    cdreg(&ext, 24, 0, 5, 0);
    data = 0x123456;
    show("N5 A0 F16 write 0x123456 (24-bit)", cssa(16, ext, &data, &q));
    data = 0;
    int rc = cssa(0, ext, &data, &q);
    show("N5 A0 F0 read (24-bit)", rc);
    printf("%34s    data=0x%06x\n", "", data);

    cdreg(&ext, 24, 0, 2, 0);
    cssa(25, ext, &data, &q);
    cssa(25, ext, &data, &q);
    rc = cssa(0, ext, &data, &q);
    show("N2 A0 F0 read scaler channel 0", rc);
    printf("%34s    count=%d\n", "", data);

    cdreg(&ext, 16, 0, 3, 0);
    show("N3 F25 raise a LAM", cssa(25, ext, &data, &q));
    rc = ctgl(ext, &l);
    show("test LAM", rc);
    printf("%34s    L=%d pattern=0x%06x\n", "", l, st->lamPattern);
    show("N3 F10 clear the LAM", cssa(10, ext, &data, &q));
    rc = ctgl(ext, &l);
    printf("%-34s -> L=%d pattern=0x%06x\n", "test LAM again", l, st->lamPattern);

    cdreg(&ext, 16, 0, 17, 0);
    rc = cssa(0, ext, &data, &q);
    show("N17 (empty station) F0 read", rc);
    return EXIT_SUCCESS;
}
