// CamacCrate: one CAMAC crate of the KT40 adapter as a TANGO device.
//
// The device translates between TANGO and the bus (CrateBus.h): commands and
// attributes call the bus, its errors become TANGO exceptions, and LAMs of the
// crate are pushed as events on LamPattern and LamCount.
//
// State follows the crate: a thread of the device tests it every PollPeriod
// (ON, ALARM, OFF, FAULT; see judge() in CrateBus.h) and pushes State and
// Status as change events when they change. While FAULT it tries again (the
// database, the adapter, the crate) after PollPeriod, twice as long each
// time, up to RetryLimit.
#pragma once

#include <tango.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "CrateBus.h"

namespace camacds {

// A device property: its name, its default ("" for none: it must be set)
// and what it means.
struct PropertyInfo {
    const char* name;
    const char* fallback;
    const char* description;
};
inline constexpr int kPropertyCount = 5;
extern const PropertyInfo kProperties[kPropertyCount];

class CamacCrate : public Tango::Device_5Impl {
public:
    CamacCrate(Tango::DeviceClass* cls, const std::string& name);
    ~CamacCrate() override;

    void init_device() override;
    void delete_device() override;
    Tango::ConstDevString dev_status() override;

    // Commands.
    Tango::DevVarLongArray* cnaf(const Tango::DevVarLongArray* in);
    Tango::DevVarLongArray* block(const Tango::DevVarLongStringArray* in);
    Tango::DevVarLongArray* execList(const Tango::DevVarLongArray* in);
    void z();
    void c();

    // Attributes.
    void readInhibit(Tango::Attribute& attr);
    void writeInhibit(Tango::WAttribute& attr);
    void readLamPattern(Tango::Attribute& attr);
    void readLamCount(Tango::Attribute& attr);
    void readLastQ(Tango::Attribute& attr);
    void readLastX(Tango::Attribute& attr);
    void readLastStatusRecord(Tango::Attribute& attr);
    // The named channels of the property Channels (dynamic attributes).
    void readChannel(Tango::Attribute& attr);
    void writeChannel(Tango::WAttribute& attr);

    // Commands and attributes reach the crate in ON, ALARM and OFF (an
    // off-line crate answers X = 0); in INIT and FAULT nothing is sent.
    bool ready() {
        const Tango::DevState s = get_state();
        return s == Tango::ON || s == Tango::ALARM || s == Tango::OFF;
    }

private:
    // Runs `fn` on the bus, turning the bus's errors into TANGO exceptions.
    template <typename Fn>
    auto onBus(const char* origin, Fn&& fn) -> decltype(fn());

    // Why the last set-up failed, and so what the thread does about it.
    enum class Retry { None, SetUp, Health, Channels };

    void setUp();                          // properties, adapter, LAM listener
    void refresh();                        // tests the crate; State and Status from it
    void show(Tango::DevState state, const std::string& status);  // sets and pushes
    void workLoop();                       // the device thread's body
    void pushLam(const LamEvent& ev);
    void wake();                           // test the crate now
    void stopWorker();
    void addChannels();
    void removeChannels();
    struct Served {
        Channel channel;
        Tango::DevLong value = 0;  // the read buffer
    };
    Served& channel(const std::string& name);

    int crate_ = -1;
    int lamAck_ = 10;
    std::chrono::milliseconds pollPeriod_{1000};
    std::chrono::milliseconds retryLimit_{30000};
    std::string status_;  // the Status text
    Retry retry_ = Retry::None;
    std::atomic<bool> constructed_{false};  // set once the constructor is done
    int listener_ = 0;
    std::vector<Channel> wanted_;   // from the property
    std::vector<Served> channels_;  // added as attributes

    // Attribute buffers (TANGO reads them after the read method returns).
    Tango::DevBoolean inhibit_ = false;
    Tango::DevULong lamPattern_ = 0;
    Tango::DevULong64 lamCount_ = 0;
    Tango::DevBoolean q_ = false;
    Tango::DevBoolean x_ = false;
    Tango::DevLong statusRecord_[10]{};
    Tango::DevULong pushedPattern_ = 0;
    Tango::DevULong64 pushedCount_ = 0;
    Tango::DevState pushedState_ = Tango::UNKNOWN;
    Tango::DevString pushedStatus_ = nullptr;

    // LAMs from the bus's thread to the device thread. `generation_` changes
    // whenever the device is (re)initialised or deleted, so that a LAM queued
    // for an earlier life of the device is dropped.
    std::mutex queueMutex_;
    std::condition_variable queueCv_;
    std::deque<std::pair<uint64_t, LamEvent>> queue_;
    uint64_t generation_ = 0;
    bool checkNow_ = false;
    bool stop_ = false;
    std::thread worker_;
};

}  // namespace camacds
