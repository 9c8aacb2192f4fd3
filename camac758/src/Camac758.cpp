// The IEEE 758 routines beyond the twelve. Lists and blocks are carried out
// whole by libcamac's private run entry (camac_private.h), under its lock and
// with each action's own Q and X; the scan and the LAM waits go action by
// action through the same entry.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "camac758.h"
#include "camac_private.h"

namespace {

constexpr int kFieldBits = 0x87FF;  // A 0-3, N 4-8, C 9-10, 24-bit flag 15
constexpr int kWide = 0x8000;
constexpr int kMask24 = 0xFFFFFF;
constexpr int kLastAddress = 24 * 16 + 15;  // N 24, A 15
// The most actions of a list or block carried out in one run (under one hold
// of the lock): longer ones go in pieces of this size.
constexpr int kWhole = 65536;

std::atomic<int> g_qrepeatLimit{CAMAC_QREPEAT_LIMIT};
std::atomic<int> g_lamTimeoutMs{CAMAC_LAM_TIMEOUT_MS};

// ctstat's K for the calling thread.
thread_local int t_status = -1;

int succeed(int q, int x) {
    t_status = (q ? 0 : 1) + (x ? 0 : 2);
    return 0;
}

// A failure: `error` for ctstat; this layer's own ones also in CamacStatus
// (the library's were put there under its lock).
int fail(unsigned error, bool own) {
    t_status = static_cast<int>(error);
    if (own) cdata()->error = static_cast<uint16_t>(error);
    return 1;
}
int bad() { return fail(CAMAC_ERR_ARGUMENT, true); }

bool goodF(int f) { return f >= 0 && f <= 31; }
bool goodExt(int ext) { return (ext & ~kFieldBits) == 0; }
bool goodLam(int lam) {
    const int n = (lam >> 4) & 31;
    return goodExt(lam) && n >= 1 && n <= 24;
}
// The tally is 0 before anything is checked.
bool goodCb(int* cb, bool withLam = false) {
    if (!cb) return false;
    cb[CAMAC_CB_TALLY] = 0;
    if (cb[CAMAC_CB_COUNT] < 0) return false;
    return !withLam || goodLam(cb[CAMAC_CB_LAM]);
}

bool isRead(int f) { return f <= 7; }
bool isWrite(int f) { return f >= 16 && f <= 23; }

// Data words of 24 bits (Wide) or 16, kept in T.
template <bool Wide, typename T>
struct Data {
    static constexpr int kMask = Wide ? kMask24 : 0xFFFF;
    static int ext(int e) { return Wide ? (e | kWide) : (e & ~kWide); }
    static int out(T v) { return static_cast<int>(v) & kMask; }
    static T in(int v) { return static_cast<T>(v & kMask); }
};

struct Outcome {
    int done;
    unsigned error;
};

// Each action gets its q, x and (read) data.
Outcome run(int mode, camac_private_action* actions, int count) {
    unsigned error = 0;
    const int done = camac_private_run(mode, actions, count, g_qrepeatLimit.load(), &error);
    if (done < 0) return {0, CAMAC_ERR_DONE_TIMEOUT};
    return {done, error};
}
Outcome run(int mode, std::vector<camac_private_action>& actions) {
    return run(mode, actions.data(), static_cast<int>(actions.size()));
}
Outcome single(camac_private_action& a) { return run(CAMAC_PRIVATE_LIST, &a, 1); }

template <bool Wide, typename T>
int action(int f, int ext, T* data, int* q) {
    if (!goodF(f) || !goodExt(ext) || !data || !q) return bad();
    camac_private_action a{Data<Wide, T>::ext(ext), f, isWrite(f) ? Data<Wide, T>::out(*data) : 0, 0, 0};
    const Outcome o = single(a);
    if (o.error) return fail(o.error, false);
    *q = a.q;
    if (isRead(f)) *data = Data<Wide, T>::in(a.data);
    return succeed(a.q, a.x);
}

template <bool Wide, typename T>
int multiple(const int fa[], const int exta[], T intc[], int qa[], int cb[4]) {
    if (!goodCb(cb)) return bad();
    const int count = cb[CAMAC_CB_COUNT];
    if (count > 0 && (!fa || !exta || !intc || !qa)) return bad();
    for (int k = 0; k < count; ++k)
        if (!goodF(fa[k]) || !goodExt(exta[k])) return bad();
    bool noX = false;
    camac_private_action last{0, 0, 0, 1, 1};
    std::vector<camac_private_action> actions;
    for (int first = 0; first < count; first += kWhole) {
        const int n = std::min(kWhole, count - first);
        actions.resize(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            const int f = fa[first + i];
            actions[i] = {Data<Wide, T>::ext(exta[first + i]), f, isWrite(f) ? Data<Wide, T>::out(intc[first + i]) : 0,
                          0, 0};
        }
        const Outcome o = run(CAMAC_PRIVATE_LIST, actions);
        for (int i = 0; i < o.done; ++i) {
            if (isRead(fa[first + i])) intc[first + i] = Data<Wide, T>::in(actions[i].data);
            qa[first + i] = actions[i].q;
            noX = noX || !actions[i].x;
        }
        cb[CAMAC_CB_TALLY] += o.done;
        if (o.error) return fail(o.error, false);
        last = actions[n - 1];
    }
    if (noX) return fail(CAMAC_ERR_NO_X, true);
    return succeed(last.q, last.x);
}

template <bool Wide, typename T>
int scan(int f, const int extb[2], T intc[], int cb[4]) {
    if (!goodCb(cb) || !goodF(f) || !extb || !goodExt(extb[0]) || !goodExt(extb[1])) return bad();
    const int crate = extb[0] & 0x600;
    const int from = extb[0] & 0x1FF;  // N * 16 + A
    const int to = std::min(extb[1] & 0x1FF, kLastAddress);
    if ((extb[1] & 0x600) != crate || from > (extb[1] & 0x1FF)) return bad();
    const int count = cb[CAMAC_CB_COUNT];
    if (count > 0 && !intc) return bad();
    camac_private_action a{0, 0, 0, 1, 1};
    for (int at = from; at <= to && cb[CAMAC_CB_TALLY] < count;) {
        T& word = intc[cb[CAMAC_CB_TALLY]];
        a = {Data<Wide, T>::ext(crate | at), f, isWrite(f) ? Data<Wide, T>::out(word) : 0, 0, 0};
        const Outcome o = single(a);
        if (o.error) return fail(o.error, false);
        if (a.q && a.x) {
            if (isRead(f)) word = Data<Wide, T>::in(a.data);
            ++cb[CAMAC_CB_TALLY];
            ++at;  // after A 15 this is the next station's A 0
        } else {
            at = (at | 15) + 1;
        }
    }
    return succeed(a.q, a.x);
}

// Q-stop and Q-repeat at one address.
template <bool Wide, typename T>
int block(int mode, int f, int ext, T intc[], int cb[4]) {
    if (!goodCb(cb) || !goodF(f) || !goodExt(ext)) return bad();
    const int count = cb[CAMAC_CB_COUNT];
    if (count > 0 && !intc) return bad();
    camac_private_action last{0, 0, 0, 1, 1};
    std::vector<camac_private_action> actions;
    for (int first = 0; first < count; first += kWhole) {
        const int n = std::min(kWhole, count - first);
        actions.assign(static_cast<size_t>(n), camac_private_action{Data<Wide, T>::ext(ext), f, 0, 0, 0});
        if (isWrite(f))
            for (int i = 0; i < n; ++i) actions[i].data = Data<Wide, T>::out(intc[first + i]);
        const Outcome o = run(mode, actions);
        if (isRead(f))
            for (int i = 0; i < o.done; ++i) intc[first + i] = Data<Wide, T>::in(actions[i].data);
        cb[CAMAC_CB_TALLY] += o.done;
        if (o.error) return fail(o.error, false);
        last = actions[o.done < n ? o.done : n - 1];
        if (o.done < n) break;  // Q-stop: Q = 0
    }
    return succeed(last.q, last.x);
}

// Waits until the module at lam requests (F8 gives Q) or the time-out.
int waitLam(int lam) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_lamTimeoutMs.load());
    for (;;) {
        camac_private_action a{lam & ~kWide, 8, 0, 0, 0};
        const Outcome o = single(a);
        if (o.error) return fail(o.error, false);
        if (a.q) return succeed(a.q, a.x);
        if (std::chrono::steady_clock::now() >= deadline) return fail(CAMAC_ERR_LAM_TIMEOUT, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

template <bool Wide, typename T>
int lamBlock(int f, int ext, T intc[], int cb[4]) {
    if (!goodCb(cb, true) || !goodF(f) || !goodExt(ext)) return bad();
    const int count = cb[CAMAC_CB_COUNT];
    if (count > 0 && !intc) return bad();
    camac_private_action a{0, 0, 0, 1, 1};
    for (int k = 0; k < count; ++k) {
        if (waitLam(cb[CAMAC_CB_LAM]) != 0) return 1;
        a = {Data<Wide, T>::ext(ext), f, isWrite(f) ? Data<Wide, T>::out(intc[k]) : 0, 0, 0};
        const Outcome o = run(CAMAC_PRIVATE_QSTOP, &a, 1);
        if (o.error) return fail(o.error, false);
        if (o.done == 0) break;  // Q = 0
        if (isRead(f)) intc[k] = Data<Wide, T>::in(a.data);
        ++cb[CAMAC_CB_TALLY];
    }
    return succeed(a.q, a.x);
}

// A LAM function at the module a LAM identifier names.
int lamAction(int f, int lam, int* q) {
    if (!goodLam(lam)) return bad();
    camac_private_action a{lam & ~kWide, f, 0, 0, 0};
    const Outcome o = single(a);
    if (o.error) return fail(o.error, false);
    if (q) *q = a.q;
    return succeed(a.q, a.x);
}

// ctstat after one of camac.h's routines called from FORTRAN.
int core(int rc) {
    if (rc == 0) return succeed(1, 1);
    const unsigned error = cdata()->error;
    return fail(error ? error : CAMAC_ERR_DONE_TIMEOUT, false);
}

}  // namespace

extern "C" {

CAMAC_API int CAMAC_CALL cfsa(int f, int ext, int* data, int* q) { return action<true>(f, ext, data, q); }

CAMAC_API int CAMAC_CALL cfga(const int fa[], const int exta[], int intc[], int qa[], int cb[4]) {
    return multiple<true>(fa, exta, intc, qa, cb);
}

CAMAC_API int CAMAC_CALL csga(const int fa[], const int exta[], unsigned short intc[], int qa[], int cb[4]) {
    return multiple<false>(fa, exta, intc, qa, cb);
}

CAMAC_API int CAMAC_CALL cfmad(int f, const int extb[2], int intc[], int cb[4]) { return scan<true>(f, extb, intc, cb); }

CAMAC_API int CAMAC_CALL csmad(int f, const int extb[2], unsigned short intc[], int cb[4]) {
    return scan<false>(f, extb, intc, cb);
}

CAMAC_API int CAMAC_CALL cfubc(int f, int ext, int intc[], int cb[4]) {
    return block<true>(CAMAC_PRIVATE_QSTOP, f, ext, intc, cb);
}

CAMAC_API int CAMAC_CALL csubc(int f, int ext, unsigned short intc[], int cb[4]) {
    return block<false>(CAMAC_PRIVATE_QSTOP, f, ext, intc, cb);
}

CAMAC_API int CAMAC_CALL cfubr(int f, int ext, int intc[], int cb[4]) {
    return block<true>(CAMAC_PRIVATE_QREPEAT, f, ext, intc, cb);
}

CAMAC_API int CAMAC_CALL csubr(int f, int ext, unsigned short intc[], int cb[4]) {
    return block<false>(CAMAC_PRIVATE_QREPEAT, f, ext, intc, cb);
}

CAMAC_API int CAMAC_CALL cfubl(int f, int ext, int intc[], int cb[4]) { return lamBlock<true>(f, ext, intc, cb); }

CAMAC_API int CAMAC_CALL csubl(int f, int ext, unsigned short intc[], int cb[4]) {
    return lamBlock<false>(f, ext, intc, cb);
}

CAMAC_API int CAMAC_CALL cdlam(int* lam, int b, int c, int n, int a, const int[]) {
    if (!lam || c < 0 || c > 3 || n < 1 || n > 24 || a < 0 || a > 15) return bad();
    cdreg(lam, b, c, n, a);
    return succeed(1, 1);
}

CAMAC_API int CAMAC_CALL cglam(int lam, int* b, int* c, int* n, int* a, int[]) {
    if (!goodLam(lam) || !b || !c || !n || !a) return bad();
    cgreg(lam, b, c, n, a);
    return succeed(1, 1);
}

CAMAC_API int CAMAC_CALL cclm(int lam, int l) { return lamAction(l ? 26 : 24, lam, nullptr); }

CAMAC_API int CAMAC_CALL cclc(int lam) { return lamAction(10, lam, nullptr); }

CAMAC_API int CAMAC_CALL ctlm(int lam, int* l) {
    if (!l) return bad();
    return lamAction(8, lam, l);
}

CAMAC_API int CAMAC_CALL cclwt(int lam) {
    if (!goodLam(lam)) return bad();
    return waitLam(lam);
}

CAMAC_API int CAMAC_CALL cccd(int ext, int l) {
    if (!goodExt(ext)) return bad();
    return core(camac_private_crate_demand(ext, l ? 1 : 0, nullptr));
}

CAMAC_API int CAMAC_CALL ctcd(int ext, int* l) {
    if (!goodExt(ext) || !l) return bad();
    return core(camac_private_crate_demand(ext, -1, l));
}

CAMAC_API int CAMAC_CALL ctstat(int* k) {
    if (k) *k = t_status;
    return 0;
}

}  // extern "C"

namespace {

// The settings leave ctstat as it is.
int refuseSetting() {
    cdata()->error = CAMAC_ERR_ARGUMENT;
    return 1;
}

}  // namespace

extern "C" {

CAMAC_API int CAMAC_CALL camac758_set_qrepeat_limit(int limit) {
    if (limit < 1 || limit > CAMAC_QREPEAT_LIMIT_MAX) return refuseSetting();
    g_qrepeatLimit.store(limit);
    return 0;
}

CAMAC_API int CAMAC_CALL camac758_set_lam_timeout(int ms) {
    if (ms < 0) return refuseSetting();
    g_lamTimeoutMs.store(ms);
    return 0;
}

// ---- FORTRAN: every argument by reference, data in INTEGER ----------------------------

CAMAC_API void CAMAC_CALL ccinit_(void) { core(ccinit()); }
CAMAC_API void CAMAC_CALL cdreg_(int* ext, const int* b, const int* c, const int* n, const int* a) {
    core(cdreg(ext, *b, *c, *n, *a));
}
CAMAC_API void CAMAC_CALL cgreg_(const int* ext, int* b, int* c, int* n, int* a) { core(cgreg(*ext, b, c, n, a)); }
CAMAC_API void CAMAC_CALL cssa_(const int* f, const int* ext, int* data, int* q) {
    // cssa's rules: the width from the address, f's low 5 bits.
    const int fn = *f & 31;
    camac_private_action a{*ext, fn, isWrite(fn) ? *data : 0, 0, 0};
    const Outcome o = single(a);
    if (o.error) {
        fail(o.error, false);
        return;
    }
    *q = a.q;
    if (isRead(fn)) *data = a.data;
    succeed(a.q, a.x);
}
CAMAC_API void CAMAC_CALL cccz_(const int* ext) { core(cccz(*ext)); }
CAMAC_API void CAMAC_CALL cccc_(const int* ext) { core(cccc(*ext)); }
CAMAC_API void CAMAC_CALL ccci_(const int* ext, const int* l) { core(ccci(*ext, *l ? 1 : 0)); }
CAMAC_API void CAMAC_CALL ctci_(const int* ext, int* l) {
    char v = 0;
    if (core(ctci(*ext, &v)) == 0) *l = v ? 1 : 0;
}
CAMAC_API void CAMAC_CALL ctgl_(const int* ext, int* l) {
    char v = 0;
    if (core(ctgl(*ext, &v)) == 0) *l = v ? 1 : 0;
}
CAMAC_API void CAMAC_CALL cclnk_(void (*handler)(void)) { core(cclnk(handler)); }
CAMAC_API void CAMAC_CALL cculnk_(void) { core(cculnk()); }

CAMAC_API void CAMAC_CALL cfsa_(const int* f, const int* ext, int* data, int* q) { cfsa(*f, *ext, data, q); }
CAMAC_API void CAMAC_CALL cfga_(const int* fa, const int* exta, int* intc, int* qa, int* cb) {
    multiple<true>(fa, exta, intc, qa, cb);
}
CAMAC_API void CAMAC_CALL csga_(const int* fa, const int* exta, int* intc, int* qa, int* cb) {
    multiple<false>(fa, exta, intc, qa, cb);
}
CAMAC_API void CAMAC_CALL cfmad_(const int* f, const int* extb, int* intc, int* cb) { scan<true>(*f, extb, intc, cb); }
CAMAC_API void CAMAC_CALL csmad_(const int* f, const int* extb, int* intc, int* cb) { scan<false>(*f, extb, intc, cb); }
CAMAC_API void CAMAC_CALL cfubc_(const int* f, const int* ext, int* intc, int* cb) {
    block<true>(CAMAC_PRIVATE_QSTOP, *f, *ext, intc, cb);
}
CAMAC_API void CAMAC_CALL csubc_(const int* f, const int* ext, int* intc, int* cb) {
    block<false>(CAMAC_PRIVATE_QSTOP, *f, *ext, intc, cb);
}
CAMAC_API void CAMAC_CALL cfubr_(const int* f, const int* ext, int* intc, int* cb) {
    block<true>(CAMAC_PRIVATE_QREPEAT, *f, *ext, intc, cb);
}
CAMAC_API void CAMAC_CALL csubr_(const int* f, const int* ext, int* intc, int* cb) {
    block<false>(CAMAC_PRIVATE_QREPEAT, *f, *ext, intc, cb);
}
CAMAC_API void CAMAC_CALL cfubl_(const int* f, const int* ext, int* intc, int* cb) { lamBlock<true>(*f, *ext, intc, cb); }
CAMAC_API void CAMAC_CALL csubl_(const int* f, const int* ext, int* intc, int* cb) {
    lamBlock<false>(*f, *ext, intc, cb);
}
CAMAC_API void CAMAC_CALL cdlam_(int* lam, const int* b, const int* c, const int* n, const int* a, const int* inta) {
    cdlam(lam, *b, *c, *n, *a, inta);
}
CAMAC_API void CAMAC_CALL cglam_(const int* lam, int* b, int* c, int* n, int* a, int* inta) {
    cglam(*lam, b, c, n, a, inta);
}
CAMAC_API void CAMAC_CALL cclm_(const int* lam, const int* l) { cclm(*lam, *l); }
CAMAC_API void CAMAC_CALL cclc_(const int* lam) { cclc(*lam); }
CAMAC_API void CAMAC_CALL ctlm_(const int* lam, int* l) { ctlm(*lam, l); }
CAMAC_API void CAMAC_CALL cclwt_(const int* lam) { cclwt(*lam); }
CAMAC_API void CAMAC_CALL cccd_(const int* ext, const int* l) { cccd(*ext, *l); }
CAMAC_API void CAMAC_CALL ctcd_(const int* ext, int* l) { ctcd(*ext, l); }
CAMAC_API void CAMAC_CALL ctstat_(int* k) { ctstat(k); }
CAMAC_API void CAMAC_CALL camac758_set_qrepeat_limit_(const int* limit) { camac758_set_qrepeat_limit(*limit); }
CAMAC_API void CAMAC_CALL camac758_set_lam_timeout_(const int* ms) { camac758_set_lam_timeout(*ms); }

}  // extern "C"
