#pragma once

// A serial device on termios with what the serial library's I/O threads ask
// of a port: exclusive open, the device-control record, an event wait that
// a mask change or a close ends at once, reads that never wait, writes that
// a flush can abandon, modem lines, error bits and queue counts.
//
// Every call is safe from any thread, also while another thread is inside
// WaitEvent or Write, and also against Close. Failures return false (or
// WriteOutcome::Failed) and leave a Windows error number in GetLastError().

#include "platform/CommBits.h"
#include "platform/DeviceControl.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

class DeviceCalls;
class Event;

struct CommStatus {
    // Bytes a read can have now: the receive queue's, and the driver's
    // while no wait is filling the queue from it.
    std::uint32_t inQueue = 0;
    std::uint32_t outQueue = 0; // bytes the driver has yet to send
};

// What a device reaches the world through, given when it is made.
struct DeviceOptions {
    // The driver's ioctl calls (platform/DeviceCalls.h); nullptr: the system's.
    DeviceCalls* calls = nullptr;
    // Where the port lock files go; empty: /var/lock or /run/lock.
    std::string lockDirectory;
};

class SerialDevice {
public:
    // Without options a device takes the process's as it opens: the
    // system's calls and lock directories.
    SerialDevice();
    explicit SerialDevice(DeviceOptions options);
    ~SerialDevice();
    SerialDevice(const SerialDevice&) = delete;
    SerialDevice& operator=(const SerialDevice&) = delete;

    // name is "\\.\COMn" (through the COM port map) or an absolute path.
    // Errors: 2 missing, 5 held by another program or process (its flock,
    // TIOCEXCL or UUCP lock file), 65 not permitted, 4 out of descriptors,
    // 8 no memory; LastErrorDetail() names the device and, where known, the
    // holder or the permissions. The line is raw, without XON/XOFF, before
    // it returns; a UUCP lock file is held while it is open (not for a
    // pseudo-terminal).
    bool Open(std::string_view name);
    // Opens and closes name at once and nothing more, to see whether it is
    // there: the errors of Open, without the held checks.
    static bool Probe(std::string_view name);
    // Ends a pending WaitEvent and Write at once, puts back the line settings
    // the device had (unless it has gone), then closes.
    bool Close();
    bool IsOpen() const;
    // The device path, or empty.
    std::string Path() const;

    // inSize is the receive side's size that the flow limits count against
    // (InSize); the receive queue that the event wait keeps filled from the
    // driver takes the larger of it and queueBytes (0 for both: no queue,
    // reads go to the driver). Bytes already queued are kept. outSize is
    // remembered only.
    // With RTS or DTR handshake or receive XON/XOFF in the record, the far
    // end is held back (the line dropped, XOFF sent) once the queue holds
    // more than inSize - xoffLim and let go when it holds xonLim or less.
    bool SetupQueues(std::uint32_t inSize, std::uint32_t outSize, std::uint32_t queueBytes = 0);
    void QueueSizes(std::uint32_t& inSize, std::uint32_t& outSize) const;

    bool GetState(DeviceControl& dcb);
    // All or nothing; 87 for a value the device cannot take: RTS toggle
    // (RS-485 direction control) where the driver has no RS-485 mode, and
    // output flow on DSR, which Linux does not have.
    bool SetState(const DeviceControl& dcb);
    bool Rs485Supported();

    // A new mask ends a pending WaitEvent, which then reports 0.
    bool SetMask(std::uint32_t mask);
    std::uint32_t GetMask() const;
    // Blocks until received data comes, the mask is changed, or the device
    // closes (995) or goes away (1167; every later wait fails at once too);
    // line changes and line errors seen meanwhile are reported with the
    // data. Only one thread may wait at a time (87 for a second). While it
    // waits it moves what the driver receives into the receive queue, as far
    // as there is room, so that the driver keeps taking bytes while the
    // reader is busy. It never wakes on its own: the kernel has no
    // descriptor for line changes, so an idle line is looked at by
    // CheckLines only.
    bool WaitEvent(std::uint32_t& events);
    // The masked line changes and line errors (CTS, DSR, DCD, ring, break,
    // error) since the last look, by this or by a wait; never blocks, and
    // makes no call on a device without lines.
    bool CheckLines(std::uint32_t& events);
    // How many bytes the reader needs before it acts (1: each arrival).
    // When bytes come one by one at the line's rate, as from a UART or a
    // paced sender, a wait that has fewer sleeps for the time the rest take
    // at the set baud rate and then reads them together, instead of ending
    // for each; it ends with what it has once the line goes quiet.
    void SetReceiveBatch(std::uint32_t bytes);

    // What the receive queue and then the driver hold, up to count, in
    // arrival order; never waits. While a WaitEvent fills the queue, only
    // the queue's bytes (that wait reads the driver). Bytes queued before
    // the device went away can still be read.
    bool Read(void* data, std::size_t count, std::size_t& got);
    // When bytes were last taken from the driver (by a wait's fill or a
    // read): the nearest this side comes to when they arrived. The epoch
    // before the first.
    std::chrono::steady_clock::time_point LastArrival() const;

    enum class WriteOutcome { Done, Abandoned, Failed };
    // Writes all of data, waiting while the driver is full. Abandoned (995)
    // when abandon is set (it is consumed), on PurgeTxAbort or on Close;
    // written tells how much went to the driver.
    WriteOutcome Write(const void* data, std::size_t count, std::size_t& written,
                       Event* abandon = nullptr);
    // What the driver takes now, never waiting; false (written 0) when it
    // cannot write at all, so that the caller hands all of it to Write.
    bool WriteNow(const void* data, std::size_t count, std::size_t& written);

    // The error bits since the last call (overflow, overrun, parity, framing,
    // break) and the queue counts. Devices without error counters report none.
    // countOutput false leaves outQueue 0, for callers that keep their own
    // count of what is still to send.
    bool ClearErrors(std::uint32_t& errors, CommStatus* status = nullptr, bool countOutput = true);
    // CTS, DSR, RI and DCD; 0 on devices without modem lines.
    bool GetModemStatus(std::uint32_t& status);
    // DTR, RTS, break and XON/XOFF escapes; no-ops on devices without lines.
    bool Escape(std::uint32_t function);
    bool Purge(std::uint32_t flags);

    // False for a pseudo-terminal: no modem lines, no line errors.
    bool HasModemLines() const;

private:
    // The descriptors, the receive queue and the line state, with their
    // locks (SerialDeviceImpl.h).
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace platform
