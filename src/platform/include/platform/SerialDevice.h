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
#include "platform/Mutex.h"
#include "platform/PortLock.h"
#include "platform/Ring.h"
#include "platform/SerialLine.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

class Event;

namespace detail {
struct Opening;
}

struct CommStatus {
    // Bytes a read can have now: the receive queue's, and the driver's
    // while no wait is filling the queue from it.
    std::uint32_t inQueue = 0;
    std::uint32_t outQueue = 0; // bytes the driver has yet to send
};

class SerialDevice {
public:
    SerialDevice();
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

    // What the receive queue and then the driver hold, up to count, in
    // arrival order; never waits. While a WaitEvent fills the queue, only
    // the queue's bytes (that wait reads the driver). Bytes queued before
    // the device went away can still be read.
    bool Read(void* data, std::size_t count, std::size_t& got);

    enum class WriteOutcome { Done, Abandoned, Failed };
    // Writes all of data, waiting while the driver is full. Abandoned (995)
    // when abandon is set (it is consumed), on PurgeTxAbort or on Close;
    // written tells how much went to the driver.
    WriteOutcome Write(const void* data, std::size_t count, std::size_t& written,
                       Event* abandon = nullptr);

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

    // Where the port lock files go; empty: /var/lock or /run/lock. Tests
    // point it at a private directory.
    static void SetLockDirectory(std::string directory);

private:
    struct Snapshot {
        std::uint32_t modem = 0; // MsXxx bits
        std::uint32_t cts = 0, dsr = 0, rng = 0, dcd = 0;
        std::uint32_t frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
    };

    // The open's last step: the device's descriptors and state become this one's.
    void Adopt(detail::Opening& opening) REQUIRES(useMutex_) EXCLUDES(stateMutex_, fillMutex_);

    // Each under useMutex_, shared at least; what else each needs is written on it.
    bool Usable(std::uint32_t& error) const REQUIRES_SHARED(useMutex_);
    void CloseDescriptors() REQUIRES(useMutex_) EXCLUDES(stateMutex_);
    bool FailErrno(int error);
    // false when the device has gone
    bool TakeSnapshot(Snapshot& s) REQUIRES_SHARED(useMutex_);
    // drained: the driver was just read empty, so only the queue holds bytes.
    std::uint32_t CollectEvents(bool& gone, bool drained = false) REQUIRES_SHARED(useMutex_)
        REQUIRES(stateMutex_);
    // ORs the line events since waitBase_ into events and moves the base;
    // false when the device has gone.
    bool LineChanges(std::uint32_t& events) REQUIRES_SHARED(useMutex_) REQUIRES(stateMutex_);
    bool ApplyLines(const DeviceControl& dcb) REQUIRES_SHARED(useMutex_);
    // Holds the far end back or lets it go by the queue's fill and the
    // flow control in kept_.
    void UpdateThrottle() REQUIRES_SHARED(useMutex_) REQUIRES(stateMutex_);
    // Under fillMutex_, not stateMutex_: moves what the driver holds into
    // the receive queue and returns how much. drained: the driver was read
    // empty. readable: epoll has just reported bytes.
    std::size_t FillQueue(bool readable, bool& drained) REQUIRES_SHARED(useMutex_)
        REQUIRES(fillMutex_) EXCLUDES(stateMutex_);
    // FIONREAD; 0 when it fails (and marks a device that has gone).
    std::size_t DriverHolds() REQUIRES_SHARED(useMutex_);
    std::size_t TakeFromQueue(std::uint8_t* data, std::size_t count) REQUIRES(stateMutex_);
    // Read's work under stateMutex_; mayReadDriver: the caller holds
    // fillMutex_, so the driver's bytes may be read after the queue's.
    bool ReadLocked(std::uint8_t* bytes, std::size_t count, std::size_t& got, bool mayReadDriver,
                    bool& madeRoom) REQUIRES_SHARED(useMutex_) EXCLUDES(stateMutex_);
    // The receive queue's positions.
    Ring Queue() REQUIRES(stateMutex_)
    {
        return {queue_.get(), queueCapacity_, queueHead_, queueTail_, queueFull_};
    }

