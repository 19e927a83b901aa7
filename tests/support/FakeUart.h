#pragma once

// A UART with modem lines behind a pseudo-terminal, for what a pty cannot
// show: a device's ioctl calls go to this object (the data still flows
// through the pty). It keeps DTR/RTS and the input lines, their interrupt
// counters, the exclusive flag, RS-485 and the line speed, and drops DTR and
// RTS at speed 0 as a UART driver does. It points the port lock files at a
// private directory, removed with it.
//
// It reaches the devices given Options(), or, made with Reach::Process,
// also every device made without options of its own that opens while it
// lives (tests that make the device through the port component). A device
// keeps the calls it opened with until it closes: the UART outlives it.

#include "platform/DeviceCalls.h"
#include "platform/SerialDevice.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

struct serial_rs485;
struct termios2;

namespace testutil {

class FakeUart : public platform::DeviceCalls {
public:
    enum class Reach { Process, Given };
    explicit FakeUart(bool hasRs485 = false, Reach reach = Reach::Process);
    ~FakeUart() override;
    FakeUart(const FakeUart&) = delete;
    FakeUart& operator=(const FakeUart&) = delete;

    int Ioctl(int fd, unsigned long request, void* arg) override;

    bool Dtr() const;
    bool Rts() const;
    void SetCts(bool on);
    void SetDsr(bool on);
    // An RTS-CTS loopback plug: CTS follows RTS.
    void LoopRtsToCts(bool on);
    void CountFrameError();
    // Another program has set TIOCEXCL (root opens it all the same).
    void SetExclusive(bool on);
    bool Exclusive() const;
    bool Rs485Enabled() const;
    std::uint32_t Speed() const; // last speed written, 0 for B0
    // Calls of one kind so far; TIOCMGET and TIOCGICOUNT together are the
    // looks at the lines.
    int Calls(unsigned long request) const;
    int LineLooks() const;
    const std::string& LockDir() const { return lockDir_; }
    // For a device of its own: these calls, the private lock directory.
    platform::DeviceOptions Options() { return {this, lockDir_}; }

private:
    void SetInput(int bit, bool on, std::uint32_t& counter);
    // The parts of Ioctl, under mutex_: the modem lines and their counters,
    // RS-485, the line settings written and read.
    int LinesIoctl(unsigned long request, void* arg);
    int Rs485Ioctl(unsigned long request, serial_rs485* r);
    int SetLine(int fd, termios2* t);
    int GetLine(int fd, termios2* t);

    mutable std::mutex mutex_;
    bool hasRs485_;
    int lines_; // TIOCM_* bits
    bool loop_ = false;
    bool exclusive_ = false;
    bool rs485On_ = false;
    std::uint32_t speed_ = 9600;
    std::uint32_t cts_ = 0, dsr_ = 0, frame_ = 0;
    bool haveLine_ = false;
    unsigned cflag_ = 0;
    unsigned ispeed_ = 0, ospeed_ = 0;
    std::map<unsigned long, int> calls_;
    std::string lockDir_;
    bool processWide_;
    platform::DeviceOptions previous_; // the process's, put back at the end
};

} // namespace testutil
