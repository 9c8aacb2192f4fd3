// The KT40 controller's packed register port: the access-word and
// completion-word sequences of one addressed command, one crate command, the
// LAM readout and a block of actions, with their result codes.
//
// Kernel-clean: no exceptions, no allocation, nothing of a library but
// <stdint.h>. kt40drv runs it in its control handlers over the mapped port;
// libcamac's Linux PCI path runs it over the card's sysfs resource file. The
// port is reached through two callbacks only, so that the same code runs
// against the virtual adapter in tests.
#pragma once

#include <stdint.h>

#include "kt40drv/Kt40drvIoctl.h"

namespace kt40packed {

// One 32-bit read or write of the controller's register port.
struct Port {
    void* Context;
    uint32_t (*Read)(void* Context);
    void (*Write)(void* Context, uint32_t Word);
};

// Which request decoded an address word: the completion wait checks X for
// addressed commands only.
enum Mode : uint32_t { kAddressed = 0, kCrate = 1, kLam = 2 };

// A command address decoded from an address word; cannot fail.
struct Address {
    uint32_t F;
    uint32_t Naf;
    bool Wide;  // 24-bit transfer
    uint32_t Crate;
    uint32_t Mode;
};
Address Decode(uint32_t Word, uint32_t Mode);

// What a request gives back: output words 0-2, which of them it wrote (bit k
// for word k) and the request's Information.
struct Reply {
    uint32_t Out[3];
    uint32_t Written;
    uint32_t Information;
};

// Polls until the cycle ends: the error bit (result 2) wins over busy and
// done, so a card that reads all ones (KT40DRV_COMPLETION_GONE) ends the
// wait at its first word with result 2; while busy or cycle bits show it
// keeps polling; done ends it with
// result 1 for another crate, 4 for an addressed command without X, else 0.
// After KT40DRV_POLL_LIMIT reads without an end the result is 3. Returns the
// last word read.
uint32_t WaitCompletion(const Port& P, const Address& A, uint32_t& Result);

// Polls until busy (bit 18) clears, at most KT40DRV_POLL_LIMIT reads; false
// when it did not, also at once at the first all-ones word (the card is
// gone: its busy bit would never clear).
bool WaitBusyClear(const Port& P);

// Loads the write data (bits 0-15, then for a 24-bit transfer bits 16-23),
// each followed by a busy wait, then reads the port once more. False when a
// busy wait failed: result 2 when it ended at an all-ones word, else 5.
bool WriteDataWord(const Port& P, const Address& A, uint32_t& Result, uint32_t Data);

// Reads the LAM pattern through the readout selector: stations 1-16, then
// 17-24. Returns the last completion word (whose bits 0-15 are the crate's
// status word when both steps end well); Data is complete only when Result
// is 0.
uint32_t ReadSelected(const Port& P, const Address& A, uint32_t& Result, uint32_t& Data);

// The three command requests, as KT40DRV_IOCTL_ADDRESSCOMMAND,
// KT40DRV_IOCTL_CRATECOMMAND and KT40DRV_IOCTL_READLAM carry them out.
// `Data` is used by writes only; `Code` goes on unchecked.
void AddressCommand(const Port& P, uint32_t AddressWord, uint32_t Data, Reply& R);
void CrateCommand(const Port& P, uint32_t AddressWord, uint32_t Code, Reply& R);
void ReadLam(const Port& P, uint32_t AddressWord, Reply& R);

// KT40DRV_IOCTL_BLOCK. BlockCheck tells whether a request of these lengths
// (in bytes) and header is well formed; only then may Block run it, which
// writes the output header and one pair per action it started, and returns
// the number of output bytes. Out may be In (a buffered request's one system
// buffer): the header is read first and written last, and each action's
// pair is read in full before its result pair is written over it.
bool BlockCheck(const uint32_t* In, uint32_t InBytes, uint32_t OutBytes);
uint32_t Block(const Port& P, const uint32_t* In, uint32_t* Out);

}  // namespace kt40packed
