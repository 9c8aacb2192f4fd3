// Script files: the exact bytes written, all-or-nothing loading of damaged
// and foreign files, and saving that never leaves a half-written file.
#include <gtest/gtest.h>

#include "Camscript.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

TCamCommand addressed(int mode, int crate, int n, int a, int f, int data)
{
    TCamCommand c;
    c.kind = TCamCommand::kindCamac;
    c.addressed = 1;
    c.mode = mode, c.crate = crate, c.n = n, c.a = a, c.f = f, c.data = data;
    return c;
}

TCamCommand unaddressed(int crate, int code)
{
    TCamCommand c;
    c.kind = TCamCommand::kindCamac;
    c.crate = crate, c.code = code;
    return c;
}

TCamCommand lamRead(int crate)
{
    TCamCommand c;
    c.kind = TCamCommand::kindLam;
    c.lamOperation = TCamCommand::lamRead;
    c.mode = 16, c.crate = crate;
    return c;
}

bool sameCommand(const TCamCommand &x, const TCamCommand &y)
{
    return x.kind == y.kind && x.lamOperation == y.lamOperation && x.addressed == y.addressed && x.mode == y.mode
           && x.crate == y.crate && x.n == y.n && x.a == y.a && x.f == y.f && x.data == y.data && x.code == y.code;
}

// Header, reserved bytes and every one of the 256 slots.
::testing::AssertionResult sameProgram(const TCamProgram &x, const TCamProgram &y)
{
    if (x.runPosition != y.runPosition || x.count != y.count)
        return ::testing::AssertionFailure() << "run position " << x.runPosition << "/" << y.runPosition << ", count "
                                             << x.count << "/" << y.count;
    if (x.reserved != y.reserved)
        return ::testing::AssertionFailure() << "reserved bytes differ";
    for (std::size_t i = 0; i < x.entries.size(); ++i)
        if (!sameCommand(x.entries[i], y.entries[i]))
            return ::testing::AssertionFailure() << "slot " << i << " differs";
    return ::testing::AssertionSuccess();
}

// A program whose every slot holds something recognisable, to see what a load touches.
TCamProgram marked()
{
    TCamProgram p;
    for (std::size_t i = 0; i < p.entries.size(); ++i)
        p.entries[i] = addressed(24, 3, 24, 15, 31, 0x5A0000 + static_cast<int>(i));
    p.count = 7;
    p.runPosition = 3;
    p.reserved.fill(0xEE);
    return p;
}

Bytes le32(std::int32_t v)
{
    const auto u = static_cast<std::uint32_t>(v);
    return {std::uint8_t(u), std::uint8_t(u >> 8), std::uint8_t(u >> 16), std::uint8_t(u >> 24)};
}

Bytes record(std::uint8_t kind, std::int32_t lam, std::uint8_t addr, std::int32_t mode, std::int32_t crate,
             std::int32_t n, std::int32_t a, std::int32_t f, std::int32_t data, std::int32_t code)
{
    Bytes r{kind, 0, 0, 0};
    for (auto part : {le32(lam), Bytes{addr, 0, 0, 0}, le32(mode), le32(crate), le32(n), le32(a), le32(f), le32(data),
                      le32(code)})
        r.insert(r.end(), part.begin(), part.end());
    return r;
}

Bytes header(std::int32_t run, std::int32_t count)
{
    Bytes h{'T', 'V', 'S'};
    for (auto part : {le32(run), le32(count)})
        h.insert(h.end(), part.begin(), part.end());
    h.insert(h.end(), 44, 0);
    return h;
}

Bytes cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes readFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path &path, const Bytes &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Decodes a fresh, exact-size copy so that a read past the end is caught.
bool decodeExact(const Bytes &image, TCamProgram &program)
{
    auto copy = std::make_unique<std::uint8_t[]>(image.size() ? image.size() : 1);
    std::copy(image.begin(), image.end(), copy.get());
    return TCamScript::Decode({copy.get(), image.size()}, program);
}

class ScriptFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() / (std::string("tervan-script-") + info->name() + "-" + std::to_string(getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(dir, ec);
    }
    // Files in the folder apart from `keep`: a save must leave no temporary behind.
    std::vector<std::string> others(const fs::path &keep) const
    {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(dir))
            if (e.path() != keep)
                names.push_back(e.path().filename().string());
        return names;
    }
    fs::path dir;
};

} // namespace

