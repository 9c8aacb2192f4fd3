#include "camactools.h"

#include "camac.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string check(int c, int n, int a, int f, int bits, int hasData = 0, long long data = 0, int *verdict = nullptr)
{
    char why[128] = "unset";
    const int v = ct_check_action(c, n, a, f, bits, hasData, data, why, sizeof why);
    if (verdict)
        *verdict = v;
    return why;
}

TEST(Rules, EachFaultHasItsVerdictAndWords)
{
    int v = -1;
    EXPECT_EQ(check(0, 5, 0, 16, 16, 1, 0xFFFF, &v), "");
    EXPECT_EQ(v, CT_OK);
    EXPECT_EQ(check(4, 5, 0, 0, 16, 0, 0, &v), "crate C must be 0..3, not 4");
    EXPECT_EQ(v, CT_BAD_CRATE);
    EXPECT_EQ(check(0, 0, 0, 0, 16, 0, 0, &v), "station N must be 1..24, not 0");
    EXPECT_EQ(v, CT_BAD_STATION);
    EXPECT_EQ(check(0, 25, 0, 0, 16), "station N must be 1..24, not 25");
    EXPECT_EQ(check(0, 1, 16, 0, 16, 0, 0, &v), "subaddress A must be 0..15, not 16");
    EXPECT_EQ(v, CT_BAD_SUBADDRESS);
    EXPECT_EQ(check(0, 1, -1, 0, 16), "subaddress A must be 0..15, not -1");
    EXPECT_EQ(check(0, 1, 0, 32, 16, 0, 0, &v), "function F must be 0..31, not 32");
    EXPECT_EQ(v, CT_BAD_FUNCTION);
    EXPECT_EQ(check(0, 1, 0, 0, 8, 0, 0, &v), "bits must be 16 or 24, not 8");
    EXPECT_EQ(v, CT_BAD_BITS);
    EXPECT_EQ(check(0, 1, 0, 16, 16, 0, 0, &v), "F16 writes: give the data word");
    EXPECT_EQ(v, CT_NO_DATA);
    EXPECT_EQ(check(0, 1, 0, 24, 16, 1, 0, &v), "F24 does not write: it takes no data");
    EXPECT_EQ(v, CT_DATA_NOT_WRITTEN);
    EXPECT_EQ(check(0, 1, 0, 23, 16, 1, 0x10000, &v), "data for 16-bit F23 must be 0..65535, not 65536");
    EXPECT_EQ(v, CT_BAD_DATA);
    EXPECT_EQ(check(0, 1, 0, 16, 24, 1, 0xFFFFFF, &v), "");
    EXPECT_EQ(check(0, 1, 0, 16, 24, 1, -1), "data for 24-bit F16 must be 0..16777215, not -1");
    // A small buffer gets a cut, terminated text; no buffer the verdict alone.
    char small[8];
    EXPECT_EQ(ct_check_action(0, 0, 0, 0, 16, 0, 0, small, sizeof small), CT_BAD_STATION);
    EXPECT_STREQ(small, "station");
    EXPECT_EQ(ct_check_action(0, 0, 0, 0, 16, 0, 0, nullptr, 0), CT_BAD_STATION);
}

TEST(Rules, FunctionKindsAndLamStations)
{
    const int expected[32] = {1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2, 2, 2, 2,
                              3, 3, 3, 3, 3, 3, 3, 3, 2, 2, 2, 2, 2, 2, 2, 2};
    for (int f = 0; f < 32; ++f)
        EXPECT_EQ(ct_function_kind(f), expected[f]) << "F" << f;
    EXPECT_EQ(ct_function_kind(-1), 0);
    EXPECT_EQ(ct_function_kind(32), 0);
    int stations[24];
    ASSERT_EQ(ct_lam_stations(0x800005u | 0xFF000000u, stations), 3); // bits above station 24 ignored
    EXPECT_EQ(stations[0], 1);
    EXPECT_EQ(stations[1], 3);
    EXPECT_EQ(stations[2], 24);
    EXPECT_STREQ(ct_error_text(CAMAC_ERR_BUSY_TIMEOUT), "the adapter stayed busy taking in the data");
    EXPECT_STREQ(ct_error_text(0x0A00), "the module did not answer with X");
    EXPECT_STREQ(ct_error_text(0x0C00), "failure 0x0C00");
}

