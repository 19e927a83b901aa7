#pragma once

// The state of a SerialDevice and the work on it, split by concern:
// SerialDeviceOpen.cpp (open, claim, close), SerialDeviceQueue.cpp (the
// receive queue and the throttle), SerialDeviceWait.cpp (the event wait and
// the line changes), SerialDeviceIo.cpp (reads, writes, line settings,
// errors). SerialDevice.cpp hands each public call to it.

#include "platform/CommBits.h"
#include "platform/DeviceCalls.h"
#include "platform/DeviceControl.h"
#include "platform/LastError.h"
#include "platform/Mutex.h"
#include "platform/PortLock.h"
#include "platform/Ring.h"
#include "platform/SerialDevice.h"
#include "platform/SerialLine.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace platform {

namespace detail {

struct Opening;

inline bool Fail(std::uint32_t error)
{
    SetLastError(error);
    return false;
}

inline bool IsGoneErrno(int error)
{
    return error == EIO || error == ENODEV || error == ENXIO;
}

} // namespace detail

struct SerialDevice::Impl {
    // nullopt: the process's options, as each open finds them.
    explicit Impl(std::optional<DeviceOptions> options) : options_(std::move(options)) {}

    // The public calls, as SerialDevice describes them.
    bool Open(std::string_view name) EXCLUDES(useMutex_);
    bool Close() EXCLUDES(useMutex_);
    bool IsOpen() const EXCLUDES(useMutex_);
    std::string Path() const EXCLUDES(useMutex_);
    bool HasModemLines() const EXCLUDES(useMutex_);
    bool SetupQueues(std::uint32_t inSize, std::uint32_t outSize, std::uint32_t queueBytes)
        EXCLUDES(useMutex_);
    void QueueSizes(std::uint32_t& inSize, std::uint32_t& outSize) const EXCLUDES(stateMutex_);
    bool GetState(DeviceControl& dcb) EXCLUDES(useMutex_);
    bool SetState(const DeviceControl& dcb) EXCLUDES(useMutex_);
    bool Rs485Supported() EXCLUDES(useMutex_);
    bool SetMask(std::uint32_t mask) EXCLUDES(useMutex_);
    std::uint32_t GetMask() const EXCLUDES(stateMutex_);
    bool WaitEvent(std::uint32_t& events) EXCLUDES(useMutex_);
    bool CheckLines(std::uint32_t& events) EXCLUDES(useMutex_);
    bool Read(void* data, std::size_t count, std::size_t& got) EXCLUDES(useMutex_);
    WriteOutcome Write(const void* data, std::size_t count, std::size_t& written, Event* abandon)
        EXCLUDES(useMutex_);
    bool WriteNow(const void* data, std::size_t count, std::size_t& written) EXCLUDES(useMutex_);
    // One write of what is left after written, resumed after a signal;
    // false with errno set (EAGAIN: the driver is full) when it took nothing.
    bool WriteStep(const unsigned char* bytes, std::size_t count, std::size_t& written)
        REQUIRES_SHARED(useMutex_);
    bool ClearErrors(std::uint32_t& errors, CommStatus* status, bool countOutput)
        EXCLUDES(useMutex_);
    bool GetModemStatus(std::uint32_t& status) EXCLUDES(useMutex_);
    bool Escape(std::uint32_t function) EXCLUDES(useMutex_);
    bool Purge(std::uint32_t flags) EXCLUDES(useMutex_);

    struct Snapshot {
        std::uint32_t modem = 0; // MsXxx bits
        std::uint32_t cts = 0, dsr = 0, rng = 0, dcd = 0;
        std::uint32_t frame = 0, overrun = 0, parity = 0, brk = 0, bufOverrun = 0;
    };

    // The open's last step: the device's descriptors and state become this one's.
    void Adopt(detail::Opening& opening) REQUIRES(useMutex_) EXCLUDES(stateMutex_, fillMutex_);

    // Each under useMutex_, shared at least; what else each needs is written on it.
    bool Usable(std::uint32_t& error) const REQUIRES_SHARED(useMutex_);
    // Usable, or false with the last error set.
    bool Ready() const REQUIRES_SHARED(useMutex_);
    // The device has gone: marks it so, and fails with 1167.
    bool Gone();
    void CloseDescriptors() REQUIRES(useMutex_) EXCLUDES(stateMutex_);
    bool FailErrno(int error);
    // false when the device has gone
    bool TakeSnapshot(Snapshot& s) REQUIRES_SHARED(useMutex_);
    // What woke the event wait: it may read the driver; epoll said it has bytes.
    struct Wake {
        bool mayRead = false;
        bool readable = false;
    };
    enum class Look { KeepWaiting, Ends, Gone };
    // The wait's mask generation; false while no mask is set.
    bool WaitGeneration(std::uint64_t& generation) EXCLUDES(stateMutex_);
    // One look of the wait: what the driver has moved into the queue, then
    // the events since the last look into events. Ends for events or a new mask.
    // moved: the bytes this look took from the driver.
    Look LookOnce(const Wake& wake, std::uint64_t generation, std::uint32_t& events,
                  std::size_t& moved) REQUIRES_SHARED(useMutex_) EXCLUDES(stateMutex_, fillMutex_);
    // The wait has moved gathered bytes and the reader needs more: when they
    // are on their way at the line's rate, sleeps for the time they take and
    // tells the wait to read them (true); false when it should end now or
    // the rest cannot be timed (no baud rate); a new mask or a close cuts
    // the sleep short.
    bool GatherRest(std::size_t gathered, std::uint64_t generation) REQUIRES_SHARED(useMutex_)
        EXCLUDES(stateMutex_);
    // Sleeps until the device has bytes, the wake descriptor is signalled (a
    // new mask, a close, room made in the queue) or the device hangs up;
    // false with the last error set when the wait cannot go on.
    bool AwaitWake(Wake& wake) REQUIRES_SHARED(useMutex_);
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
    bool HasQueue() const EXCLUDES(stateMutex_);
    // The free run behind the queue's end; false when the queue is full,
    // which leaves the fill pending for the read that makes room.
    bool QueueRoom(std::uint8_t*& end, std::size_t& free) REQUIRES(fillMutex_)
        EXCLUDES(stateMutex_);
    // Reads up to room bytes of the driver's to end, behind the queue's end,
    // and adds them to the queue; false when the read gave none (drained:
    // the driver was empty).
    bool ReadBehindQueue(std::uint8_t* end, std::size_t room, std::size_t& got, bool& drained)
        REQUIRES_SHARED(useMutex_) REQUIRES(fillMutex_) EXCLUDES(stateMutex_);
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
    DeviceCalls* calls_ GUARDED_BY(useMutex_) = nullptr; // nullptr: the system's
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
    std::atomic<std::uint32_t> receiveBatch_{1}; // SetReceiveBatch
    // When bytes were last taken from the driver, steady clock ticks; 0: never.
    std::atomic<std::int64_t> lastArrival_{0};
    void NoteArrival();

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

    // The device's own driver calls.
    int Ioctl(unsigned long request, void* arg = nullptr) REQUIRES_SHARED(useMutex_)
    {
        return Driver().Ioctl(request, arg);
    }
    detail::Driver Driver() REQUIRES_SHARED(useMutex_) { return {fd_, calls_}; }

    // What the open takes its calls and lock directory from.
    const std::optional<DeviceOptions> options_;
};

} // namespace platform