// ---- Bytes written ---------------------------------------------------------

TEST(ScriptEncode, EmptyProgramIsTheMagicAHeaderOfMinusOneZeroAndNoRecords)
{
    TCamProgram p;
    p.Append(addressed(16, 0, 1, 0, 0, 0));
    p.Reset();
    const Bytes image = TCamScript::Encode(p);
    ASSERT_EQ(image.size(), 55u);
    EXPECT_EQ(image, cat(Bytes{'T', 'V', 'S', 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, Bytes(44, 0)));
}

TEST(ScriptEncode, OneAddressedCommandFillsItsRecordInPlace)
{
    TCamProgram p;
    p.Reset();
    ASSERT_TRUE(p.Append(addressed(16, 1, 3, 2, 16, 0x00FF)));
    const Bytes image = TCamScript::Encode(p);
    ASSERT_EQ(image.size(), 95u);
    // Run position 0 (the newest entry), count 1.
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 55), header(0, 1));
    const Bytes expected{
        0, 0, 0, 0,       // kind 0, padding
        0, 0, 0, 0,       // LAM operation
        1, 0, 0, 0,       // addressed, padding
        16, 0, 0, 0,      // mode
        1, 0, 0, 0,       // crate
        3, 0, 0, 0,       // N
        2, 0, 0, 0,       // A
        16, 0, 0, 0,      // F
        0xFF, 0, 0, 0,    // data
        0, 0, 0, 0,       // code
    };
    EXPECT_EQ(Bytes(image.begin() + 55, image.end()), expected);
}

TEST(ScriptEncode, EveryKindOfEntryAndWideValuesAreLittleEndian)
{
    TCamProgram p;
    p.Reset();
    p.Append(addressed(24, 3, 24, 15, 31, 0x123456));
    p.Append(unaddressed(2, 8));
    p.Append(lamRead(1));
    TCamCommand odd = lamRead(0);
    odd.lamOperation = -2; // only a foreign file holds this; it must survive
    odd.code = INT_MIN;
    p.Append(odd);
    const Bytes image = TCamScript::Encode(p);
    ASSERT_EQ(image.size(), 55u + 4 * 40);
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 55), header(3, 4));
    const Bytes records = cat(cat(cat(record(0, 0, 1, 24, 3, 24, 15, 31, 0x123456, 0), record(0, 0, 0, 0, 2, 0, 0, 0, 0, 8)),
                                  record(1, 0, 0, 16, 1, 0, 0, 0, 0, 0)),
                              record(1, -2, 0, 16, 0, 0, 0, 0, 0, INT_MIN));
    EXPECT_EQ(Bytes(image.begin() + 55, image.end()), records);
    EXPECT_EQ(Bytes(image.begin() + 55 + 32, image.begin() + 55 + 36), (Bytes{0x56, 0x34, 0x12, 0x00}));
}

TEST(ScriptEncode, ReservedBytesAreWrittenAsTheyStand)
{
    TCamProgram p;
    p.Reset();
    for (std::size_t i = 0; i < p.reserved.size(); ++i)
        p.reserved[i] = static_cast<std::uint8_t>(0xA0 + i);
    const Bytes image = TCamScript::Encode(p);
    EXPECT_TRUE(std::equal(p.reserved.begin(), p.reserved.end(), image.begin() + 11));
}

TEST(ScriptEncode, OnlyTheEntriesInUseAreWritten)
{
    TCamProgram p = marked();
    EXPECT_EQ(TCamScript::Encode(p).size(), 55u + 7 * 40);
    p.count = 255;
    EXPECT_EQ(TCamScript::Encode(p).size(), TCamScript::maxSize);
    // A run's temporary entry in the spare slot is never part of a file.
    p.count = 256;
    const Bytes image = TCamScript::Encode(p);
    EXPECT_EQ(image.size(), TCamScript::maxSize);
    EXPECT_EQ(Bytes(image.begin() + 7, image.begin() + 11), le32(255));
}

// ---- Reading ---------------------------------------------------------------

