// The ESONE routines against the virtual adapter: the register accesses each
// routine makes, what it leaves in CamacStatus, and what it does without a
// connection.
#include <algorithm>
#include <functional>
#include <memory>
#include <tuple>
#include <utility>

#include "Fixture.h"

namespace camac::test {
namespace {

using kt40sim::Module;
using kt40sim::Response;
using Log = std::vector<Access>;

// A module that answers every cycle with a fixed X and Q, delivers `value` on
// reads and remembers the last function it saw.
class Probe : public Module {
public:
    explicit Probe(Response r = {true, true}, uint32_t value = 0) : Module("probe"), r_(r), value_(value) {}
    Response cycle(int, int f, uint32_t& data) override {
        lastF = f;
        if (f <= 7) data = value_;
        return r_;
    }
    int lastF = -1;

private:
    Response r_;
    uint32_t value_;
};

std::string show(const CamacStatus& s) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "error=0x%04x x=%u q=%u l=%u i=%u lamPattern=0x%08x bit11=%u bit10=%u lastRead=0x%x lastWritten=0x%x",
                  s.error, s.x, s.q, s.l, s.i, s.lamPattern, s.bit11, s.bit10, static_cast<unsigned>(s.lastRead),
                  static_cast<unsigned>(s.lastWritten));
    return text;
}

// A status record with every field set, so that a field a routine must not
// touch shows when it does.
CamacStatus sentinel() {
    CamacStatus s{};
    s.error = 0x0777;
    s.x = s.q = s.l = s.i = 1;
    s.lamPattern = 0xFFFFFFFF;
    s.bit11 = s.bit10 = 1;
    s.lastRead = 0x5A5A;
    s.lastWritten = 0x6B6B;
    return s;
}

class EsoneTest : public LibraryTest {
protected:
    void expectSeen(const Log& want) {
        const Log got = seen();
        EXPECT_TRUE(got == want) << "saw:\n" << describe(got) << "wanted:\n" << describe(want);
        hw.clearLog();
    }
    void expectStatus(const CamacStatus& want) { EXPECT_EQ(show(*cdata()), show(want)); }

    void install(int station, std::unique_ptr<Module> m) { hw.install(0, station, std::move(m)); }
    uint32_t registerWord(int station, int a = 0) {
        uint32_t w = 0;
        hw.withModule(0, station, [&](Module& m) { w = dynamic_cast<kt40sim::RegisterModule&>(m).word(a); });
        return w;
    }
    int probeF(int station) {
        int f = -1;
        hw.withModule(0, station, [&](Module& m) { f = dynamic_cast<Probe&>(m).lastF; });
        return f;
    }
    void preload(int station, int a, uint32_t value) {
        hw.withModule(0, station, [&](Module& m) { m.cycle(a, 16, value); });
    }
};

TEST_F(EsoneTest, AddressWordPacksMasksAndUnpacks) {
    int e = -1;
    EXPECT_EQ(cdreg(&e, 24, 1, 5, 2), 0);
    EXPECT_EQ(e, 0x8252);
    cdreg(&e, 16, 1, 5, 2);
    EXPECT_EQ(e, 0x0252);
    cdreg(&e, 16, 5, 5, 2);  // crate masked to 1
    EXPECT_EQ(e, 0x0252);
    cdreg(&e, 32, -1, 33, 17);  // only b == 24 selects 24-bit; fields masked
    EXPECT_EQ(e, (3 << 9) | (1 << 4) | 1);

    int b, c, n, a;
    EXPECT_EQ(cgreg(0x8000, &b, &c, &n, &a), 0);
    EXPECT_EQ(std::make_tuple(b, c, n, a), std::make_tuple(24, 0, 0, 0));
    cgreg(0x7FFF, &b, &c, &n, &a);
    EXPECT_EQ(std::make_tuple(b, c, n, a), std::make_tuple(16, 3, 31, 15));
    cgreg(static_cast<int>(0xFFFF7800u | 0x0252), &b, &c, &n, &a);  // bits 11-14 and 16-31 ignored
    EXPECT_EQ(std::make_tuple(b, c, n, a), std::make_tuple(16, 1, 5, 2));

    // Neither needs a connection nor touches anything.
    EXPECT_TRUE(seen().empty());
    EXPECT_TRUE(service.requests().empty());
}

