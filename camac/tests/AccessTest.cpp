// The access layer: status texts, opening and closing the connection, the
// records sent to the service, and single requests.
#include <cstring>
#include <functional>
#include <string>

#include "Access.h"
#include "Fixture.h"
#include "LamLink.h"
#include "Protocol.h"

namespace camac::test {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t word(const Bytes& b, size_t offset) {
    uint32_t v = 0;
    std::memcpy(&v, b.data() + offset, 4);
    return v;
}

void put(Bytes& b, size_t offset, uint32_t v) { std::memcpy(b.data() + offset, &v, 4); }

std::vector<uint32_t> codes(const std::vector<wdsim::Request>& requests) {
    std::vector<uint32_t> c;
    for (const auto& r : requests) c.push_back(r.code);
    return c;
}

class AccessTest : public LibraryTest {
protected:
    AdapterConnection* conn() { return camac::g_connection.load(); }

    // After a failed open nothing may be left behind.
    void expectNothingHeld() {
        EXPECT_EQ(service.openHandles(), 0);
        EXPECT_EQ(service.registeredCards(), 0);
        EXPECT_EQ(conn(), nullptr);
        EXPECT_TRUE(seen().empty()) << describe(seen());
    }
};

TEST_F(AccessTest, StatusTextsComeFromTheFirstMatchingRow) {
    const std::pair<uint32_t, const char*> rows[] = {
        {0x00000000, "Success"},
        {0xFFFFFFFF, "Invalid WinDriver handle"},
        {0x20000000, "Error"},
        {0x20000008, "Data mismatch"},
        {0x20000009, "Unrecognized error code"},
        {0x2000000A, "Function not implemented"},
        {0x2000000E, "Resource overlap"},
        {0x2000001F, "Received an invalid IOCTL"},
        {0x20000020, "Unrecognized error code"},
        {0x40000000, "USBD: Operation pending"},
        {0xC0000002, "HC status: Bit stuffing "},
        {0xC000000E, "Unrecognized error code"},
        {0xC0000030, "HCD: Trasnfer submitted to stalled endpoint"},
        {0x80000400, "USBD: Attempted to close enpoint/interface/configuration with outstanding transfer"},
        {0xC0000D00, "USBD: Attemped operation on frame length control not owned by caller"},
        {0x12345678, "Unrecognized error code"},
    };
    for (const auto& [code, text] : rows) EXPECT_STREQ(status_text(code), text) << std::hex << code;
}

TEST_F(AccessTest, FailedOpensRecordWhyAndLeaveNothingBehind) {
    const struct {
        const char* name;
        std::function<void()> arrange;
        const char* text;
        std::vector<uint32_t> requests;
    } cases[] = {
        {"no service", [&] { service.setPresent(false); }, "Failed opening WinDriver device\n", {}},
        {"version 6.20", [&] { service.setVersion(620); },
         "Incorrect WinDriver version. Expected 6.21, got 6.20\n", {wdsim::kVersionQuery}},
        {"version 0.05", [&] { service.setVersion(5); },
         "Incorrect WinDriver version. Expected 6.21, got 0.05\n", {wdsim::kVersionQuery}},
        {"version unanswered", [&] { service.setUnanswered(wdsim::kVersionQuery, true); },
         "Incorrect WinDriver version. Expected 6.21, got 0.00\n", {wdsim::kVersionQuery}},
        {"overlap", [&] { service.refuseRegistration(0x2000000E); },
         "Failed locking device. Status 0x2000000e - Resource overlap\n",
         {wdsim::kVersionQuery, wdsim::kCardRegister}},
        {"unknown status", [&] { service.refuseRegistration(0x00012345); },
         "Failed locking device. Status 0x12345 - Unrecognized error code\n",
         {wdsim::kVersionQuery, wdsim::kCardRegister}},
        {"registration unanswered", [&] { service.setUnanswered(wdsim::kCardRegister, true); },
         "Failed locking device. Status 0xffffffff - Invalid WinDriver handle\n",
         {wdsim::kVersionQuery, wdsim::kCardRegister}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        service.reset();
        c.arrange();
        *cdata() = CamacStatus{1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
        EXPECT_EQ(ccinit(), 1);
        EXPECT_STREQ(camac::error_text(), c.text);
        EXPECT_EQ(codes(service.requests()), c.requests);
        expectNothingHeld();
        const CamacStatus zero{};
        EXPECT_EQ(std::memcmp(cdata(), &zero, sizeof zero), 0);
    }

    // The text is emptied when the next open starts.
    service.reset();
    AdapterConnection* c = reinterpret_cast<AdapterConnection*>(1);
    ASSERT_EQ(card_open(&c), 1);
    EXPECT_STREQ(camac::error_text(), "");
    card_close(c);
}

TEST_F(AccessTest, PortsHeldByAnotherRegistrationAreRefused) {
    // Someone else holds the adapter's ports.
    const wdsim::Handle other = wdsim::open(wdsim::kDevicePath);
    CardRecord theirs{};
    theirs.itemCount = 1;
    theirs.items[0] = {3, 1, 0, 0, 0x150, 10, 0, 0, 0, 0};
    uint32_t status = 1;
    wdsim::deviceControl(other, wdsim::kCardRegister, &theirs, sizeof theirs, &status, 4);
    ASSERT_EQ(status, 0u);

    AdapterConnection* c = reinterpret_cast<AdapterConnection*>(1);
    EXPECT_EQ(card_open(&c), 0);
    EXPECT_EQ(c, nullptr);
    EXPECT_STREQ(camac::error_text(), "Failed locking device. Status 0x2000000e - Resource overlap\n");
    EXPECT_EQ(service.openHandles(), 1);  // theirs only
    EXPECT_EQ(service.registeredCards(), 1);
    EXPECT_EQ(service.requestCount(wdsim::kCardUnregister), 0u);
    wdsim::close(other);
}

TEST_F(AccessTest, VersionsFrom621OnAreAccepted) {
    for (uint32_t v : {621u, 622u, 700u, 1234u}) {
        SCOPED_TRACE(v);
        service.reset();
        service.setVersion(v);
        EXPECT_EQ(ccinit(), 0);
        EXPECT_STREQ(camac::error_text(), "");
        EXPECT_EQ(service.registeredCards(), 1);
        camac::disconnect();
        EXPECT_EQ(service.registeredCards(), 0);
        EXPECT_EQ(service.openHandles(), 0);
    }
}

TEST_F(AccessTest, OpenSendsAZeroedVersionRecordAndTheRegistration) {
    ASSERT_EQ(ccinit(), 0);
    const auto requests = service.requests();
    ASSERT_EQ(codes(requests), (std::vector<uint32_t>{wdsim::kVersionQuery, wdsim::kCardRegister}));
    EXPECT_EQ(requests[0].record, Bytes(132, 0));

    Bytes want(948, 0);
    put(want, 0, 2);         // two items
    put(want, 4, 3);         // item 0: I/O range
    put(want, 4 + 4, 1);
    put(want, 4 + 16, 0x150);
    put(want, 4 + 20, 10);
    put(want, 44, 1);        // item 1: interrupt line 3, options 0
    put(want, 44 + 16, 3);
    EXPECT_EQ(requests[1].record, want);
    EXPECT_EQ(requests[1].status, 0u);

    // The interrupt record takes the handle and options the service left in item 1.
    const AdapterConnection* c = conn();
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c->card.cardHandle, 0u);
    EXPECT_NE(c->card.items[1].handle, 0u);
    InterruptRecord interrupt{};
    interrupt.words[0] = c->card.items[1].handle;
    EXPECT_EQ(std::memcmp(&c->interrupt, &interrupt, sizeof interrupt), 0);
    EXPECT_EQ(c->lamThread, nullptr);
    EXPECT_EQ(c->intHandler, nullptr);
}

TEST_F(AccessTest, EveryRegisterAccessIsOneTransferRecord) {
    ASSERT_NO_FATAL_FAILURE(open());
    service.setLogTransfers(true);
    card_write16(conn(), 0, kWdlo, 0xBEEF);
    EXPECT_EQ(card_read16(conn(), 0, kRsel), 0xFFFF);
    int data = 0;
    char q = 0;
    ASSERT_EQ(cssa(16, ext(0, 5, 0, 24), &data, &q), 0);
    ASSERT_EQ(cssa(0, ext(1, 5, 0, 24), &data, &q), 0);

    const auto log = seen();
    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), log.size());
    EXPECT_EQ(log[0], W(4, 0xBEEF));
    for (size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE(i);
        const Bytes& r = requests[i].record;
        ASSERT_EQ(requests[i].code, wdsim::kTransfer);
        ASSERT_EQ(r.size(), 32u);
        EXPECT_EQ(word(r, 0), 0x150u + log[i].offset);
        EXPECT_EQ(word(r, 4), log[i].dir == Direction::Read ? 21u : 24u);
        EXPECT_EQ(word(r, 8), 2u);
        EXPECT_EQ(word(r, 12), 1u);
        EXPECT_EQ(word(r, 16), 0u);
        EXPECT_EQ(word(r, 20), 0u);
        // Words 6-7: the whole address of the caller's variable (stacks lie
        // above 4 GiB on 64-bit Linux, so word 7 shows a truncation).
        uint64_t address;
        std::memcpy(&address, r.data() + 24, 8);
        EXPECT_EQ(address % alignof(uint16_t), 0u);
        if constexpr (sizeof(void*) == 8) EXPECT_NE(word(r, 28), 0u);
        else EXPECT_NE(address, 0u);
        EXPECT_EQ(requests[i].status, 0u);
    }
}