    // Shared by every operation, exclusive for Open and Close: the
    // descriptors stay valid while any call uses them.
    mutable SharedMutex useMutex_;
    int fd_ GUARDED_BY(useMutex_) = -1;
    int epollFd_ GUARDED_BY(useMutex_) = -1;
    int wakeFd_ GUARDED_BY(useMutex_) = -1;  // SetMask and Close wake the event wait
    int abortFd_ GUARDED_BY(useMutex_) = -1; // PurgeTxAbort and Close abandon a write
    std::string path_ GUARDED_BY(useMutex_);
    bool lineless_ GUARDED_BY(useMutex_) = false; // pseudo-terminal
    bool hasModem_ GUARDED_BY(useMutex_) = false;
    bool hasCounters_ GUARDED_BY(useMutex_) = false;
    bool rs485Was_ GUARDED_BY(useMutex_) = false;     // as found at open, put back at close
    bool exclusiveSet_ GUARDED_BY(useMutex_) = false; // TIOCEXCL is ours to clear
    detail::SavedLine savedLine_ GUARDED_BY(useMutex_){};
    std::unique_ptr<PortLock> lock_ GUARDED_BY(useMutex_);
    std::atomic<bool> closing_{false};
    std::atomic<bool> gone_{false};
    std::atomic<bool> waiting_{false};
    std::atomic<std::uint64_t> writeAborts_{0};

    mutable Mutex stateMutex_;
    std::uint32_t mask_ GUARDED_BY(stateMutex_) = 0;
    std::uint64_t maskGeneration_ GUARDED_BY(stateMutex_) = 0;
    std::size_t rxSeen_ GUARDED_BY(stateMutex_) = 0; // driver bytes the last wait has reported
    Snapshot waitBase_ GUARDED_BY(stateMutex_);      // lines and counters at the last wait
    Snapshot errorBase_ GUARDED_BY(stateMutex_);     // counters at the last ClearErrors
    DeviceControl kept_ GUARDED_BY(stateMutex_);
    bool rs485On_ GUARDED_BY(stateMutex_) = false;
    bool throttled_ GUARDED_BY(stateMutex_) = false; // the far end is held back
    std::uint32_t inQueueSize_ GUARDED_BY(stateMutex_) = 0;
    std::uint32_t outQueueSize_ GUARDED_BY(stateMutex_) = 0;
    // The receive queue: a ring of queueCapacity_ bytes.
    std::unique_ptr<std::uint8_t[]> queue_ GUARDED_BY(stateMutex_);
    std::uint32_t queueCapacity_ GUARDED_BY(stateMutex_) = 0;
    std::uint32_t queueHead_ GUARDED_BY(stateMutex_) = 0;
    std::uint32_t queueTail_ GUARDED_BY(stateMutex_) = 0;
    bool queueFull_ GUARDED_BY(stateMutex_) = false;
    // The queue filled up: the driver may hold more, and no new arrival
    // need come to say so. A read that makes room wakes the wait.
    bool queueBlocked_ GUARDED_BY(stateMutex_) = false;
    // The wait moved bytes into the queue that no event has announced yet.
    bool queueNews_ GUARDED_BY(stateMutex_) = false;
    // Held by the wait while it reads the driver into the queue, and by
    // whatever resizes or empties the queue or reads the driver directly;
    // taken before stateMutex_. Readers of the queue alone do not take it,
    // so they never wait for a terminal read.
    Mutex fillMutex_;
    // The driver may hold bytes that epoll will not report again (a fill
    // stopped at a full queue, the queue was resized).
    bool fillPending_ GUARDED_BY(fillMutex_) = true;
};

} // namespace platform