TEST_F(EsoneTest, ReadsDeliverSixteenOrTwentyFourBitsAndKeepTheLamFields) {
    ASSERT_NO_FATAL_FAILURE(open());
    preload(1, 3, 0xABCDEF);
    *cdata() = sentinel();
    int data = -1;
    char q = 9;

    EXPECT_EQ(cssa(0, ext(0, 1, 3), &data, &q), 0);
    expectSeen({R(8, 0), W(0, 0x0260), R(8, 0x13), R(0, 0xCDEF)});
    EXPECT_EQ(data, 0xCDEF);
    EXPECT_EQ(q, 1);
    CamacStatus want = sentinel();
    want.error = 0;
    want.lastRead = 0xCDEF;
    expectStatus(want);

    EXPECT_EQ(cssa(0, ext(0, 1, 3, 24), &data, &q), 0);
    expectSeen({R(8, 0x13), W(0, 0x4260), R(8, 0x13), R(0, 0xCDEF), W(2, 1), R(8, 0x13), R(0, 0x00AB)});
    EXPECT_EQ(data, 0xABCDEF);
    want.lastRead = 0xABCDEF;
    expectStatus(want);
}

TEST_F(EsoneTest, ReadValuesAreZeroExtendedToTheirWidth) {
    install(4, std::make_unique<Probe>(Response{true, false}, 0xFFFFFF));
    install(6, std::make_unique<Probe>(Response{true, true}, 0x800000));
    ASSERT_NO_FATAL_FAILURE(open());
    int data = 0;
    char q = 9;
    ASSERT_EQ(cssa(0, ext(0, 4, 0), &data, &q), 0);
    EXPECT_EQ(data, 0xFFFF);
    EXPECT_EQ(q, 0);
    // Only bits 0-7 of the high-byte readout are data; the rest is not driven.
    hw.setHighReadoutUpperBits(0xFF);
    ASSERT_EQ(cssa(0, ext(0, 4, 0, 24), &data, &q), 0);
    EXPECT_EQ(data, 0xFFFFFF);
    hw.setHighReadoutUpperBits(0x81);
    ASSERT_EQ(cssa(0, ext(0, 6, 0, 24), &data, &q), 0);
    EXPECT_EQ(data, 0x800000);  // no sign extension of bit 23
    EXPECT_EQ(cdata()->lastRead, 0x800000);
}

TEST_F(EsoneTest, OnlyTheLowFiveBitsOfTheFunctionCount) {
    install(4, std::make_unique<Probe>(Response{true, true}, 0x1234));
    ASSERT_NO_FATAL_FAILURE(open());
    for (int f : {33, -31, 1 + (1 << 20)}) {
        int data = 0;
        char q = 0;
        ASSERT_EQ(cssa(f, ext(0, 4, 0), &data, &q), 0) << f;
        expectSeen({R(8, f == 33 ? 0 : 0x13), W(0, 0x0801), R(8, 0x13), R(0, 0x1234)});
        EXPECT_EQ(probeF(4), 1);
        EXPECT_EQ(data, 0x1234);
    }
}

TEST_F(EsoneTest, ControlFunctionsNeverSendData) {
    install(4, std::make_unique<Probe>(Response{true, false}));
    ASSERT_NO_FATAL_FAILURE(open());
    uint16_t csr = 0;
    for (int f : {8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31}) {
        for (int width : {16, 24}) {
            int data = 0x123456;
            char q = 9;
            *cdata() = sentinel();
            ASSERT_EQ(cssa(f, ext(0, 4, 1, width), &data, &q), 0) << "F" << f;
            const uint16_t command = static_cast<uint16_t>(0x0820 | f | (width == 24 ? 0x4000 : 0));
            expectSeen({R(8, csr), W(0, command), R(8, 0x12), R(0, 0x4400), R(8, 0x12)});
            csr = 0x12;
            EXPECT_EQ(probeF(4), f);
            EXPECT_EQ(q, 0);
            CamacStatus want = sentinel();
            want.error = 0;
            want.x = 1, want.q = 0, want.l = 0, want.i = 0, want.bit11 = 0, want.bit10 = 1;
            want.lamPattern = 0;
            expectStatus(want);
        }
    }
}

