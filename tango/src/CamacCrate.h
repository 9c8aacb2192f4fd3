// CamacCrate: one CAMAC crate of the KT40 adapter as a TANGO device.
//
// The device translates between TANGO and the bus (CrateBus.h): commands and
// attributes call the bus, its errors become TANGO exceptions, and LAMs of the
// crate are pushed as change and data-ready events on LamPattern.
#pragma once

#include <tango.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "CrateBus.h"

namespace camacds {

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
    void readQ(Tango::Attribute& attr);
    void readX(Tango::Attribute& attr);
    void readStatusRecord(Tango::Attribute& attr);

    bool ready() { return get_state() == Tango::ON; }

private:
    // Runs `fn` on the bus, turning the bus's errors into TANGO exceptions.
    template <typename Fn>
    auto onBus(const char* origin, Fn&& fn) -> decltype(fn());

    void pushLoop();  // the event thread's body

    int crate_ = 0;
    std::string status_;  // the Status text while FAULT
    int listener_ = 0;

    // Attribute buffers (TANGO reads them after the read method returns).
    Tango::DevBoolean inhibit_ = false;
    Tango::DevULong lamPattern_ = 0;
    Tango::DevBoolean q_ = false;
    Tango::DevBoolean x_ = false;
    Tango::DevLong statusRecord_[10]{};
    Tango::DevULong pushedPattern_ = 0;

    // LAMs from the bus's thread to the event thread. `generation_` changes
    // whenever the device is (re)initialised or deleted, so that a LAM queued
    // for an earlier life of the device is dropped.
    std::mutex queueMutex_;
    std::condition_variable queueCv_;
    std::deque<std::pair<uint64_t, LamEvent>> queue_;
    uint64_t generation_ = 0;
    bool stop_ = false;
    std::thread pusher_;
};

}  // namespace camacds
