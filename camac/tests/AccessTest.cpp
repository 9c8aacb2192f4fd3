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

// Every row of the status table, in order, as the service documents it.
TEST_F(AccessTest, StatusTableHoldsEveryRowAndTextsComeFromTheFirstMatch) {
    const std::pair<uint32_t, const char*> rows[] = {
        {0x00000000, "Success"},
        {0xFFFFFFFF, "Invalid WinDriver handle"},
        {0x20000000, "Error"},
        {0x20000001, "Invalid handle"},
        {0x20000002, "Invalid pipe number"},
        {0x20000003, "Conflict between read and write operations"},
        {0x20000004, "Packet size is zero"},
        {0x20000005, "Insufficient resources"},
        {0x20000006, "Unknown pipe type"},
        {0x20000007, "Internal system error"},
        {0x20000008, "Data mismatch"},
        {0x2000000A, "Function not implemented"},
        {0x2000000B, "Kernel PlugIn failure"},
        {0x2000000C, "Failed enabling interrupt"},
        {0x2000000D, "Interrupt not enabled"},
        {0x2000000E, "Resource overlap"},
        {0x2000000F, "Device not found"},
        {0x20000010, "Wrong unique ID"},
        {0x20000011, "Operation already done"},
        {0x20000012, "Usb descriptor error"},
        {0x20000013, "Set configuration operation failed"},
        {0x20000014, "Cannot obtain PDO"},
        {0x20000015, "Timeout expired"},
        {0x20000016, "IRP operation cancelled"},
        {0x20000017, "Failed to map in user space"},
        {0x20000018, "Failed to map in kernel space"},
        {0x20000019, "No resources on the device"},
        {0x2000001A, "No events"},
        {0x2000001B, "Invalid parameter"},
        {0x2000001C, "Incorrect WinDriver version installed"},
        {0x2000001D, "Try again"},
        {0x2000001E, "Failed open WinDriver"},
        {0x2000001F, "Received an invalid IOCTL"},
        {0x00000000, "USBD: Success"},
        {0x40000000, "USBD: Operation pending"},
        {0x80000000, "USBD: Error"},
        {0xC0000000, "USBD: Halted"},
        {0xC0000001, "HC status: CRC"},
        {0xC0000002, "HC status: Bit stuffing "},
        {0xC0000003, "HC status: Data toggle mismatch"},
        {0xC0000004, "HC status: PID stall"},
        {0xC0000005, "HC status: Device not responding"},
        {0xC0000006, "HC status: PID check failed"},
        {0xC0000007, "HC status: Unexpected PID"},
        {0xC0000008, "HC status: Data overrun"},
        {0xC0000009, "HC status: Data underrun"},
        {0xC000000A, "HC status: Reserved1"},
        {0xC000000B, "HC status: Reserved2"},
        {0xC000000C, "HC status: Buffer overrun"},
        {0xC000000D, "HC status: Buffer Underrun"},
        {0xC000000F, "HC status: Not accessed"},
        {0xC0000010, "HC status: Fifo"},
        {0xC0010000, "USBD: Transfer canceled"},
        {0xC0000030, "HCD: Trasnfer submitted to stalled endpoint"},
        {0x80000100, "USBD: Out of memory"},
        {0x80000200, "USBD: Invalid URB function"},
        {0x80000300, "USBD: Invalid parameter"},
        {0x80000400, "USBD: Attempted to close enpoint/interface/configuration with outstanding transfer"},
        {0x80000500, "USBD: URB request failed"},
        {0x80000600, "USBD: Invalid pipe handle"},
        {0x80000700, "USBD: Not enough bandwidth for endpoint"},
        {0x80000800, "USBD: Host controller error"},
        {0x80000900, "USBD: Trasnfer terminated with short packet"},
        {0xC0000A00, "USBD: Start frame outside range"},
        {0xC0000B00, "HCD: Isochronous transfer completed with error"},
        {0xC0000C00, "USBD: Frame length control already taken"},
        {0xC0000D00, "USBD: Attemped operation on frame length control not owned by caller"},
    };
    const auto table = status_rows();
    ASSERT_EQ(table.size(), std::size(rows));
    for (size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(table[i].code, rows[i].first) << "row " << i;
        EXPECT_STREQ(table[i].text, rows[i].second) << "row " << i;
        // The first match wins: 0 is "Success", never "USBD: Success".
        if (i != 33) {
            EXPECT_STREQ(status_text(rows[i].first), rows[i].second) << std::hex << rows[i].first;
        }
    }
    EXPECT_STREQ(status_text(0), "Success");
    for (uint32_t unknown : {0x20000009u, 0x20000020u, 0xC000000Eu, 0x12345678u})
        EXPECT_STREQ(status_text(unknown), "Unrecognized error code") << std::hex << unknown;
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