TEST(ScriptDecode, LoadThenSaveGivesTheSameBytesWithRunPositionZero)
{
    TCamProgram source;
    source.Reset();
    source.Append(addressed(24, 0, 5, 0, 16, 0x123456));
    source.Append(unaddressed(2, 2));
    source.Append(lamRead(3));
    source.Append(addressed(16, 1, 3, 2, 16, 0x00FF));
    const Bytes saved = TCamScript::Encode(source);
    ASSERT_EQ(Bytes(saved.begin() + 3, saved.begin() + 7), le32(3));

    TCamProgram fresh;
    fresh.Reset();
    ASSERT_TRUE(decodeExact(saved, fresh));
    EXPECT_EQ(fresh.runPosition, 0);
    EXPECT_EQ(fresh.count, 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(sameCommand(fresh.entries[i], source.entries[i])) << "entry " << i;

    Bytes expected = saved;
    std::fill(expected.begin() + 3, expected.begin() + 7, 0);
    EXPECT_EQ(TCamScript::Encode(fresh), expected);
}

TEST(ScriptDecode, ReservedBytesOfALoadedFileAreKeptAndWrittenBack)
{
    Bytes image = cat(header(9, 1), record(0, 0, 0, 0, 1, 0, 0, 0, 0, 1));
    for (int i = 0; i < 44; ++i)
        image[11 + i] = static_cast<std::uint8_t>(i + 1);
    TCamProgram p;
    ASSERT_TRUE(decodeExact(image, p));
    EXPECT_EQ(p.reserved[0], 1);
    EXPECT_EQ(p.reserved[43], 44);
    image[3] = image[4] = image[5] = image[6] = 0;
    EXPECT_EQ(TCamScript::Encode(p), image);
}

TEST(ScriptDecode, ACountOfZeroLoadsAnEmptyProgramAndSlotsBeyondTheCountKeepTheirContent)
{
    TCamProgram p = marked();
    const TCamProgram before = p;
    ASSERT_TRUE(decodeExact(header(-1, 0), p));
    EXPECT_EQ(p.count, 0);
    EXPECT_EQ(p.runPosition, 0); // whatever the file says
    EXPECT_EQ(p.reserved, decltype(p.reserved){});
    for (std::size_t i = 0; i < p.entries.size(); ++i)
        EXPECT_TRUE(sameCommand(p.entries[i], before.entries[i])) << "slot " << i;

    p = marked();
    ASSERT_TRUE(decodeExact(cat(header(77, 1), record(0, 0, 0, 0, 2, 0, 0, 0, 0, 2)), p));
    EXPECT_TRUE(sameCommand(p.entries[0], unaddressed(2, 2)));
    EXPECT_TRUE(sameCommand(p.entries[1], before.entries[1]));
    EXPECT_EQ(p.runPosition, 0);
}

TEST(ScriptDecode, AFullProgramLoadsAndBytesBehindTheLastRecordAreIgnored)
{
    Bytes image = header(254, 255);
    for (int i = 0; i < 255; ++i)
        image = cat(image, record(0, 0, 1, 16, i % 4, 1 + i % 24, i % 16, i % 32, i, 0));
    image = cat(image, Bytes{'x', 'y', 0, 0, 1});
    TCamProgram p;
    ASSERT_TRUE(decodeExact(image, p));
    EXPECT_EQ(p.count, 255);
    EXPECT_EQ(p.entries[254].data, 254);
    EXPECT_EQ(p.entries[254].n, 1 + 254 % 24);
    EXPECT_EQ(TCamScript::Encode(p).size(), TCamScript::maxSize);
}

TEST(ScriptDecode, DamagedAndForeignFilesAreRefusedAndChangeNothing)
{
    const Bytes good = cat(cat(header(1, 2), record(0, 0, 1, 16, 1, 3, 2, 16, 255, 0)), record(0, 0, 0, 0, 0, 0, 0, 0, 0, 1));
    const auto withCount = [&](std::int32_t count) {
        Bytes b = good;
        const Bytes c = le32(count);
        std::copy(c.begin(), c.end(), b.begin() + 7);
        return b;
    };
    const struct
    {
        const char *what;
        Bytes image;
    } cases[] = {
        {"empty file", {}},
        {"two bytes of the magic", {'T', 'V'}},
        {"the magic alone", {'T', 'V', 'S'}},
        {"header one byte short", Bytes(good.begin(), good.begin() + 54)},
        {"another magic", cat(Bytes{'T', 'V', 'X'}, Bytes(good.begin() + 3, good.end()))},
        {"magic in small letters", cat(Bytes{'t', 'v', 's'}, Bytes(good.begin() + 3, good.end()))},
        {"magic shifted by one", cat(Bytes{0}, good)},
        {"negative count", withCount(-1)},
        {"most negative count", withCount(INT_MIN)},
        {"count 256", withCount(256)},
        {"largest count", withCount(INT_MAX)},
        {"one record more than present", withCount(3)},
        {"last record one byte short", Bytes(good.begin(), good.end() - 1)},
        {"second record missing", Bytes(good.begin(), good.begin() + 95)},
        {"count 256 with all 256 records present", [] {
             Bytes b = header(0, 256);
             for (int i = 0; i < 256; ++i)
                 b = cat(b, record(0, 0, 0, 0, 0, 0, 0, 0, 0, 1));
             return b;
         }()},
    };
    for (const auto &c : cases) {
        TCamProgram p = marked();
        EXPECT_FALSE(decodeExact(c.image, p)) << c.what;
        EXPECT_TRUE(sameProgram(p, marked())) << c.what;
    }
}

// ---- Files -----------------------------------------------------------------

TEST_F(ScriptFileTest, SaveWritesTheImageAndLeavesNoTemporaryFileBehind)
{
    TCamProgram p;
    p.Reset();
    p.Append(addressed(16, 1, 3, 2, 16, 0x00FF));
    const fs::path file = dir / "one.tvs";
    const auto outcome = TCamScript::Save(file, p);
    ASSERT_TRUE(outcome.ok()) << outcome.error.message();
    EXPECT_EQ(readFile(file), TCamScript::Encode(p));
    EXPECT_TRUE(others(file).empty());

    // Saving again over it replaces the content.
    p.Reset();
    ASSERT_TRUE(TCamScript::Save(file, p).ok());
    EXPECT_EQ(readFile(file).size(), 55u);
    EXPECT_TRUE(others(file).empty());

    TCamProgram loaded = marked();
    ASSERT_TRUE(TCamScript::Load(file, loaded).ok());
    EXPECT_EQ(loaded.count, 0);
    EXPECT_EQ(loaded.runPosition, 0);
}

TEST_F(ScriptFileTest, AReadOnlyFileLoads)
{
    const fs::path file = dir / "shipped.tvs";
    writeFile(file, cat(header(0, 1), record(1, 0, 0, 16, 2, 0, 0, 0, 0, 0)));
    fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    TCamProgram p = marked();
    ASSERT_TRUE(TCamScript::Load(file, p).ok());
    EXPECT_EQ(p.count, 1);
    EXPECT_TRUE(sameCommand(p.entries[0], lamRead(2)));
}

TEST_F(ScriptFileTest, FilesThatCannotBeReadAreReportedAndChangeNothing)
{
    TCamProgram p = marked();
    auto outcome = TCamScript::Load(dir / "missing.tvs", p);
    EXPECT_EQ(outcome.status, TCamScript::Status::OpenFailed);
    EXPECT_TRUE(outcome.error);
    EXPECT_TRUE(sameProgram(p, marked()));

    outcome = TCamScript::Load(dir, p); // a folder opens on some systems, but cannot be read
    EXPECT_TRUE(outcome.status == TCamScript::Status::OpenFailed || outcome.status == TCamScript::Status::ReadFailed);
    EXPECT_TRUE(sameProgram(p, marked()));

    const fs::path foreign = dir / "foreign.tvs";
    writeFile(foreign, cat(Bytes{'M', 'Z', 0x90}, Bytes(200, 0)));
    outcome = TCamScript::Load(foreign, p);
    EXPECT_EQ(outcome.status, TCamScript::Status::Incompatible);
    EXPECT_TRUE(sameProgram(p, marked()));

    // Reading alone hands over nothing of a foreign file, and a script's
    // bytes up to the end of the longest possible one.
    Bytes image{1, 2, 3};
    EXPECT_EQ(TCamScript::Read(foreign, image).status, TCamScript::Status::Incompatible);
    EXPECT_TRUE(image.empty());
    const fs::path longer = dir / "longer.tvs";
    const Bytes script = cat(header(0, 1), record(1, 0, 0, 16, 2, 0, 0, 0, 0, 0));
    writeFile(longer, cat(script, Bytes(20000, 0xAB)));
    ASSERT_TRUE(TCamScript::Read(longer, image).ok());
    EXPECT_EQ(image.size(), TCamScript::maxSize);
    EXPECT_TRUE(std::equal(script.begin(), script.end(), image.begin()));
}

TEST_F(ScriptFileTest, UnwritableTargetsAreReportedAndNothingIsWritten)
{
    const TCamProgram p = marked();
    auto outcome = TCamScript::Save(dir / "no-such-folder" / "x.tvs", p);
    EXPECT_EQ(outcome.status, TCamScript::Status::OpenFailed);
    EXPECT_TRUE(outcome.error);
    EXPECT_FALSE(fs::exists(dir / "no-such-folder"));

    // A file marked read-only keeps its content, even for a user who could
    // write it anyway.
    const fs::path locked = dir / "locked.tvs";
    const Bytes good = header(0, 0);
    writeFile(locked, good);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::group_read);
    outcome = TCamScript::Save(locked, p);
    EXPECT_EQ(outcome.status, TCamScript::Status::ReadOnly);
    EXPECT_EQ(readFile(locked), good);
    EXPECT_TRUE(others(locked).empty());

    // A folder in the way is not replaced.
    fs::create_directory(dir / "folder.tvs");
    outcome = TCamScript::Save(dir / "folder.tvs", p);
    EXPECT_FALSE(outcome.ok());
    EXPECT_TRUE(fs::is_directory(dir / "folder.tvs"));
}