TEST(Rules, NumbersAreReadAlikeByEveryFace)
{
    const struct
    {
        const char *text;
        int ok;
        long long value;
    } cases[] = {
        {"24", 1, 24},         {"0x1F", 1, 31},   {"0o17", 1, 15},  {"0b101", 1, 5},       {"-7", 1, -7},
        {"4294967295", 1, 4294967295LL},           {"4294967296", 0, 0}, {"0xFFFFFFFFF", 0, 0},
        {"", 0, 0},            {"-", 0, 0},       {"0x", 0, 0},     {"0b102", 0, 0},       {"12 ", 0, 0},
        {"+3", 0, 0},          {"1e3", 0, 0},     {"0", 1, 0},      {"007", 1, 7},
    };
    for (const auto &c : cases) {
        long long v = -99;
        EXPECT_EQ(ct_parse_number(c.text, std::strlen(c.text), &v), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(v, c.value) << c.text;
        }
    }
    long long v = 0;
    EXPECT_EQ(ct_parse_number("12345", 2, &v), 1); // the length counts, not a terminator
    EXPECT_EQ(v, 12);
}

ct_entry action(int n, int a, int f, int data = 0, int bits = 16)
{
    ct_entry e{};
    e.addressed = 1;
    e.mode = bits;
    e.n = n;
    e.a = a;
    e.f = f;
    e.data = data;
    return e;
}

std::string entryText(const ct_entry &e)
{
    char text[64];
    const size_t length = ct_entry_text(&e, text, sizeof text);
    EXPECT_EQ(length, std::string(text).size());
    return text;
}

std::string entryCheck(const ct_entry &e)
{
    char why[128];
    const int bad = ct_entry_check(&e, why, sizeof why);
    EXPECT_EQ(bad, why[0] ? 1 : 0);
    return why;
}

TEST(Scripts, EntriesShowAsTheGridAndOutOfRangeFieldsAreNamed)
{
    EXPECT_EQ(entryText(action(5, 0, 16, 0x1234)), "B16 C00 N05 A00 F16 D1234");
    EXPECT_EQ(entryText(action(5, 1, 0)), "B16 C00 N05 A01 F00");
    ct_entry z{};
    z.code = 2;
    z.crate = 1;
    EXPECT_EQ(entryText(z), "C01 Z");
    ct_entry rdl{};
    rdl.kind = 1;
    EXPECT_EQ(entryText(rdl), "RDL");

    EXPECT_EQ(entryCheck(action(5, 0, 16, 0xFFFF)), "");
    EXPECT_EQ(entryCheck(action(37, 0, 40)), "station N 37, function F 40");
    EXPECT_EQ(entryCheck(action(5, 0, 16, 0x10000)), "data 65536");
    EXPECT_EQ(entryCheck(action(5, 0, 16, 0, 12)), "width 12");
    z.code = 3;
    EXPECT_EQ(entryCheck(z), "command code 3");
    rdl.crate = 4;
    rdl.lam_operation = 1;
    EXPECT_EQ(entryCheck(rdl), "crate 4, LAM operation 1");
}

std::vector<std::uint8_t> image(const ct_script &s)
{
    std::vector<std::uint8_t> bytes(CT_SCRIPT_MAX_SIZE);
    bytes.resize(ct_script_encode(&s, bytes.data(), bytes.size()));
    return bytes;
}

TEST(Scripts, FilesAreTheirBytesAndDamageChangesNothing)
{
    ct_script s{};
    s.run_position = 7;
    s.count = 2;
    s.reserved[0] = 0xAA;
    s.reserved[43] = 0x55;
    s.entries[0] = action(5, 0, 16, 0x1234);
    s.entries[1] = action(5, 0, 0);
    const auto bytes = image(s);
    ASSERT_EQ(bytes.size(), 55u + 80u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 3), "TVS");
    EXPECT_EQ(bytes[3], 7);  // run position
    EXPECT_EQ(bytes[7], 2);  // count
    EXPECT_EQ(bytes[11], 0xAA);
    EXPECT_EQ(bytes[54], 0x55);
    EXPECT_EQ(bytes[55 + 8], 1);      // addressed
    EXPECT_EQ(bytes[55 + 32], 0x34);  // data, little-endian
    EXPECT_EQ(bytes[55 + 33], 0x12);
    std::vector<std::uint8_t> tooSmall(10, 0xEE);
    EXPECT_EQ(ct_script_encode(&s, tooSmall.data(), tooSmall.size()), bytes.size());
    EXPECT_EQ(tooSmall[0], 0xEE); // nothing written into a buffer too small

    ct_script back{};
    char why[160];
    ASSERT_EQ(ct_script_decode(bytes.data(), bytes.size(), &back, why, sizeof why), CT_SCRIPT_OK);
    EXPECT_EQ(back.run_position, 0);
    EXPECT_EQ(back.count, 2);
    EXPECT_EQ(back.reserved[43], 0x55);
    back.run_position = 7;
    EXPECT_EQ(image(back), bytes);

    struct Case
    {
        std::vector<std::uint8_t> bytes;
        const char *why;
    };
    auto with = [&](size_t at, std::uint8_t v, size_t length) {
        auto b = bytes;
        b[at] = v;
        b.resize(length);
        return b;
    };
    const Case cases[] = {
        {with(0, 'X', bytes.size()), "not a script file: it does not start with \"TVS\""},
        {with(0, 'T', 40), "damaged script file: 40 bytes, shorter than the 55-byte header"},
        {with(8, 1, bytes.size()), "damaged script file: count 258 outside 0..255"},
        {with(7, 3, bytes.size()), "damaged script file: count 3, but only 2 whole entries"},
        {with(7, 2, bytes.size() - 1), "damaged script file: count 2, but only 1 whole entries"},
    };
    for (const auto &c : cases) {
        ct_script untouched{};
        untouched.count = 99;
        EXPECT_EQ(ct_script_decode(c.bytes.data(), c.bytes.size(), &untouched, why, sizeof why),
                  CT_SCRIPT_INCOMPATIBLE);
        EXPECT_STREQ(why, c.why);
        EXPECT_EQ(untouched.count, 99);
    }
    s.count = 256;
    EXPECT_EQ(ct_script_encode(&s, nullptr, 0), 0u);
}