TEST_F(EsoneTest, WritesSendLowWordAndInTwentyFourBitModeTheHighByte) {
    ASSERT_NO_FATAL_FAILURE(open());
    *cdata() = sentinel();
    int data = 0x12345678;
    char q = 9;

    ASSERT_EQ(cssa(16, ext(0, 5, 0), &data, &q), 0);
    expectSeen({R(8, 0), W(4, 0x5678), R(8, 0), W(0, 0x0A10), R(8, 0x13), R(0, 0x6400)});
    EXPECT_EQ(registerWord(5), 0x5678u);
    EXPECT_EQ(q, 1);
    CamacStatus want = sentinel();
    want.error = 0, want.x = 1, want.q = 1, want.l = 0, want.i = 0, want.bit11 = 0, want.bit10 = 1;
    want.lamPattern = 0;
    want.lastWritten = 0x12345678;
    expectStatus(want);

    ASSERT_EQ(cssa(16, ext(0, 5, 0, 24), &data, &q), 0);
    expectSeen({R(8, 0x13), W(4, 0x5678), R(8, 0x13), W(6, 0x0034), R(8, 0x13), W(0, 0x4A10), R(8, 0x13),
                R(0, 0x6400)});
    EXPECT_EQ(registerWord(5), 0x345678u);
    expectStatus(want);

    // N 5, A 2, F 16 in 24-bit mode is 0x4A50; the register has no A2: Q = 0.
    data = -1;
    ASSERT_EQ(cssa(16, ext(0, 5, 2, 24), &data, &q), 0);
    expectSeen({R(8, 0x13), W(4, 0xFFFF), R(8, 0x13), W(6, 0x00FF), R(8, 0x13), W(0, 0x4A50), R(8, 0x12),
                R(0, 0x4400)});
    EXPECT_EQ(q, 0);
    EXPECT_EQ(cdata()->lastWritten, -1);
}

// *q is the Q that completion showed in CSR; CamacStatus.q then takes the
// status word's, even where the two disagree.
TEST_F(EsoneTest, ControlAndWriteReturnTheCompletionQNotTheStatusWordQ) {
    install(4, std::make_unique<Probe>(Response{true, true}));
    install(6, std::make_unique<Probe>(Response{true, false}));
    ASSERT_NO_FATAL_FAILURE(open());
    for (int f : {9, 16, 25}) {
        for (int width : {16, 24}) {
            for (int n : {4, 6}) {
                const bool cycleQ = n == 4;
                hw.setStatusWordQ(!cycleQ);
                int data = 0x123456;
                char q = 9;
                ASSERT_EQ(cssa(f, ext(0, n, 0, width), &data, &q), 0);
                EXPECT_EQ(q, cycleQ ? 1 : 0) << "F" << f << " width " << width << " N" << n;
                EXPECT_EQ(cdata()->q, cycleQ ? 0 : 1) << "F" << f << " width " << width << " N" << n;
            }
        }
    }
}

TEST_F(EsoneTest, CrateIsSelectedOnlyWhenItDiffersAndKeepsTheInterruptEnable) {
    ASSERT_NO_FATAL_FAILURE(open());
    hw.isaWrite(kt40sim::kCsr, 4);  // crate 0, LAM interrupt on: CSR reads 0x0100
    hw.clearLog();
    int data = 0;
    char q = 0;
    ASSERT_EQ(cssa(0, ext(2, 1, 0), &data, &q), 0);
    expectSeen({R(8, 0x0100), W(8, 0x0006), W(0, 0x0200), R(8, 0x8190), R(0, 0)});
    ASSERT_EQ(cssa(0, ext(2, 1, 0), &data, &q), 0);
    expectSeen({R(8, 0x8190), W(0, 0x0200), R(8, 0x8190), R(0, 0)});

    // The selection goes by the read-back bits 6-7, not by bits 14-15.
    hw.setControllerCrate(0);
    ASSERT_EQ(cssa(0, ext(2, 1, 0), &data, &q), 0);
    expectSeen({R(8, 0x0190), W(0, 0x0200), R(8, 0x0190), R(0, 0)});
    hw.setControllerCrate(1);
    ASSERT_EQ(cccc(ext(0, 9, 9)), 0);
    expectSeen({R(8, 0x4190), W(8, 0x0004), W(0, 0x8001), R(8, 0x4113), R(0, 0x6400)});
}

