// Script files and their grid text: the panel's own codec (TCamScript) and
// grid (TCamGrid) behind the C interface.
#include "camactools.h"

#include "Text.h"

#include "Camgrid.h"
#include "Camscript.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

using camactools::put;

static_assert(sizeof(ct_entry) == sizeof(TCamCommand));
static_assert(offsetof(ct_entry, lam_operation) == offsetof(TCamCommand, lamOperation));
static_assert(offsetof(ct_entry, addressed) == offsetof(TCamCommand, addressed));
static_assert(offsetof(ct_entry, mode) == offsetof(TCamCommand, mode));
static_assert(offsetof(ct_entry, code) == offsetof(TCamCommand, code));
static_assert(CT_SCRIPT_MAX_SIZE == TCamScript::maxSize);
static_assert(CT_SCRIPT_MAX_ENTRIES == TCamProgram::capacity);

namespace camactools {

TCamCommand command(const ct_entry &e)
{
    TCamCommand c;
    c.kind = e.kind;
    c.lamOperation = e.lam_operation;
    c.addressed = e.addressed;
    c.mode = e.mode;
    c.crate = e.crate;
    c.n = e.n;
    c.a = e.a;
    c.f = e.f;
    c.data = e.data;
    c.code = e.code;
    return c;
}

// The program of a script (count in range: the caller checked).
std::unique_ptr<TCamProgram> program(const ct_script &script)
{
    auto p = std::make_unique<TCamProgram>();
    p->runPosition = script.run_position;
    p->count = script.count;
    std::memcpy(p->reserved.data(), script.reserved, sizeof script.reserved);
    for (int k = 0; k < script.count; ++k)
        p->entries[static_cast<std::size_t>(k)] = command(script.entries[k]);
    return p;
}

void fill(const TCamProgram &p, ct_script &script)
{
    std::memset(&script, 0, sizeof script);
    script.run_position = p.runPosition;
    script.count = p.count;
    std::memcpy(script.reserved, p.reserved.data(), sizeof script.reserved);
    for (int k = 0; k < p.count; ++k) {
        const TCamCommand &c = p.entries[static_cast<std::size_t>(k)];
        ct_entry &e = script.entries[k];
        e.kind = c.kind;
        e.lam_operation = c.lamOperation;
        e.addressed = c.addressed;
        e.mode = c.mode;
        e.crate = c.crate;
        e.n = c.n;
        e.a = c.a;
        e.f = c.f;
        e.data = c.data;
        e.code = c.code;
    }
}

} // namespace camactools

namespace {

// Paths come as UTF-8, on Windows too.
std::filesystem::path pathOf(const char *utf8)
{
    const std::string bytes = utf8;
    return std::filesystem::path(std::u8string(bytes.begin(), bytes.end()));
}

std::int32_t le32(const std::uint8_t *p)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                                     static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24);
}

// Why an image is no complete script ("" when it is one).
std::string fault(const std::uint8_t *image, std::size_t length)
{
    if (length < TCamScript::magicSize || std::memcmp(image, "TVS", 3) != 0)
        return "not a script file: it does not start with \"TVS\"";
    if (length < TCamScript::fixedSize)
        return "damaged script file: " + std::to_string(length) + " bytes, shorter than the " +
               std::to_string(TCamScript::fixedSize) + "-byte header";
    const std::int32_t count = le32(image + 7);
    if (count < 0 || count > TCamScript::maxCount)
        return "damaged script file: count " + std::to_string(count) + " outside 0.." +
               std::to_string(TCamScript::maxCount);
    const std::size_t have = (length - TCamScript::fixedSize) / TCamScript::recordSize;
    if (have < static_cast<std::size_t>(count))
        return "damaged script file: count " + std::to_string(count) + ", but only " + std::to_string(have) +
               " whole entries";
    return {};
}

std::string reason(const TCamScript::Outcome &o, const char *what)
{
    std::string text = what;
    if (o.error)
        text += " (" + o.error.message() + ")";
    return text;
}

} // namespace