TEST_F(ScriptFileTest, ReplacingKeepsTheTargetsPermissionsAndFollowsALink)
{
    const fs::path file = dir / "shared.tvs";
    writeFile(file, header(0, 0));
    const auto mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
    fs::permissions(file, mode);
    const fs::path link = dir / "link.tvs";
    fs::create_symlink(file, link);

    TCamProgram p;
    p.Reset();
    p.Append(unaddressed(1, 4));
    ASSERT_TRUE(TCamScript::Save(link, p).ok());
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
    EXPECT_EQ(readFile(file), TCamScript::Encode(p));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, mode);
}

#ifndef _WIN32
// The disk fills up half-way through a save: the good file stays as it was.
TEST_F(ScriptFileTest, AFailedWriteLeavesTheOldFileInPlace)
{
    const fs::path file = dir / "good.tvs";
    const Bytes good = cat(header(0, 1), record(0, 0, 1, 16, 0, 1, 0, 0, 0, 0));
    writeFile(file, good);

    TCamProgram big = marked();
    big.count = 200; // 8,055 bytes

    struct rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = before;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto outcome = TCamScript::Save(file, big);
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(outcome.status, TCamScript::Status::WriteFailed);
    EXPECT_EQ(outcome.error, std::errc::file_too_large);
    EXPECT_EQ(readFile(file), good);
    EXPECT_TRUE(others(file).empty());
}
#endif

