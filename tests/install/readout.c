/* A user's readout: a word written with cssa and read back with cfsa. */
#include <stdio.h>

#include <camac758.h>

int main(void) {
    if (ccinit() != 0) {
        fprintf(stderr, "readout: no connection to the adapter\n");
        return 1;
    }
    int ext = 0;
    cdreg(&ext, 24, 0, 5, 0);
    int word = 4660;
    char q = 0;
    if (cssa(16, ext, &word, &q) != 0) return 1;
    int back = 0, q24 = 0;
    if (cfsa(0, ext, &back, &q24) != 0) return 1;
    printf("readout: wrote %d, read %d, Q %d X %d\n", word, back, q24, cdata()->x);
    return back == word ? 0 : 1;
}