extern "C" {

int CT_CALL ct_entry_check(const ct_entry *entry, char *why, std::size_t size)
{
    const ct_entry &e = *entry;
    std::string what;
    auto add = [&](const char *name, long long v) {
        what += (what.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(v);
    };
    if (e.crate < 0 || e.crate > 3)
        add("crate", e.crate);
    if (e.kind == TCamCommand::kindLam) {
        if (e.lam_operation != TCamCommand::lamRead)
            add("LAM operation", e.lam_operation);
    } else if (e.kind != TCamCommand::kindCamac) {
        add("kind", e.kind);
    } else if (e.addressed > 1) {
        add("addressed", e.addressed);
    } else if (e.addressed) {
        if (e.n < 1 || e.n > 24)
            add("station N", e.n);
        if (e.a < 0 || e.a > 15)
            add("subaddress A", e.a);
        if (e.f < 0 || e.f > 31)
            add("function F", e.f);
        if (e.mode != 16 && e.mode != 24)
            add("width", e.mode);
        else if (e.data < 0 || e.data > (e.mode == 24 ? 0xFFFFFF : 0xFFFF))
            add("data", e.data);
    } else if (e.code != 1 && e.code != 2 && e.code != 4 && e.code != 8) {
        add("command code", e.code);
    }
    put(what, why, size);
    return what.empty() ? 0 : 1;
}

std::size_t CT_CALL ct_entry_text(const ct_entry *entry, char *text, std::size_t size)
{
    const std::string row = TCamGrid::RowText(camactools::command(*entry));
    put(row, text, size);
    return row.size();
}

int CT_CALL ct_script_decode(const std::uint8_t *image, std::size_t length, ct_script *script, char *why,
                             std::size_t size)
{
    const std::string bad = image ? fault(image, length) : "not a script file: no data";
    if (!bad.empty()) {
        put(bad, why, size);
        return CT_SCRIPT_INCOMPATIBLE;
    }
    auto p = std::make_unique<TCamProgram>();
    if (!TCamScript::Decode({image, length}, *p)) { // cannot happen after the checks above
        put("damaged script file", why, size);
        return CT_SCRIPT_INCOMPATIBLE;
    }
    camactools::fill(*p, *script);
    put("", why, size);
    return CT_SCRIPT_OK;
}

std::size_t CT_CALL ct_script_encode(const ct_script *script, std::uint8_t *image, std::size_t size)
{
    if (script->count < 0 || script->count > CT_SCRIPT_MAX_ENTRIES)
        return 0;
    const auto bytes = TCamScript::Encode(*camactools::program(*script));
    if (bytes.size() <= size && image)
        std::memcpy(image, bytes.data(), bytes.size());
    return bytes.size();
}

int CT_CALL ct_script_load(const char *path, ct_script *script, char *why, std::size_t size)
{
    std::vector<std::uint8_t> image;
    // Read() refuses what is no script; its image is then empty, so the
    // reason comes from a plain read of the first bytes.
    const auto outcome = TCamScript::Read(pathOf(path), image);
    switch (outcome.status) {
    case TCamScript::Status::Ok: return ct_script_decode(image.data(), image.size(), script, why, size);
    case TCamScript::Status::OpenFailed: put(reason(outcome, "cannot open it"), why, size); return CT_SCRIPT_OPEN_FAILED;
    case TCamScript::Status::ReadFailed: put(reason(outcome, "cannot read it"), why, size); return CT_SCRIPT_READ_FAILED;
    default: break;
    }
    std::string text = "not a script file, or a damaged one";
    if (std::FILE *f = std::fopen(path, "rb")) {
        std::vector<std::uint8_t> head(TCamScript::maxSize);
        head.resize(std::fread(head.data(), 1, head.size(), f));
        std::fclose(f);
        const std::string bad = fault(head.data(), head.size());
        if (!bad.empty())
            text = bad;
    }
    put(text, why, size);
    return CT_SCRIPT_INCOMPATIBLE;
}

int CT_CALL ct_script_save(const char *path, const ct_script *script, char *why, std::size_t size)
{
    if (script->count < 0 || script->count > CT_SCRIPT_MAX_ENTRIES) {
        put("a script holds at most 255 entries, not " + std::to_string(script->count), why, size);
        return CT_SCRIPT_TOO_MANY;
    }
    const auto outcome = TCamScript::Save(pathOf(path), *camactools::program(*script));
    switch (outcome.status) {
    case TCamScript::Status::Ok: put("", why, size); return CT_SCRIPT_OK;
    case TCamScript::Status::ReadOnly: put(reason(outcome, "the file is read-only or not a regular file"), why, size); return CT_SCRIPT_READ_ONLY;
    case TCamScript::Status::OpenFailed: put(reason(outcome, "cannot create the temporary file beside it"), why, size); return CT_SCRIPT_OPEN_FAILED;
    default: put(reason(outcome, "cannot write it"), why, size); return CT_SCRIPT_WRITE_FAILED;
    }
}

} // extern "C"