TEST_F(AccessTest, WdCallAnswersAllOnesWhenNobodyAnswers) {
    VersionRecord record{};
    std::memset(&record, 0xA5, sizeof record);
    const VersionRecord untouched = record;

    EXPECT_EQ(wd_call(kIoctlVersion, platform::kInvalidHandle, &record, sizeof record, false), 0xFFFFFFFFu);
    const platform::Handle closed = platform::openService();
    platform::closeService(closed);
    EXPECT_EQ(wd_call(kIoctlVersion, closed, &record, sizeof record, false), 0xFFFFFFFFu);
    EXPECT_EQ(service.requestCount(wdsim::kVersionQuery), 0u);  // nothing was sent

    const platform::Handle h = platform::openService();
    service.setUnanswered(wdsim::kVersionQuery, true);
    EXPECT_EQ(wd_call(kIoctlVersion, h, &record, sizeof record, false), 0xFFFFFFFFu);
    EXPECT_EQ(service.requestCount(wdsim::kVersionQuery), 1u);
    EXPECT_EQ(std::memcmp(&record, &untouched, sizeof record), 0);

    service.setUnanswered(wdsim::kVersionQuery, false);
    EXPECT_EQ(wd_call(kIoctlVersion, h, &record, sizeof record, false), 0u);
    EXPECT_EQ(record.words[0], 621u);
    EXPECT_EQ(wd_call(kIoctlVersion, h, &record, 0, false), 0x2000001Bu);  // the service's own status
    platform::closeService(h);

    // With a handle of its own the request opens and closes one.
    record.words[0] = 0;
    EXPECT_EQ(wd_call(kIoctlVersion, platform::kInvalidHandle, &record, sizeof record, true), 0u);
    EXPECT_EQ(record.words[0], 621u);
    EXPECT_EQ(service.openHandles(), 0);
    service.setPresent(false);
    EXPECT_EQ(wd_call(kIoctlVersion, platform::kInvalidHandle, &record, sizeof record, true), 0xFFFFFFFFu);
    EXPECT_EQ(service.requestCount(wdsim::kVersionQuery), 4u);
}

