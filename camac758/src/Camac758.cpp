// The IEEE 758 routines beyond the twelve, each a loop of cssa() actions.
#include <cstdint>

#include "camac758.h"

namespace {

constexpr int kFieldBits = 0x87FF;  // A 0-3, N 4-8, C 9-10, 24-bit flag 15
constexpr int kWide = 0x8000;
constexpr int kMask24 = 0xFFFFFF;

// A bad argument: recorded like a failed wait, and nothing done.
int bad() {
    cdata()->error = CAMAC_ERR_ARGUMENT;
    return 1;
}

bool goodF(int f) { return f >= 0 && f <= 31; }
bool goodExt(int ext) { return (ext & ~kFieldBits) == 0; }
bool goodCb(const int* cb) { return cb && cb[CAMAC_CB_COUNT] >= 0; }

bool isRead(int f) { return f <= 7; }
bool isWrite(int f) { return f >= 16 && f <= 23; }

// The data of the two widths: 24 bits in int, 16 bits in unsigned short.
template <typename T>
struct Width;
template <>
struct Width<int> {
    static int ext(int e) { return e | kWide; }
    static int out(int v) { return v & kMask24; }
    static int in(int v) { return v & kMask24; }
};
template <>
struct Width<unsigned short> {
    static int ext(int e) { return e & ~kWide; }
    static int out(unsigned short v) { return v; }
    static unsigned short in(int v) { return static_cast<unsigned short>(v & 0xFFFF); }
};

// One action of width T: sends *word on a write, stores into *word on a read
// (with Q = 1 only when `onlyWithQ`). Returns cssa's result; *q gets Q.
template <typename T>
int act(int f, int ext, T* word, int* q, bool onlyWithQ = false) {
    int data = isWrite(f) ? Width<T>::out(*word) : 0;
    char qc = 0;
    if (cssa(f, Width<T>::ext(ext), &data, &qc) != 0) return 1;
    *q = qc ? 1 : 0;
    if (isRead(f) && (*q || !onlyWithQ)) *word = Width<T>::in(data);
    return 0;
}

template <typename T>
int multiple(const int fa[], const int exta[], T intc[], int qa[], int cb[4]) {
    if (!goodCb(cb)) return bad();
    const int count = cb[CAMAC_CB_COUNT];
    if (count > 0 && (!fa || !exta || !intc || !qa)) return bad();
    for (int k = 0; k < count; ++k)
        if (!goodF(fa[k]) || !goodExt(exta[k])) return bad();
    cb[CAMAC_CB_TALLY] = 0;
    for (int k = 0; k < count; ++k) {
        if (act(fa[k], exta[k], &intc[k], &qa[k]) != 0) return 1;
        cb[CAMAC_CB_TALLY] = k + 1;
    }
    return 0;
}

template <typename T>
int scan(int f, const int extb[2], T intc[], int cb[4]) {
    if (!goodF(f) || !goodCb(cb) || !extb || !goodExt(extb[0]) || !goodExt(extb[1])) return bad();
    const int crate = extb[0] & 0x600;
    const int from = extb[0] & 0x1FF;  // N * 16 + A
    const int to = extb[1] & 0x1FF;
    if ((extb[1] & 0x600) != crate || from > to) return bad();
    const int count = cb[CAMAC_CB_COUNT];
    if (count > 0 && !intc) return bad();
    cb[CAMAC_CB_TALLY] = 0;
    for (int at = from; at <= to && cb[CAMAC_CB_TALLY] < count;) {
        int q = 0;
        if (act(f, crate | at, &intc[cb[CAMAC_CB_TALLY]], &q, true) != 0) return 1;
        if (q) {
            ++cb[CAMAC_CB_TALLY];
            ++at;  // after A 15 this is the next station's A 0
        } else {
            at = (at | 15) + 1;
        }
    }
    return 0;
}

template <typename T>
int qStop(int f, int ext, T intc[], int cb[4]) {
    if (!goodF(f) || !goodExt(ext) || !goodCb(cb)) return bad();
    const int count = cb[CAMAC_CB_COUNT];
    if (count > 0 && !intc) return bad();
    cb[CAMAC_CB_TALLY] = 0;
    while (cb[CAMAC_CB_TALLY] < count) {
        int q = 0;
        if (act(f, ext, &intc[cb[CAMAC_CB_TALLY]], &q, true) != 0) return 1;
        if (!q) break;
        ++cb[CAMAC_CB_TALLY];
    }
    return 0;
}

template <typename T>
int qRepeat(int f, int ext, T intc[], int cb[4]) {
    if (!goodF(f) || !goodExt(ext) || !goodCb(cb)) return bad();
    const int count = cb[CAMAC_CB_COUNT];
    if (count > 0 && !intc) return bad();
    cb[CAMAC_CB_TALLY] = 0;
    while (cb[CAMAC_CB_TALLY] < count) {
        int q = 0;
        for (int tries = 0; !q; ++tries) {
            if (tries == CAMAC_QREPEAT_LIMIT) {
                cdata()->error = CAMAC_ERR_NO_Q;
                return 1;
            }
            if (act(f, ext, &intc[cb[CAMAC_CB_TALLY]], &q, true) != 0) return 1;
            if (!cdata()->x) {
                cdata()->error = CAMAC_ERR_NO_X;
                return 1;
            }
        }
        ++cb[CAMAC_CB_TALLY];
    }
    return 0;
}

// A LAM function at the module a LAM identifier names.
int lamAction(int f, int lam, int* q) {
    if (!goodExt(lam)) return bad();
    const int n = (lam >> 4) & 31;
    if (n < 1 || n > 24) return bad();
    int data = 0;
    int qq = 0;
    if (act(f, lam & ~kWide, &data, &qq) != 0) return 1;
    if (q) *q = qq;
    return 0;
}

}  // namespace

