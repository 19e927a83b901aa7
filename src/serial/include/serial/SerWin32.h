#pragma once

// The dispatcher on a real serial device: the platform operations over
// platform::SerialDevice and the three threads that drive it. The receive
// thread waits for port events, the dispatch thread runs the passes, the
// transmit thread writes the transmit ring to the device.
//
// Threads are owned here and joined by whoever stops them from outside the
// dispatcher's own threads (StopThreads, or the destructor). A close that
// the dispatch thread finishes itself (a close from inside a notification)
// leaves the join to the destructor.
//
// The threads call the virtual operations until they have stopped, so a
// derived class must not lose its part of the object before: its destructor
// calls Destroy(), and so does an owner before it deletes one.

#include "platform/SerialDevice.h"
#include "platform/Sync.h"
#include "platform/ThreadPriority.h"
#include "serial/SerDisp.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class TSerWin32Dispatcher;

// One of the dispatcher's threads. The thread procedure is Execute, which
// runs the dispatcher's loop for the thread; Run wraps it with the release
// and the end signal every thread gives.
class TSerDispatcherThread {
public:
    enum Slot { ComSlot = 0, DispSlot = 1, OutSlot = 2 };

    TSerDispatcherThread(TSerWin32Dispatcher& dispatcher, Slot slot);
    virtual ~TSerDispatcherThread();
    TSerDispatcherThread(const TSerDispatcherThread&) = delete;
    TSerDispatcherThread& operator=(const TSerDispatcherThread&) = delete;

    // Starts the thread; the caller waits for its acknowledgement.
    void Start();
    void Join();
    bool Joinable() const { return thread.joinable(); }
    std::thread::id Id() const { return thread.get_id(); }
    Slot GetSlot() const { return slot; }

protected:
    virtual void Execute() = 0;
    TSerWin32Dispatcher& dispatcher;

private:
    void Run();
    Slot slot;
    std::thread thread;
};

class TComThread : public TSerDispatcherThread {
public:
    explicit TComThread(TSerWin32Dispatcher& d) : TSerDispatcherThread(d, ComSlot) {}

protected:
    void Execute() override;
};

class TDispThread : public TSerDispatcherThread {
public:
    explicit TDispThread(TSerWin32Dispatcher& d) : TSerDispatcherThread(d, DispSlot) {}

protected:
    void Execute() override;
};

class TOutThread : public TSerDispatcherThread {
public:
    explicit TOutThread(TSerWin32Dispatcher& d) : TSerDispatcherThread(d, OutSlot) {}

protected:
    void Execute() override;
};

class TSerWin32Dispatcher : public TSerBaseDispatcher {
public:
    explicit TSerWin32Dispatcher(TSerCustomComPort* owner);
    ~TSerWin32Dispatcher() override;

    // --- The platform operations.
    int EscapeFunction(int code) override;
    int FlushQueue(int queue) override;
    std::uint32_t ReadErrors(TCommStatus& status) override;
    int GetLineState(TLineState& state) override;
    std::uint32_t ReadPort(std::uint8_t* destination, std::uint32_t count) override;
    int SetLineState(const TLineState& state) override;
    int QueueOutput(const std::uint8_t* source, std::uint32_t count) override;
    // Blocks until an event of the mask the receive thread has set.
    bool WaitPortEvent(std::uint32_t& mask, void* overlapped) override;
    bool SetupDriverQueues(std::uint32_t inSize, std::uint32_t outSize) override;
    std::chrono::steady_clock::time_point LastArrival() override { return device.LastArrival(); }
    void StartThreads() override;
    void StopThreads() override;
    std::intptr_t OpenDevice(const char* deviceName, std::uint32_t inSize,
                             std::uint32_t outSize) override;
    int CloseDevice() override;
    int YieldSlice() override;

