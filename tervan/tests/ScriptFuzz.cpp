// libFuzzer target for the script loader: any input either loads completely
// (count, records and reserved bytes as in the input, run position 0, slots
// beyond the count untouched) or leaves the program exactly as it was.
#include "Camscript.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

TCamProgram marked()
{
    TCamProgram p;
    for (std::size_t i = 0; i < p.entries.size(); ++i) {
        p.entries[i].kind = 1;
        p.entries[i].data = 0x5A0000 + static_cast<std::int32_t>(i);
    }
    p.count = 7;
    p.runPosition = 3;
    p.reserved.fill(0xEE);
    return p;
}

bool sameSlot(const TCamCommand &x, const TCamCommand &y)
{
    return x.kind == y.kind && x.lamOperation == y.lamOperation && x.addressed == y.addressed && x.mode == y.mode
           && x.crate == y.crate && x.n == y.n && x.a == y.a && x.f == y.f && x.data == y.data && x.code == y.code;
}

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // A copy of exactly the input's size, so that a read past its end is caught.
    auto image = std::make_unique<std::uint8_t[]>(size ? size : 1);
    if (size)
        std::memcpy(image.get(), data, size);
    const TCamProgram before = marked();
    TCamProgram p = before;
    if (!TCamScript::Decode({image.get(), size}, p)) {
        check(p.count == before.count && p.runPosition == before.runPosition && p.reserved == before.reserved);
        for (std::size_t i = 0; i < p.entries.size(); ++i)
            check(sameSlot(p.entries[i], before.entries[i]));
        return 0;
    }
    check(p.count >= 0 && p.count <= 255 && p.runPosition == 0);
    const std::size_t used = TCamScript::fixedSize + TCamScript::recordSize * static_cast<std::size_t>(p.count);
    check(size >= used);
    for (std::size_t i = static_cast<std::size_t>(p.count); i < p.entries.size(); ++i)
        check(sameSlot(p.entries[i], before.entries[i]));
    // Saving what was loaded gives the input back, apart from the run
    // position (0) and the records' padding (0).
    const auto saved = TCamScript::Encode(p);
    check(saved.size() == used);
    for (std::size_t i = 0; i < used; ++i) {
        const bool runPosition = i >= 3 && i < 7;
        const std::size_t inRecord = i >= TCamScript::fixedSize ? (i - TCamScript::fixedSize) % 40 : 40;
        const bool padding = inRecord == 1 || inRecord == 2 || inRecord == 3 || inRecord == 9 || inRecord == 10
                             || inRecord == 11;
        check(saved[i] == (runPosition || padding ? 0 : data[i]));
    }
    return 0;
}