TEST(Scripts, SaveAndLoadKeepTheFileOrRefuse)
{
    const auto dir = std::filesystem::temp_directory_path() / ("camactools-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "prog.tvs").string();
    ct_script s{};
    s.count = 1;
    s.entries[0] = action(3, 0, 10);
    char why[200];
    ASSERT_EQ(ct_script_save(path.c_str(), &s, why, sizeof why), CT_SCRIPT_OK) << why;
    ct_script back{};
    ASSERT_EQ(ct_script_load(path.c_str(), &back, why, sizeof why), CT_SCRIPT_OK) << why;
    EXPECT_EQ(back.entries[0].f, 10);

    ::chmod(path.c_str(), 0444);
    s.entries[0].f = 9;
    // The panel's own rule: a file without write bits is refused, for root too.
    EXPECT_EQ(ct_script_save(path.c_str(), &s, why, sizeof why), CT_SCRIPT_READ_ONLY);
    ASSERT_EQ(ct_script_load(path.c_str(), &back, why, sizeof why), CT_SCRIPT_OK);
    EXPECT_EQ(back.entries[0].f, 10);

    const std::string junk = (dir / "junk.tvs").string();
    std::ofstream(junk) << "TVS?";
    EXPECT_EQ(ct_script_load(junk.c_str(), &back, why, sizeof why), CT_SCRIPT_INCOMPATIBLE);
    EXPECT_STREQ(why, "damaged script file: 4 bytes, shorter than the 55-byte header");
    EXPECT_EQ(ct_script_load((dir / "none.tvs").string().c_str(), &back, why, sizeof why), CT_SCRIPT_OPEN_FAILED);
    EXPECT_EQ(std::string(why).rfind("cannot open it (", 0), 0u) << why;
    std::filesystem::permissions(path, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
    std::filesystem::remove_all(dir);
}

struct Steps
{
    std::vector<ct_run_step> seen;
    std::int32_t *stop = nullptr;
};

void CT_CALL record(const ct_run_step *step, void *user)
{
    auto &steps = *static_cast<Steps *>(user);
    steps.seen.push_back(*step);
    if (steps.stop && steps.seen.size() == 5)
        __atomic_store_n(steps.stop, 1, __ATOMIC_RELEASE);
}

TEST(Run, APassShowsEachEntryAsThePanelWould)
{
    ct_script s{};
    s.count = 3;
    s.entries[0] = action(5, 0, 16, 0x0ABC);
    s.entries[1] = action(5, 0, 0);
    s.entries[2] = action(9, 0, 0); // an empty station: no X
    Steps steps;
    ct_run_options o{};
    o.cycle = 1;
    o.passes = 2;
    ct_run_result r{};
    char why[300];
    ASSERT_EQ(ct_run_script(&s, &o, record, &steps, &r, why, sizeof why), CT_RUN_DONE) << why;
    ASSERT_EQ(steps.seen.size(), 6u);
    EXPECT_EQ(r.entries, 6u);
    EXPECT_EQ(r.stopped, 0);
    EXPECT_EQ(steps.seen[1].r, 0x0ABC);
    EXPECT_EQ(steps.seen[1].q, 1);
    EXPECT_EQ(steps.seen[1].x, 1);
    EXPECT_EQ(steps.seen[2].x, 0);
    EXPECT_EQ(steps.seen[3].pass, 2);
    EXPECT_EQ(steps.seen[3].entry, 1);
    EXPECT_EQ(steps.seen[5].entry, 3);

    // A program of one entry starts a pass with each step.
    s.count = 1;
    steps = {};
    ASSERT_EQ(ct_run_script(&s, &o, record, &steps, &r, why, sizeof why), CT_RUN_DONE) << why;
    ASSERT_EQ(steps.seen.size(), 2u);
    EXPECT_EQ(steps.seen[1].pass, 2);
}

TEST(Run, OutOfRangeEntriesAreRefusedBeforeAnyActionAndAStopEndsACycle)
{
    CamacStatus *status = cdata();
    ct_script s{};
    s.count = 2;
    s.entries[0] = action(5, 0, 16, 0x0111);
    s.entries[1] = action(37, 0, 16, 0x0222); // the panel would write station 5
    Steps steps;
    ct_run_options o{};
    ct_run_result r{};
    char why[300];
    ASSERT_EQ(ct_run_script(&s, &o, record, &steps, &r, why, sizeof why), CT_RUN_OUT_OF_RANGE);
    EXPECT_STREQ(why, "1 entry is out of range; nothing was run\n  entry 2: station N 37");
    EXPECT_TRUE(steps.seen.empty());
    EXPECT_EQ(r.entries, 0u);

    o.as_panel = 1;
    ASSERT_EQ(ct_run_script(&s, &o, record, &steps, &r, why, sizeof why), CT_RUN_DONE) << why;
    EXPECT_EQ(status->lastWritten, 0x0222);

    // A cycle without a count runs until stopped: here by the fifth step.
    std::int32_t stop = 0;
    steps = {};
    steps.stop = &stop;
    o.cycle = 1;
    o.stop = &stop;
    ASSERT_EQ(ct_run_script(&s, &o, record, &steps, &r, why, sizeof why), CT_RUN_DONE);
    EXPECT_EQ(r.stopped, 1);
    EXPECT_GE(steps.seen.size(), 5u);
    EXPECT_EQ(r.entries, steps.seen.size());

    s.count = 0;
    EXPECT_EQ(ct_run_script(&s, &o, record, &steps, &r, why, sizeof why), CT_RUN_EMPTY);
    EXPECT_STREQ(why, "the program is empty");
}

TEST(Run, TheCheckBeforeARunNamesTheFirstBadEntryInTheRunsOwnWords)
{
    struct {
        ct_script s;
        ct_entry beyond[8]; // what a count past the array would reach
    } held{};
    ct_script &s = held.s;
    s.count = 13;
    s.entries[0] = action(5, 0, 0);
    for (int k = 1; k < 13; ++k)
        s.entries[k] = action(5, 16 + k, 0); // subaddress A 17..28
    char why[1200] = "unset";
    EXPECT_EQ(ct_script_check(&s, why, sizeof why), 1);
    const std::string checked = why;
    EXPECT_EQ(checked.substr(0, checked.find('\n')), "12 entries are out of range; nothing was run");
    EXPECT_NE(checked.find("\n  entry 11: subaddress A 26\n  and 2 more"), std::string::npos) << checked;
    ct_run_options o{};
    ASSERT_EQ(ct_run_script(&s, &o, nullptr, nullptr, nullptr, why, sizeof why), CT_RUN_OUT_OF_RANGE);
    EXPECT_EQ(why, checked);

    s.count = 1;
    s.entries[0] = action(37, 0, 0);
    EXPECT_EQ(ct_script_check(&s, why, sizeof why), 0);
    EXPECT_EQ(ct_run_script(&s, &o, nullptr, nullptr, nullptr, why, sizeof why), CT_RUN_OUT_OF_RANGE);
    s.entries[0] = action(5, 0, 0);
    EXPECT_EQ(ct_script_check(&s, why, sizeof why), -1);
    EXPECT_STREQ(why, "");
    // A count past the array looks at the entries that there are, no more.
    for (int k = 0; k < CT_SCRIPT_MAX_ENTRIES; ++k)
        s.entries[k] = action(5, 0, 0);
    for (ct_entry &e : held.beyond)
        e = action(37, 0, 0);
    s.count = CT_SCRIPT_MAX_ENTRIES + 8;
    EXPECT_EQ(ct_script_check(&s, why, sizeof why), -1) << why;
}

} // namespace