    // --- The threads' procedures and bookkeeping; only the dispatcher's own
    // threads call these, each for itself.
    // The receive thread: waits for port events and hands them on.
    void ReceiveLoop();
    // The dispatch thread: the event and timer passes.
    void DispatchLoop();
    // The transmit thread: drains the ring whenever output is queued.
    void TransmitLoop();
    // Writes the transmit ring to the device until it is empty or a flush
    // request gives the write up.
    void DrainOutput();
    // As a thread's procedure begins, and as it ends (the release, then the
    // last touch of the dispatcher: the thread may be joined after it).
    void ThreadBegins(int slot);
    void ReleaseThread(TSerDispatcherThread& thread);
    void ThreadFinished(int slot);
    static void ReportThreadException(std::exception_ptr error);

    // Where exceptions that escape a thread's loop go (they end that thread).
    // Without a handler they go to the application's error display, on the
    // application's main thread once an application object exists. Returns
    // the handler it replaces.
    static std::function<void(std::exception_ptr)>
    SetThreadExceptionHandler(std::function<void(std::exception_ptr)> handler);

protected:
    std::uint8_t ReadModemLines() override;
    std::uint32_t LastOsError() const override;
    void SynchronizeCall(const std::function<void()>& call) override;
    void ApplyThreadPriorities(bool rs485, std::uint8_t boost) override;
    void CreateSignals() override;
    void EventPassDone() override;
    void ReceiveNeedChanged(std::uint32_t bytes) override;

    platform::SerialDevice device;

private:
    bool OnOwnThread() const;
    // Waits for a thread's end; a thread outside the dispatcher keeps its
    // windows served meanwhile, so a send to them from the dispatch thread completes.
    void WaitThreadEnd(int slot);
    // Joins and frees every thread that has ended. Not from a dispatcher thread.
    void JoinThreads();
    // The line changes and errors of an idle line, as events for the next pass.
    void LookAtLines();

    // Signals (the events live as long as the dispatcher; an open resets them).
    platform::Event commEventSignal{platform::Event::Kind::AutoReset};
    platform::Event readySignal{platform::Event::Kind::AutoReset};
    platform::Event ackSignal{platform::Event::Kind::AutoReset};
    platform::Event outputSignal{platform::Event::Kind::AutoReset};
    platform::Event writeDoneSignal{platform::Event::Kind::ManualReset};
    platform::Event flushSignal{platform::Event::Kind::AutoReset};
    // Set while a stop is under way: ends a synchronised call not yet begun.
    platform::Event stopSignal{platform::Event::Kind::ManualReset};
    // Set when a thread's procedure has ended and it touches nothing more.
    platform::Event endedSignal[3] = {platform::Event(platform::Event::Kind::ManualReset, true),
                                      platform::Event(platform::Event::Kind::ManualReset, true),
                                      platform::Event(platform::Event::Kind::ManualReset, true)};

    // The threads' references, cleared by ReleaseThread.
    std::atomic<bool> threadRunning[3] = {false, false, false};
    std::atomic<std::thread::id> threadIds[3];
    std::atomic<platform::ThreadId> threadTids[3] = {0, 0, 0};

    // Thread objects; taken only to create or join them, never while waiting.
    std::mutex threadsLock;
    std::unique_ptr<TSerDispatcherThread> threads[3];

    // One output flush at a time: each waits for the answer to its own request.
    std::mutex flushMutex;
    std::atomic<std::uint32_t> eventMask{0};
    // The receive thread waits for the end of a pass (after a failed wait).
    std::atomic<bool> readyWanted{false};
};

// The telephony variant: takes a device that was opened elsewhere.
class TSerTAPI32Dispatcher : public TSerWin32Dispatcher {
public:
    // handle 0 means the telephony layer gave no device; deviceName is the
    // device it stands for.
    TSerTAPI32Dispatcher(TSerCustomComPort* owner, std::intptr_t handle);
    ~TSerTAPI32Dispatcher() override { Destroy(); }

    std::intptr_t OpenDevice(const char* deviceName, std::uint32_t inSize,
                             std::uint32_t outSize) override;

private:
    std::intptr_t givenHandle;
};
