#include "Camscript.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr std::uint8_t magic[TCamScript::magicSize] = {'T', 'V', 'S'};

void put32(std::vector<std::uint8_t> &out, std::int32_t value)
{
    const auto v = static_cast<std::uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void put8(std::vector<std::uint8_t> &out, std::uint8_t value)
{
    out.push_back(value);
    out.insert(out.end(), 3, 0); // padding
}

std::int32_t get32(const std::uint8_t *p)
{
    const std::uint32_t v = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16
                            | std::uint32_t(p[3]) << 24;
    return static_cast<std::int32_t>(v);
}

TCamCommand getRecord(const std::uint8_t *p)
{
    TCamCommand c;
    c.kind = p[0];
    c.lamOperation = get32(p + 4);
    c.addressed = p[8];
    c.mode = get32(p + 12);
    c.crate = get32(p + 16);
    c.n = get32(p + 20);
    c.a = get32(p + 24);
    c.f = get32(p + 28);
    c.data = get32(p + 32);
    c.code = get32(p + 36);
    return c;
}

std::error_code lastError()
{
    return {errno ? errno : EIO, std::generic_category()};
}

std::FILE *openFile(const fs::path &path, bool write)
{
#ifdef _WIN32
    return _wfopen(path.c_str(), write ? L"wbx" : L"rb");
#else
    return std::fopen(path.c_str(), write ? "wbx" : "rb");
#endif
}

// Pushes the file's content to the disk before it replaces the target.
bool flushToDisk(std::FILE *file)
{
    if (std::fflush(file) != 0)
        return false;
#ifdef _WIN32
    return _commit(_fileno(file)) == 0;
#else
    return ::fsync(fileno(file)) == 0;
#endif
}

// A name beside `target` that no file has yet: "<name>.<unique>.tmp".
fs::path temporaryName(const fs::path &target, unsigned attempt)
{
    static std::atomic<unsigned> serial{0};
    const auto stamp = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    fs::path name = target;
    name += "." + std::to_string(stamp % 1000000007ULL) + "-" + std::to_string(serial++) + "-"
            + std::to_string(attempt) + ".tmp";
    return name;
}

bool hasWriteBit(fs::perms p)
{
    return (p & (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write)) != fs::perms::none;
}

} // namespace

std::vector<std::uint8_t> TCamScript::Encode(const TCamProgram &program)
{
    const std::int32_t count = std::clamp(program.count, 0, maxCount);
    std::vector<std::uint8_t> out;
    out.reserve(fixedSize + recordSize * static_cast<std::size_t>(count));
    out.insert(out.end(), std::begin(magic), std::end(magic));
    put32(out, program.runPosition);
    put32(out, count);
    out.insert(out.end(), program.reserved.begin(), program.reserved.end());
    for (std::int32_t i = 0; i < count; ++i) {
        const TCamCommand &c = program.entries[static_cast<std::size_t>(i)];
        put8(out, c.kind);
        put32(out, c.lamOperation);
        put8(out, c.addressed);
        for (std::int32_t v : {c.mode, c.crate, c.n, c.a, c.f, c.data, c.code})
            put32(out, v);
    }
    return out;
}

bool TCamScript::Valid(std::span<const std::uint8_t> image)
{
    if (image.size() < fixedSize || !std::equal(std::begin(magic), std::end(magic), image.begin()))
        return false;
    const std::int32_t count = get32(image.data() + magicSize + 4);
    return count >= 0 && count <= maxCount && image.size() - fixedSize >= recordSize * static_cast<std::size_t>(count);
}

bool TCamScript::Decode(std::span<const std::uint8_t> image, TCamProgram &program)
{
    // Everything is checked before anything of the program changes.
    if (!Valid(image))
        return false;
    const std::uint8_t *header = image.data() + magicSize;
    const std::int32_t count = get32(header + 4);

    program.count = count;
    std::copy_n(header + 8, program.reserved.size(), program.reserved.begin());
    const std::uint8_t *record = image.data() + fixedSize;
    for (std::int32_t i = 0; i < count; ++i, record += recordSize)
        program.entries[static_cast<std::size_t>(i)] = getRecord(record);
    program.runPosition = 0;
    return true;
}

TCamScript::Outcome TCamScript::Save(const fs::path &path, const TCamProgram &program)
{
    std::error_code ec;
    // Through a link the file it names is replaced, not the link.
    fs::path target = path;
    if (fs::is_symlink(fs::symlink_status(path, ec))) {
        target = fs::weakly_canonical(path, ec);
        if (ec)
            return {Status::OpenFailed, ec};
    }
    const fs::file_status existing = fs::status(target, ec);
    const bool replacing = fs::exists(existing);
    if (replacing && (!fs::is_regular_file(existing) || !hasWriteBit(existing.permissions())))
        return {Status::ReadOnly, std::make_error_code(std::errc::permission_denied)};

    fs::path temporary;
    std::FILE *file = nullptr;
    for (unsigned attempt = 0; !file && attempt < 16; ++attempt) {
        temporary = temporaryName(target, attempt);
        errno = 0;
        file = openFile(temporary, true);
        if (!file && errno != EEXIST)
            break;
    }
    if (!file)
        return {Status::OpenFailed, lastError()};

    const std::vector<std::uint8_t> image = Encode(program);
    errno = 0;
    bool written = std::fwrite(image.data(), 1, image.size(), file) == image.size() && flushToDisk(file);
    Outcome outcome;
    if (!written)
        outcome = {Status::WriteFailed, lastError()};
    errno = 0;
    if (std::fclose(file) != 0 && written) {
        written = false;
        outcome = {Status::WriteFailed, lastError()};
    }
    if (written) {
        if (replacing)
            fs::permissions(temporary, existing.permissions(), fs::perm_options::replace, ec);
        fs::rename(temporary, target, ec);
        if (ec) {
            written = false;
            outcome = {Status::WriteFailed, ec};
        }
    }
    if (!written) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
    }
    return outcome;
}

TCamScript::Outcome TCamScript::Read(const fs::path &path, std::vector<std::uint8_t> &image)
{
    image.clear();
    errno = 0;
    std::FILE *file = openFile(path, false);
    if (!file)
        return {Status::OpenFailed, lastError()};
    // A script is never longer than maxSize; whatever follows is ignored.
    std::vector<std::uint8_t> bytes(maxSize);
    errno = 0;
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
    const bool failed = std::ferror(file) != 0;
    const std::error_code reason = lastError();
    std::fclose(file);
    if (failed)
        return {Status::ReadFailed, reason};
    bytes.resize(got);
    if (!Valid(bytes))
        return {Status::Incompatible, {}};
    image = std::move(bytes);
    return {};
}

TCamScript::Outcome TCamScript::Load(const fs::path &path, TCamProgram &program)
{
    std::vector<std::uint8_t> image;
    const Outcome outcome = Read(path, image);
    if (outcome.ok())
        Decode(image, program);
    return outcome;
}