// ---- Robustness ------------------------------------------------------------

namespace {

// What a load of `image` must give, worked out from the bytes on their own:
// the image's prefix of the used records with run position 0 and padding 0.
Bytes normalised(const Bytes &image, std::int32_t count)
{
    Bytes n(image.begin(), image.begin() + 55 + 40 * count);
    std::fill(n.begin() + 3, n.begin() + 7, 0);
    for (std::int32_t i = 0; i < count; ++i)
        for (int pad : {1, 2, 3, 9, 10, 11})
            n[static_cast<std::size_t>(55 + 40 * i + pad)] = 0;
    return n;
}

// Decodes `image` into a marked program and checks the all-or-nothing rule.
void checkLoad(const Bytes &image, const std::string &what)
{
    TCamProgram p = marked();
    const bool loaded = decodeExact(image, p);
    bool valid = image.size() >= 55 && image[0] == 'T' && image[1] == 'V' && image[2] == 'S';
    std::int32_t count = -1;
    if (valid) {
        count = static_cast<std::int32_t>(std::uint32_t(image[7]) | std::uint32_t(image[8]) << 8
                                          | std::uint32_t(image[9]) << 16 | std::uint32_t(image[10]) << 24);
        valid = count >= 0 && count <= 255 && image.size() >= 55 + 40 * static_cast<std::size_t>(count);
    }
    ASSERT_EQ(loaded, valid) << what;
    if (!loaded) {
        ASSERT_TRUE(sameProgram(p, marked())) << what;
        return;
    }
    ASSERT_EQ(p.count, count) << what;
    ASSERT_EQ(p.runPosition, 0) << what;
    ASSERT_EQ(TCamScript::Encode(p), normalised(image, count)) << what;
    const TCamProgram before = marked();
    for (std::size_t i = static_cast<std::size_t>(count); i < p.entries.size(); ++i)
        ASSERT_TRUE(sameCommand(p.entries[i], before.entries[i])) << what << ", slot " << i;
}

std::vector<Bytes> seeds()
{
    std::vector<Bytes> s;
    s.push_back(header(-1, 0));
    s.push_back(cat(header(0, 1), record(0, 0, 1, 16, 1, 3, 2, 16, 255, 0)));
    Bytes three = header(2, 3);
    three = cat(three, record(0, 0, 1, 24, 0, 5, 0, 16, 0x123456, 0));
    three = cat(three, record(0, 0, 0, 0, 2, 0, 0, 0, 0, 2));
    three = cat(three, record(1, 0, 0, 16, 3, 0, 0, 0, 0, 0));
    s.push_back(three);
    return s;
}

} // namespace