TEST_F(EsoneTest, StatusWordDecodesLxqiAndTheHighStationLams) {
    install(4, std::make_unique<Probe>(Response{false, true}));
    for (int n = 17; n <= 24; ++n) {
        install(n, std::make_unique<Probe>());
        hw.raiseLam(0, n);
    }
    ASSERT_NO_FATAL_FAILURE(open());
    *cdata() = sentinel();
    int data = 0;
    char q = 0;
    ASSERT_EQ(cssa(9, ext(0, 4, 0), &data, &q), 0);
    expectSeen({R(8, 0), W(0, 0x0809), R(8, 0x11), R(0, 0xA4FF), R(8, 0x11)});
    EXPECT_EQ(q, 1);
    CamacStatus want = sentinel();
    want.error = 0, want.l = 1, want.x = 0, want.q = 1, want.i = 0, want.bit11 = 0, want.bit10 = 1;
    want.lamPattern = 0xFF0000;
    expectStatus(want);

    // A read leaves L, I and the LAM pattern as they were.
    cdata()->lamPattern = 0xFF1234;
    ASSERT_EQ(cssa(0, ext(0, 4, 0), &data, &q), 0);
    EXPECT_EQ(cdata()->lamPattern, 0xFF1234u);
    EXPECT_EQ(cdata()->l, 1);
}

TEST_F(EsoneTest, TestLamFetchesTheLowPatternOnlyWhenLIsSet) {
    ASSERT_NO_FATAL_FAILURE(open());
    char l = 9;
    cdata()->lamPattern = 0xFFFFFFFF;
    ASSERT_EQ(ctgl(ext(0, 9, 9, 24), &l), 0);
    expectSeen({R(8, 0), W(2, 4), R(8, 0x10), R(0, 0x0400)});
    EXPECT_EQ(l, 0);
    EXPECT_EQ(cdata()->lamPattern, 0u);

    // Stations 3, 16 (the top bit of the low pattern) and 20.
    install(16, std::make_unique<Probe>());
    install(20, std::make_unique<Probe>());
    hw.raiseLam(0, 20);
    hw.raiseLam(0, 16);
    hw.raiseLam(0, 3);
    ASSERT_EQ(ctgl(ext(0, 0, 0), &l), 0);
    expectSeen({R(8, 0x10), W(2, 4), R(8, 0x10), R(0, 0x8408), W(2, 2), R(8, 0x10), R(0, 0x8004)});
    EXPECT_EQ(l, 1);
    EXPECT_EQ(cdata()->lamPattern, 0x088004u);
    EXPECT_EQ(cdata()->l, 1);

    // Anything but ctgl leaves only the stations 17-24 in the pattern.
    ASSERT_EQ(ctci(ext(0, 0, 0), &l), 0);
    EXPECT_EQ(cdata()->lamPattern, 0x080000u);
}

TEST_F(EsoneTest, UnaddressedCommandsAndInhibitTest) {
    ASSERT_NO_FATAL_FAILURE(open());
    // N, A and the mode of ext do not matter; Z sets the inhibit, C keeps it.
    const std::tuple<std::function<int()>, uint16_t, bool> commands[] = {
        {[&] { return cccz(ext(0, 31, 15, 24)); }, 0x8002, true},
        {[&] { return cccc(ext(0, 1, 1)); }, 0x8001, true},
        {[&] { return ccci(ext(0, 2, 2), 0); }, 0x8008, false},
        {[&] { return ccci(ext(0, 2, 2), static_cast<char>(0x80)); }, 0x8004, true},
        {[&] { return ccci(ext(0, 2, 2), 0); }, 0x8008, false},
        {[&] { return ccci(ext(0, 2, 2), 1); }, 0x8004, true},
    };
    uint16_t csr = 0;
    for (const auto& [call, code, inhibit] : commands) {
        *cdata() = sentinel();
        ASSERT_EQ(call(), 0);
        EXPECT_EQ(hw.inhibit(0), inhibit) << std::hex << code;
        const uint16_t status = static_cast<uint16_t>(0x6400 | (inhibit ? 0x1000 : 0));
        expectSeen({R(8, csr), W(0, code), R(8, 0x13), R(0, status)});
        csr = 0x13;
        CamacStatus want = sentinel();
        want.error = 0, want.l = 0, want.x = 1, want.q = 1, want.i = inhibit, want.bit11 = 0, want.bit10 = 1;
        want.lamPattern = 0;
        expectStatus(want);

        char l = 9;
        ASSERT_EQ(ctci(ext(0, 0, 0), &l), 0);
        expectSeen({R(8, 0x13), W(2, 4), R(8, 0x13), R(0, status)});
        EXPECT_EQ(l, inhibit ? 1 : 0);
    }

    // The crate of ext is selected; an off-line crate answers X = Q = 0.
    ASSERT_EQ(cccz(ext(3, 0, 0)), 0);
    expectSeen({R(8, 0x13), W(8, 3), W(0, 0x8002), R(8, 0xC0D0), R(0, 0)});
    EXPECT_EQ(cdata()->x, 0);
    EXPECT_FALSE(hw.inhibit(3));
}

