// The register protocol: the two waits and their limits, what a failed wait
// leaves behind, crate selection and the LAM interrupt writes.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Fixture.h"
#include "Protocol.h"

namespace camac::test {
namespace {

using kt40sim::Fault;
using Log = std::vector<Access>;

constexpr size_t kLimit = 65534;

Log operator+(Log a, const Log& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Log times(size_t n, const Access& a) { return Log(n, a); }

class ProtocolTest : public LibraryTest {
protected:
    // Compares whole transcripts; on a mismatch shows where they part.
    void expectSeen(const Log& want) {
        const Log got = seen();
        hw.clearLog();
        if (got == want) return;
        size_t i = 0;
        while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
        auto around = [i](const Log& v) {
            const size_t from = i > 3 ? i - 3 : 0;
            return describe(Log(v.begin() + static_cast<std::ptrdiff_t>(std::min(from, v.size())),
                                v.begin() + static_cast<std::ptrdiff_t>(std::min(i + 4, v.size()))));
        };
        ADD_FAILURE() << "transcripts part at access " << i << "; saw " << got.size() << ", wanted " << want.size()
                      << "\nsaw:\n" << around(got) << "wanted:\n" << around(want);
    }

    AdapterConnection* conn() { return camac::g_connection.load(); }

    // A connection whose register window lies 8 bytes below the adapter's,
    // so that what the protocol takes for CSR is the adapter's CMD register,
    // which holds whatever the last read delivered: any CSR value we like.
    AdapterConnection shifted() {
        AdapterConnection c = *conn();
        c.card.items[0].value = kPortBase - kCsr;
        return c;
    }
    void csrWillRead(uint16_t value) {
        uint32_t word = value;
        hw.withModule(0, 1, [&](kt40sim::Module& m) { m.cycle(0, 16, word); });
        int data = 0;
        char q = 0;
        ASSERT_EQ(cssa(0, ext(0, 1, 0), &data, &q), 0);
        ASSERT_EQ(data, value);
        hw.clearLog();
    }
};

TEST_F(ProtocolTest, WaitDoneReadsCsrAtMost65534Times) {
    ASSERT_NO_FATAL_FAILURE(open());
    int data = 0x4444;
    char q = 7;

    hw.setDonePolls(kLimit - 1);  // done shows on the last read allowed
    ASSERT_EQ(cssa(0, ext(0, 1, 0), &data, &q), 0);
    expectSeen(Log{R(8, 0), W(0, 0x0200)} + times(kLimit - 1, R(8, 0x03)) + Log{R(8, 0x13), R(0, 0)});
    EXPECT_EQ(q, 1);

    for (bool never : {false, true}) {
        SCOPED_TRACE(never ? "done never" : "done one read too late");
        hw.reset();
        hw.clearLog();
        hw.setDonePolls(kLimit);
        hw.setFault(never ? Fault::DoneNever : Fault::None);
        data = 0x4444, q = 7;
        CamacStatus* s = cdata();
        s->lastRead = 0x1234, s->x = 1, s->l = 1, s->lamPattern = 0x10002;
        EXPECT_EQ(cssa(0, ext(0, 1, 0, 24), &data, &q), 1);
        expectSeen(Log{R(8, 0), W(0, 0x4200)} + times(kLimit, R(8, 0x03)));
        EXPECT_EQ(s->error, CAMAC_ERR_DONE_TIMEOUT);
        EXPECT_EQ(data, 0);
        EXPECT_EQ(q, 7);
        EXPECT_EQ(s->lastRead, 0x1234);
        EXPECT_EQ(s->x, 0);
        EXPECT_EQ(s->q, 0);
        EXPECT_EQ(s->l, 1);
        EXPECT_EQ(s->lamPattern, 0x10002u);
    }
}

TEST_F(ProtocolTest, WaitReadyReadsCsrAtMost65534Times) {
    ASSERT_NO_FATAL_FAILURE(open());
    int data = 0x12345678;
    char q = 7;
    cdata()->lastWritten = 0x55;

    hw.setBusyPolls(kLimit - 1);
    ASSERT_EQ(cssa(16, ext(0, 5, 0), &data, &q), 0);
    expectSeen(Log{R(8, 0), W(4, 0x5678)} + times(kLimit - 1, R(8, 0x04)) +
               Log{R(8, 0), W(0, 0x0A10), R(8, 0x17), R(0, 0x6400)});
    EXPECT_EQ(cdata()->lastWritten, 0x12345678);

    hw.setBusyPolls(kLimit);
    data = 0xABCD, q = 7;
    cdata()->x = cdata()->q = 1;
    EXPECT_EQ(cssa(16, ext(0, 5, 0), &data, &q), 1);
    expectSeen(Log{R(8, 0x17)} + Log{W(4, 0xABCD)} + times(kLimit, R(8, 0x17)));
    EXPECT_EQ(cdata()->error, CAMAC_ERR_BUSY_TIMEOUT);
    EXPECT_EQ(cdata()->lastWritten, 0x12345678);
    EXPECT_EQ(q, 7);
    EXPECT_EQ(cdata()->x, 1);  // wait_ready leaves X and Q alone
    EXPECT_EQ(cdata()->q, 1);

    // A control command whose busy never clears ends before the status read.
    hw.setFault(Fault::BusyStuck);
    cdata()->lamPattern = 0xFFFF;
    EXPECT_EQ(cssa(9, ext(0, 1, 0), &data, &q), 1);
    expectSeen(Log{R(8, 0x17), W(0, 0x0209)} + times(kLimit, R(8, 0x17)));
    EXPECT_EQ(cdata()->error, CAMAC_ERR_BUSY_TIMEOUT);
    EXPECT_EQ(cdata()->lamPattern, 0xFFFFu);
    EXPECT_EQ(q, 7);
}

TEST_F(ProtocolTest, AnErrorBitEndsEveryActionAtOnce) {
    ASSERT_NO_FATAL_FAILURE(open());
    int data = 0x4444;
    char q = 7, l = 7;
    const struct {
        const char* name;
        std::function<int()> call;
        Log want;
    } cases[] = {
        {"read", [&] { return cssa(0, ext(0, 1, 0), &data, &q); }, {R(8, 0), W(0, 0x0200), R(8, 0x23)}},
        {"write", [&] { return cssa(16, ext(0, 5, 0, 24), &data, &q); },
         {R(8, 0), W(4, 0x4444), R(8, 0), W(6, 0), R(8, 0), W(0, 0x4A10), R(8, 0x23)}},
        {"control", [&] { return cssa(9, ext(0, 1, 0), &data, &q); },
         {R(8, 0), W(0, 0x0209), R(8, 0x23), R(0, 0x6400), R(8, 0x23)}},
        {"cccz", [&] { return cccz(ext(0, 0, 0)); }, {R(8, 0), W(0, 0x8002), R(8, 0x23)}},
        {"ctci", [&] { return ctci(ext(0, 0, 0), &l); }, {R(8, 0), W(2, 4), R(8, 0x20)}},
        {"ctgl", [&] { return ctgl(ext(0, 0, 0), &l); }, {R(8, 0), W(2, 4), R(8, 0x20)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hw.reset();
        hw.setFault(Fault::ErrorBit);
        hw.clearLog();
        CamacStatus* s = cdata();
        s->x = s->q = s->l = s->i = 1;
        s->lamPattern = 0xFFFFFF;
        s->lastRead = s->lastWritten = 0x99;
        EXPECT_EQ(c.call(), 1);
        expectSeen(c.want);
        EXPECT_EQ(s->error, CAMAC_ERR_ADAPTER);
        EXPECT_EQ(s->x, 0);
        EXPECT_EQ(s->q, 0);
        EXPECT_EQ(s->l, 1);  // no status word was decoded
        EXPECT_EQ(s->i, 1);
        EXPECT_EQ(s->lamPattern, c.name == std::string("ctgl") ? 0u : 0xFFFFFFu);
        EXPECT_EQ(s->lastRead, 0x99);
        EXPECT_EQ(s->lastWritten, 0x99);
        EXPECT_EQ(q, 7);
        EXPECT_EQ(l, 7);
        EXPECT_EQ(data, c.name == std::string("read") ? 0 : 0x4444);
        data = 0x4444;
    }
}

TEST_F(ProtocolTest, WaitsJudgeTheCsrBits) {
    ASSERT_NO_FATAL_FAILURE(open());
    AdapterConnection window = shifted();
    const struct {
        uint16_t csr;
        bool ok;
        uint8_t x, q;
        uint16_t error;
        size_t reads;
    } done[] = {
        {0x0013, true, 1, 1, 0, 1},
        {0x0030, true, 0, 0, 0, 1},  // done wins over the error bit
        {0xFFFF, true, 1, 1, 0, 1},
        {0x0012, true, 1, 0, 0, 1},
        {0x0020, false, 0, 0, CAMAC_ERR_ADAPTER, 1},
        {0x0023, false, 0, 0, CAMAC_ERR_ADAPTER, 1},
        {0xFFEF, false, 0, 0, CAMAC_ERR_ADAPTER, 1},
        {0x0000, false, 0, 0, CAMAC_ERR_DONE_TIMEOUT, kLimit},
        {0xFFCF, false, 0, 0, CAMAC_ERR_DONE_TIMEOUT, kLimit},
    };
    for (const auto& c : done) {
        SCOPED_TRACE(c.csr);
        csrWillRead(c.csr);
        cdata()->error = 0x0777, cdata()->x = 1, cdata()->q = 1;
        EXPECT_EQ(wait_done(&window), c.ok);
        expectSeen(times(c.reads, R(0, c.csr)));
        EXPECT_EQ(cdata()->error, c.error);
        EXPECT_EQ(cdata()->x, c.x);
        EXPECT_EQ(cdata()->q, c.q);
    }
    for (uint16_t csr : {0x0000, 0xFFFB, 0x0004, 0xFFFF}) {
        SCOPED_TRACE(csr);
        csrWillRead(csr);
        cdata()->error = 0x0777, cdata()->x = 1, cdata()->q = 1;
        const bool ready = !(csr & 4);
        EXPECT_EQ(wait_ready(&window), ready);
        expectSeen(times(ready ? 1 : kLimit, R(0, csr)));
        EXPECT_EQ(cdata()->error, ready ? 0 : CAMAC_ERR_BUSY_TIMEOUT);
        EXPECT_EQ(cdata()->x, 1);
        EXPECT_EQ(cdata()->q, 1);
    }
}

TEST_F(ProtocolTest, CrateSelectionAndLamWritesComposeTheCsrValue) {
    ASSERT_NO_FATAL_FAILURE(open());
    AdapterConnection window = shifted();  // "CSR" writes land in CMD and show in the log at offset 0
    const struct {
        uint16_t csr;
        int crate;
        Log written;
    } selections[] = {
        {0x0100, 2, {W(0, 0x0006)}},  // the interrupt enable survives
        {0x0080, 2, {}},
        {0xC0C0, 3, {}},
        {0x8040, 2, {W(0, 0x0002)}},  // bits 14-15 do not count here
        {0xFEFF, 0, {W(0, 0x0000)}},
        {0x0140, 0, {W(0, 0x0004)}},
    };
    for (const auto& c : selections) {
        SCOPED_TRACE(c.csr);
        csrWillRead(c.csr);
        select_crate(&window, c.crate);
        expectSeen(Log{R(0, c.csr)} + c.written);
    }
    const struct {
        uint16_t csr;
        bool on;
        uint16_t written;
    } lam[] = {
        {0xC000, true, 0x0007}, {0x4000, false, 0x0001}, {0x81C7, true, 0x0006}, {0x3FFF, true, 0x0004},
        {0x3FFF, false, 0x0000},
    };
    for (const auto& c : lam) {
        SCOPED_TRACE(c.csr);
        csrWillRead(c.csr);
        write_lam_enable(&window, c.on);
        expectSeen({R(0, c.csr), W(0, c.written)});
    }
}

TEST_F(ProtocolTest, LamWritesTakeTheControllerCrateAndTheNextActionCorrectsIt) {
    ASSERT_NO_FATAL_FAILURE(open());
    hw.setControllerCrate(1);
    write_lam_enable(conn(), true);
    expectSeen({R(8, 0x4000), W(8, 0x0005)});
    int data = -1;
    char q = 0;
    ASSERT_EQ(cssa(0, ext(0, 1, 0), &data, &q), 0);
    expectSeen({R(8, 0x4140), W(8, 0x0004), W(0, 0x0200), R(8, 0x4113), R(0, 0)});
    hw.setControllerCrate(std::nullopt);
    write_lam_enable(conn(), false);
    expectSeen({R(8, 0x0113), W(8, 0x0000)});
}

// The first wait of these actions succeeds and the second fails: the fault
// begins after a given number of register accesses, inside the second wait.
class SecondWaitTest : public ProtocolTest {
protected:
    static constexpr uint32_t kSlow = 60000;  // polls before done or ready in the first wait

    // Runs `call` with `fault` beginning after `accesses` register accesses;
    // returns its result, with the transcript in `log`.
    int runWithFaultAfter(const std::function<void()>& setup, uint64_t accesses, Fault fault,
                          const std::function<int()>& call, Log& log) {
        hw.reset();
        setup();
        if (fault == Fault::BusyStuck)
            hw.setBusyPolls(kSlow);
        else
            hw.setDonePolls(kSlow);
        hw.clearLog();
        hw.setFaultAfter(accesses, fault);
        const int result = call();
        log = seen();
        hw.clearLog();
        return result;
    }

    void expectLog(const Log& got, const Log& want) {
        EXPECT_TRUE(got == want) << "saw " << got.size() << " accesses, wanted " << want.size();
    }
};

TEST_F(SecondWaitTest, AFailedHighByteFetchLeavesTheLowWord) {
    ASSERT_NO_FATAL_FAILURE(open());
    int data;
    char q;
    Log log;
    const int result = runWithFaultAfter(
        [&] {
            data = -1, q = 7, cdata()->lastRead = 0x77;
            hw.withModule(0, 1, [](kt40sim::Module& m) { uint32_t v = 0xABCDEF; m.cycle(0, 16, v); });
        },
        kSlow + 5, Fault::DoneNever, [&] { return cssa(0, ext(0, 1, 0, 24), &data, &q); }, log);
    EXPECT_EQ(result, 1);
    expectLog(log, Log{R(8, 0), W(0, 0x4200)} + times(kSlow, R(8, 0x03)) + Log{R(8, 0x13), R(0, 0xCDEF), W(2, 1)} +
                       times(kLimit, R(8, 0x03)));
    EXPECT_EQ(cdata()->error, CAMAC_ERR_DONE_TIMEOUT);
    EXPECT_EQ(data, 0xCDEF);
    EXPECT_EQ(q, 7);
    EXPECT_EQ(cdata()->lastRead, 0x77);
}

TEST_F(SecondWaitTest, AFailedPatternFetchKeepsL) {
    ASSERT_NO_FATAL_FAILURE(open());
    char l;
    Log log;
    const int result = runWithFaultAfter(
        [&] {
            l = 7, cdata()->lamPattern = 0xFFFFFFFF, cdata()->l = 0;
            hw.install(0, 20, std::make_unique<kt40sim::RegisterModule>());
            hw.raiseLam(0, 3);
            hw.raiseLam(0, 20);
        },
        kSlow + 5, Fault::DoneNever, [&] { return ctgl(ext(0, 0, 0), &l); }, log);
    EXPECT_EQ(result, 1);
    expectLog(log, Log{R(8, 0), W(2, 4)} + times(kSlow, R(8, 0)) + Log{R(8, 0x10), R(0, 0x8408), W(2, 2)} +
                       times(kLimit, R(8, 0)));
    EXPECT_EQ(cdata()->error, CAMAC_ERR_DONE_TIMEOUT);
    EXPECT_EQ(l, 1);
    EXPECT_EQ(cdata()->l, 1);
    EXPECT_EQ(cdata()->lamPattern, 0x080000u);  // stations 17-24 from the status word only
}

TEST_F(SecondWaitTest, AHighByteNeverTakenInSendsNoCommand) {
    ASSERT_NO_FATAL_FAILURE(open());
    int data = 0x345678;
    char q;
    Log log;
    const int result = runWithFaultAfter([&] { q = 7, cdata()->lastWritten = 0x77; }, kSlow + 4, Fault::BusyStuck,
                                      [&] { return cssa(16, ext(0, 5, 0, 24), &data, &q); }, log);
    EXPECT_EQ(result, 1);
    expectLog(log, Log{R(8, 0), W(4, 0x5678)} + times(kSlow, R(8, 0x04)) + Log{R(8, 0), W(6, 0x34)} +
                       times(kLimit, R(8, 0x04)));
    EXPECT_EQ(cdata()->error, CAMAC_ERR_BUSY_TIMEOUT);
    EXPECT_EQ(cdata()->lastWritten, 0x77);
    EXPECT_EQ(q, 7);
    uint32_t word = 1;
    hw.withModule(0, 5, [&](kt40sim::Module& m) { word = dynamic_cast<kt40sim::RegisterModule&>(m).word(0); });
    EXPECT_EQ(word, 0u);
}

TEST_F(ProtocolTest, ADeadAdapterShowsAsAFailedWait) {
    ASSERT_NO_FATAL_FAILURE(open());
    // A port transfer that the service does not answer reads as 0 and never
    // reaches the adapter.
    EXPECT_EQ(card_read16(conn(), 0, kRsel), 0xFFFF);  // nothing drives a write-only register
    service.setUnanswered(wdsim::kTransfer, true);
    EXPECT_EQ(card_read16(conn(), 0, kRsel), 0);
    hw.clearLog();
    const uint64_t before = service.requestCount(wdsim::kTransfer);
    int data = 0x4444;
    char q = 7;
    EXPECT_EQ(cssa(0, ext(0, 1, 0), &data, &q), 1);
    EXPECT_EQ(service.requestCount(wdsim::kTransfer) - before, 2 + kLimit);
    EXPECT_TRUE(seen().empty());
    EXPECT_EQ(cdata()->error, CAMAC_ERR_DONE_TIMEOUT);
    EXPECT_EQ(data, 0);
    EXPECT_EQ(q, 7);
}

}  // namespace
}  // namespace camac::test