extern "C" {

CAMAC_API int CAMAC_CALL cfsa(int f, int ext, int* data, int* q) {
    if (!goodF(f) || !goodExt(ext) || !data || !q) return bad();
    return act(f, ext, data, q);
}

CAMAC_API int CAMAC_CALL cfga(const int fa[], const int exta[], int intc[], int qa[], int cb[4]) {
    return multiple(fa, exta, intc, qa, cb);
}

CAMAC_API int CAMAC_CALL csga(const int fa[], const int exta[], unsigned short intc[], int qa[], int cb[4]) {
    return multiple(fa, exta, intc, qa, cb);
}

CAMAC_API int CAMAC_CALL cfmad(int f, const int extb[2], int intc[], int cb[4]) { return scan(f, extb, intc, cb); }

CAMAC_API int CAMAC_CALL csmad(int f, const int extb[2], unsigned short intc[], int cb[4]) {
    return scan(f, extb, intc, cb);
}

CAMAC_API int CAMAC_CALL cfubc(int f, int ext, int intc[], int cb[4]) { return qStop(f, ext, intc, cb); }

CAMAC_API int CAMAC_CALL csubc(int f, int ext, unsigned short intc[], int cb[4]) { return qStop(f, ext, intc, cb); }

CAMAC_API int CAMAC_CALL cfubr(int f, int ext, int intc[], int cb[4]) { return qRepeat(f, ext, intc, cb); }

CAMAC_API int CAMAC_CALL csubr(int f, int ext, unsigned short intc[], int cb[4]) { return qRepeat(f, ext, intc, cb); }

CAMAC_API int CAMAC_CALL cdlam(int* lam, int b, int c, int n, int a, const int[]) {
    if (!lam || c < 0 || c > 3 || n < 1 || n > 24 || a < 0 || a > 15) return bad();
    return cdreg(lam, b, c, n, a);
}

CAMAC_API int CAMAC_CALL cclm(int lam, int l) { return lamAction(l ? 26 : 24, lam, nullptr); }

CAMAC_API int CAMAC_CALL cclc(int lam) { return lamAction(10, lam, nullptr); }

CAMAC_API int CAMAC_CALL ctlm(int lam, int* l) {
    if (!l) return bad();
    return lamAction(8, lam, l);
}

}  // extern "C"