TEST(ScriptRobustness, TruncationsFlipsAndWildCountsNeverCrashAndLoadAllOrNothing)
{
    int cases = 0;
    for (const Bytes &seed : seeds()) {
        for (std::size_t len = 0; len <= seed.size(); ++len, ++cases)
            checkLoad(Bytes(seed.begin(), seed.begin() + static_cast<std::ptrdiff_t>(len)), "cut at " + std::to_string(len));
        for (std::size_t at = 0; at < seed.size(); ++at)
            for (std::uint8_t mask : {0x01, 0x80, 0xFF}) {
                Bytes m = seed;
                m[at] ^= mask;
                checkLoad(m, "byte " + std::to_string(at) + " ^ " + std::to_string(mask));
                ++cases;
            }
        for (std::int32_t count : {-1, -40, INT_MIN, INT_MAX, 0, 1, 2, 3, 4, 254, 255, 256, 0x01000001}) {
            Bytes m = seed;
            const Bytes c = le32(count);
            std::copy(c.begin(), c.end(), m.begin() + 7);
            checkLoad(m, "count " + std::to_string(count));
            ++cases;
        }
    }
    // Random edits from a fixed seed, so a failure can be replayed.
    std::uint32_t state = 20240611u;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    const std::vector<Bytes> s = seeds();
    for (int round = 0; round < 5000; ++round, ++cases) {
        Bytes m = s[next() % s.size()];
        for (int edits = 1 + static_cast<int>(next() % 4); edits > 0; --edits) {
            switch (next() % 4) {
            case 0: if (!m.empty()) m[next() % m.size()] = static_cast<std::uint8_t>(next()); break;
            case 1: m.resize(next() % (m.size() + 1)); break;
            case 2: m.insert(m.end(), next() % 90, static_cast<std::uint8_t>(next())); break;
            case 3: if (m.size() >= 11) m[7 + next() % 4] = static_cast<std::uint8_t>(next()); break;
            }
        }
        checkLoad(m, "random round " + std::to_string(round));
        if (::testing::Test::HasFatalFailure())
            return;
    }
    EXPECT_GT(cases, 5000);
}

TEST(ScriptCorpus, EveryStoredFileLoadsCompletelyOrIsRefused)
{
    int ok = 0, bad = 0;
    for (const auto &entry : fs::directory_iterator(TERVAN_SCRIPT_CORPUS)) {
        if (entry.path().extension() != ".tvs")
            continue;
        const std::string name = entry.path().filename().string();
        const Bytes image = readFile(entry.path());
        checkLoad(image, name);
        TCamProgram p = marked();
        const auto outcome = TCamScript::Load(entry.path(), p);
        if (name.rfind("ok-", 0) == 0) {
            EXPECT_TRUE(outcome.ok()) << name;
            ++ok;
        } else {
            EXPECT_EQ(outcome.status, TCamScript::Status::Incompatible) << name;
            EXPECT_TRUE(sameProgram(p, marked())) << name;
            ++bad;
        }
    }
    EXPECT_GE(ok, 5);
    EXPECT_GE(bad, 10);
}
