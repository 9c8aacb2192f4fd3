// The packed port's sequences; see Kt40Packed.h.
#include "Kt40Packed.h"

namespace kt40packed {

namespace {

constexpr uint32_t kTargetRsel = 0x10000;
constexpr uint32_t kTargetWdlo = 0x20000;
constexpr uint32_t kTargetWdhi = 0x30000;
constexpr uint32_t kCrateCommand = 0x8000;
constexpr uint32_t kWideCommand = 0x4000;
constexpr uint32_t kSelectHighByte = 1;
constexpr uint32_t kSelectLamLow = 2;
constexpr uint32_t kSelectLamHigh = 4;

uint32_t CrateBits(const Address& A) { return A.Crate << 18; }

// Bits of output words 0..n-1.
constexpr uint32_t Words(uint32_t Count) { return (1u << Count) - 1; }

}  // namespace

Address Decode(uint32_t Word, uint32_t Mode) {
    return Address{Word & KT40DRV_ADDRESS_F_MASK, Word & KT40DRV_ADDRESS_NAF_MASK,
                   (Word & KT40DRV_ADDRESS_24BIT) != 0, (Word >> KT40DRV_ADDRESS_CRATE_SHIFT) & 3, Mode};
}

uint32_t WaitCompletion(const Port& P, const Address& A, uint32_t& Result) {
    Result = KT40DRV_RESULT_OK;
    uint32_t word = 0;
    for (uint32_t reads = 0;;) {
        if (reads == KT40DRV_POLL_LIMIT) {
            Result = KT40DRV_RESULT_NO_DONE;
            break;
        }
        ++reads;
        word = P.Read(P.Context);
        // Also the first word of a card that reads all ones.
        if (word & KT40DRV_COMPLETION_ERROR) {
            Result = KT40DRV_RESULT_ERROR;
            break;
        }
        if (word & (KT40DRV_COMPLETION_BUSY | KT40DRV_COMPLETION_CYCLE)) continue;
        if (word & KT40DRV_COMPLETION_DONE) {
            if (KT40DRV_COMPLETION_CRATE(word) != A.Crate)
                Result = KT40DRV_RESULT_WRONG_CRATE;
            else if (A.Mode == kAddressed && !(word & KT40DRV_COMPLETION_X))
                Result = KT40DRV_RESULT_NO_X;
            break;
        }
    }
    return word;
}

namespace {

// WaitBusyClear, telling why it failed: Gone when it read all ones.
enum class Busy { Clear, Stuck, Gone };
Busy WaitBusy(const Port& P) {
    for (uint32_t reads = 0; reads < KT40DRV_POLL_LIMIT; ++reads) {
        const uint32_t word = P.Read(P.Context);
        if (word == KT40DRV_COMPLETION_GONE) return Busy::Gone;
        if (!(word & KT40DRV_COMPLETION_BUSY)) return Busy::Clear;
    }
    return Busy::Stuck;
}

}  // namespace

bool WaitBusyClear(const Port& P) { return WaitBusy(P) == Busy::Clear; }

bool WriteDataWord(const Port& P, const Address& A, uint32_t& Result, uint32_t Data) {
    P.Write(P.Context, kTargetWdlo | CrateBits(A) | (Data & 0xFFFF));
    Busy busy = WaitBusy(P);
    if (busy == Busy::Clear && A.Wide) {
        P.Write(P.Context, kTargetWdhi | CrateBits(A) | ((Data >> 16) & 0xFF));
        busy = WaitBusy(P);
    }
    const bool ok = busy == Busy::Clear;
    if (!ok) Result = busy == Busy::Gone ? KT40DRV_RESULT_ERROR : KT40DRV_RESULT_BUSY;
    P.Read(P.Context);
    return ok;
}

uint32_t ReadSelected(const Port& P, const Address& A, uint32_t& Result, uint32_t& Data) {
    P.Write(P.Context, kTargetRsel | CrateBits(A) | kSelectLamLow);
    uint32_t word = WaitCompletion(P, A, Result);
    if (Result != 0) return word;
    Data = word & 0xFFFF;
    P.Write(P.Context, kTargetRsel | CrateBits(A) | kSelectLamHigh);
    word = WaitCompletion(P, A, Result);
    if (Result != 0) return word;
    Data |= (word & 0xFF) << 16;
    return word;
}

void AddressCommand(const Port& P, uint32_t AddressWord, uint32_t Data, Reply& R) {
    const Address a = Decode(AddressWord, kAddressed);
    const bool isRead = a.F < 8;
    const bool isWrite = a.F >= 16 && a.F < 24;
    const uint32_t command = a.Naf | (a.Wide ? kWideCommand : 0) | CrateBits(a);
    R = Reply{{0, 0, 0}, 0, 0};
    uint32_t result = 0;
    if (isRead) {
        P.Write(P.Context, command);
        const uint32_t word = WaitCompletion(P, a, result);
        R.Out[0] = result;
        R.Out[1] = word;
        R.Written = Words(2);
        if (result != 0) {
            R.Information = 2;
            return;
        }
        uint32_t data = word & 0xFFFF;
        R.Information = 3;
        if (a.Wide) {
            P.Write(P.Context, kTargetRsel | CrateBits(a) | kSelectHighByte);
            const uint32_t high = WaitCompletion(P, a, result);
            R.Out[0] = result;
            if (result != 0)
                R.Information = 1;
            else
                data |= (high & 0xFF) << 16;
        }
        R.Out[2] = data;
        R.Written = Words(3);
        R.Information += 1;
    } else if (isWrite) {
        if (!WriteDataWord(P, a, result, Data)) {
            R.Out[0] = result;
            R.Written = Words(1);
            R.Information = 1;
            return;
        }
        P.Write(P.Context, command);
        R.Out[1] = WaitCompletion(P, a, result);
        R.Out[0] = result;
        R.Written = Words(2);
        R.Information = 2;
    } else {
        P.Write(P.Context, command);
        R.Out[1] = WaitCompletion(P, a, result);
        R.Out[0] = result;
        R.Written = Words(2);
    }
}

void CrateCommand(const Port& P, uint32_t AddressWord, uint32_t Code, Reply& R) {
    const Address a = Decode(AddressWord, kCrate);
    uint32_t result = 0;
    P.Write(P.Context, Code | kCrateCommand | CrateBits(a));
    const uint32_t word = WaitCompletion(P, a, result);
    R = Reply{{result, word, 0}, result == 0 ? Words(2) : Words(1), result == 0 ? 2u : 1u};
}

void ReadLam(const Port& P, uint32_t AddressWord, Reply& R) {
    const Address a = Decode(AddressWord, kLam);
    uint32_t result = 0;
    uint32_t pattern = 0;
    const uint32_t word = ReadSelected(P, a, result, pattern);
    R = Reply{{result, word, pattern}, result == 0 ? Words(3) : Words(2), result == 0 ? 3u : 2u};
}

// ---- Blocks ----------------------------------------------------------------------

bool BlockCheck(const uint32_t* In, uint32_t InBytes, uint32_t OutBytes) {
    if (InBytes < KT40DRV_BLOCK_HEADER_WORDS * 4) return false;
    const uint32_t kind = In[0];
    const uint32_t count = In[1];
    if (kind > KT40DRV_BLOCK_QREPEAT || count == 0 || count > KT40DRV_BLOCK_MAX_ACTIONS || In[3] != 0)
        return false;
    if (kind == KT40DRV_BLOCK_QREPEAT ? (In[2] == 0 || In[2] > KT40DRV_BLOCK_MAX_REPEAT) : In[2] != 0)
        return false;
    if (InBytes != KT40DRV_BLOCK_BYTES(count) || OutBytes < KT40DRV_BLOCK_BYTES(count)) return false;
    if (kind != KT40DRV_BLOCK_LIST) {
        const uint32_t* pairs = In + KT40DRV_BLOCK_HEADER_WORDS;
        for (uint32_t i = 1; i < count; ++i)
            if (pairs[2 * i] != pairs[0]) return false;
    }
    return true;
}

uint32_t Block(const Port& P, const uint32_t* In, uint32_t* Out) {
    const uint32_t kind = In[0];
    const uint32_t count = In[1];
    const uint32_t limit = In[2];
    const uint32_t* pairs = In + KT40DRV_BLOCK_HEADER_WORDS;
    uint32_t* results = Out + KT40DRV_BLOCK_HEADER_WORDS;
    uint32_t result = KT40DRV_RESULT_OK;
    uint32_t done = 0;     // actions done or words with Q
    uint32_t actions = 0;  // actions made
    uint32_t started = 0;  // pairs written
    for (uint32_t i = 0; i < count; ++i) {
        Reply r;
        bool ended = false;
        for (uint32_t attempt = 0;; ++attempt) {
            if (kind == KT40DRV_BLOCK_QREPEAT && attempt == limit) {
                result = KT40DRV_RESULT_NO_Q;
                ended = true;
                break;
            }
            AddressCommand(P, pairs[2 * i], pairs[2 * i + 1], r);
            ++actions;
            if (kind != KT40DRV_BLOCK_QREPEAT || r.Out[0] != KT40DRV_RESULT_OK ||
                (r.Out[1] & KT40DRV_COMPLETION_Q))
                break;
        }
        results[2 * i] = (r.Written & 2) ? r.Out[1] : 0;
        results[2 * i + 1] = (r.Written & 4) ? r.Out[2] : 0;
        started = i + 1;
        if (ended) break;
        const uint32_t code = r.Out[0];
        if (code == KT40DRV_RESULT_NO_X && kind == KT40DRV_BLOCK_LIST) {
            ++done;  // done, X clear in its completion word
            continue;
        }
        if (code != KT40DRV_RESULT_OK) {
            result = code;
            break;
        }
        if (kind == KT40DRV_BLOCK_QSTOP && !(r.Out[1] & KT40DRV_COMPLETION_Q)) break;
        ++done;
    }
    Out[0] = result;
    Out[1] = done;
    Out[2] = kind == KT40DRV_BLOCK_QREPEAT ? actions : done;
    Out[3] = 0;
    return KT40DRV_BLOCK_BYTES(started);
}

}  // namespace kt40packed