TEST_F(EsoneTest, WithoutAConnectionEveryRoutineFailsAndTouchesNothing) {
    auto check = [&](const char* when) {
        int data = 0x1111;
        char q = 7, l = 7;
        const std::pair<const char*, std::function<int()>> calls[] = {
            {"cssa read", [&] { return cssa(0, ext(0, 1, 0), &data, &q); }},
            {"cssa write", [&] { return cssa(16, ext(0, 5, 0, 24), &data, &q); }},
            {"cssa control", [&] { return cssa(9, ext(0, 1, 0), &data, &q); }},
            {"cccz", [&] { return cccz(ext(0, 0, 0)); }},
            {"cccc", [&] { return cccc(ext(0, 0, 0)); }},
            {"ccci", [&] { return ccci(ext(0, 0, 0), 1); }},
            {"ctci", [&] { return ctci(ext(0, 0, 0), &l); }},
            {"ctgl", [&] { return ctgl(ext(0, 0, 0), &l); }},
            {"cclnk", [&] { return cclnk(+[] {}); }},
            {"cculnk", [&] { return cculnk(); }},
        };
        for (const auto& [name, call] : calls) {
            *cdata() = sentinel();
            EXPECT_EQ(call(), 1) << name << " " << when;
            CamacStatus want = sentinel();
            want.error = CAMAC_ERR_DONE_TIMEOUT;
            EXPECT_EQ(show(*cdata()), show(want)) << name << " " << when;
        }
        EXPECT_EQ(data, 0x1111);
        EXPECT_EQ(q, 7);
        EXPECT_EQ(l, 7);
        EXPECT_TRUE(seen().empty()) << when << "\n" << describe(seen());
        EXPECT_TRUE(service.requests().empty()) << when;
        EXPECT_EQ(service.requestCount(wdsim::kTransfer), 0u) << when;
    };
    check("before ccinit");

    service.setPresent(false);
    EXPECT_EQ(ccinit(), 1);
    service.setPresent(true);
    service.clearRequests();
    check("after a failed ccinit");
    EXPECT_EQ(service.openHandles(), 0);
}

TEST_F(EsoneTest, CcinitResetsTheAdapterAndZeroesStatusOnce) {
    CamacStatus* status = cdata();
    *status = sentinel();
    ASSERT_EQ(ccinit(), 0) << camac::error_text();
    EXPECT_EQ(cdata(), status);
    expectSeen({W(8, 0)});
    expectStatus(CamacStatus{});
    EXPECT_EQ(service.requestCount(wdsim::kCardRegister), 1u);

    // A second ccinit keeps the connection: no new handle, no new registration.
    hw.isaWrite(kt40sim::kCsr, 6);
    hw.clearLog();
    *status = sentinel();
    EXPECT_EQ(ccinit(), 0);
    expectSeen({W(8, 0)});
    expectStatus(CamacStatus{});
    EXPECT_EQ(service.requestCount(wdsim::kCardRegister), 1u);
    EXPECT_EQ(service.requestCount(wdsim::kVersionQuery), 1u);
    EXPECT_EQ(service.openHandles(), 1);
    EXPECT_EQ(service.registeredCards(), 1);
    EXPECT_EQ(cdata(), status);

    // A failed ccinit zeroes the record too.
    camac::disconnect();
    service.setVersion(600);
    *status = sentinel();
    EXPECT_EQ(ccinit(), 1);
    expectStatus(CamacStatus{});
    EXPECT_TRUE(seen().empty());
}

}  // namespace
}  // namespace camac::test