TEST_F(AccessTest, CloseReleasesInterruptCardAndHandleInOrder) {
    AdapterConnection* c = nullptr;
    ASSERT_EQ(card_open(&c), 1);
    const uint32_t card = c->card.cardHandle;
    ASSERT_EQ(int_enable(&c->lamThread, c->handle, &c->interrupt, +[](void*) {}, nullptr), 0u);
    ASSERT_TRUE(service.interruptEnabled());
    service.clearRequests();

    card_close(c);
    std::vector<wdsim::Request> sent;
    for (const auto& r : service.requests())
        if (r.code != wdsim::kIntWait) sent.push_back(r);
    ASSERT_EQ(codes(sent), (std::vector<uint32_t>{wdsim::kIntDisable, wdsim::kCardUnregister}));
    EXPECT_EQ(sent[0].status, 0u);
    EXPECT_EQ(word(sent[1].record, 808), card);
    EXPECT_EQ(sent[1].status, 0u);  // sent while the handle was still open
    EXPECT_FALSE(service.interruptEnabled());
    EXPECT_EQ(service.waitsInProgress(), 0);
    EXPECT_EQ(service.registeredCards(), 0);
    EXPECT_EQ(service.openHandles(), 0);

    // Without a LAM link only the card is released.
    ASSERT_EQ(card_open(&c), 1);
    service.clearRequests();
    card_close(c);
    EXPECT_EQ(codes(service.requests()), std::vector<uint32_t>{wdsim::kCardUnregister});
    EXPECT_EQ(service.openHandles(), 0);
    card_close(nullptr);
}

}  // namespace
}  // namespace camac::test
