#include "serial/SerWin32.h"

#include "platform/LastError.h"
#include "platform/MessageWindow.h"
#include "serial/SerExcept.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <algorithm>
#include <utility>

namespace {

constexpr std::uint32_t NtEventMask = 0x1F9;
constexpr std::uint32_t StartAckTimeoutMs = 3000;
constexpr std::uint32_t PassIntervalMs = 50;
constexpr std::intptr_t OpenHandle = 1;
constexpr std::uint32_t ErrorTapiNoDevice = 2007;
constexpr std::uint32_t ReceiveQueueRings = 8;

std::mutex& ExceptionHandlerMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::function<void(std::exception_ptr)>& ExceptionHandler()
{
    static std::function<void(std::exception_ptr)> handler;
    return handler;
}

} // namespace

// ---------------------------------------------------------------------------
// Threads

TSerDispatcherThread::TSerDispatcherThread(TSerWin32Dispatcher& d, Slot s) : dispatcher(d), slot(s)
{
}

TSerDispatcherThread::~TSerDispatcherThread()
{
    Join();
}

void TSerDispatcherThread::Start()
{
    thread = std::thread([this] { Run(); });
}

void TSerDispatcherThread::Join()
{
    if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) {
        thread.join();
    }
}

void TSerDispatcherThread::Run()
{
    dispatcher.ThreadBegins(slot);
    try {
        Execute();
    } catch (...) {
        TSerWin32Dispatcher::ReportThreadException(std::current_exception());
    }
    try {
        dispatcher.ReleaseThread(*this);
    } catch (...) {
        TSerWin32Dispatcher::ReportThreadException(std::current_exception());
    }
    dispatcher.ThreadFinished(slot);
}

void TComThread::Execute()
{
    dispatcher.ReceiveLoop();
}

void TDispThread::Execute()
{
    dispatcher.DispatchLoop();
}

void TOutThread::Execute()
{
    dispatcher.TransmitLoop();
}

// ---------------------------------------------------------------------------
// Thread procedures

void TSerWin32Dispatcher::ThreadBegins(int slot)
{
    // Named so that top -H, perf and debuggers tell the three apart.
    static const char* const names[3] = {"serial-rx", "serial-disp", "serial-tx"};
    platform::SetCurrentThreadName(names[slot]);
    threadIds[slot].store(std::this_thread::get_id());
    threadTids[slot].store(platform::CurrentThreadId());
}

void TSerWin32Dispatcher::ThreadFinished(int slot)
{
    endedSignal[slot].Set();
}

void TSerWin32Dispatcher::ReceiveLoop()
{
    std::uint32_t mask = NtEventMask;
    eventMask.store(mask);
    device.SetMask(mask);
    ackSignal.Set();
    while (!StopRequested()) {
        std::uint32_t events = 0;
        if (WaitPortEvent(events, nullptr)) {
            if (events == 0) {
                continue; // the mask changed: nothing happened on the port
            }
            if (events & (platform::EvRingTrailingEdge | platform::EvRing)) {
                NoteRing();
            }
            NoteEvents(events);
            if (StopRequested()) {
                return;
            }
            // No wait for the pass: the device's wait ends only for new
            // bytes or line changes, and while it waits it keeps the driver
            // drained, also while the pass delivers a notification. A
            // signal given during a pass makes the next pass follow at once.
            commEventSignal.Set();
            continue;
        }
        {
            const std::uint32_t error = platform::GetLastError();
            if (error == platform::ErrorInvalidParameter && (mask & platform::EvRingTrailingEdge) &&
                !StopRequested()) {
                mask = NtEventMask;
                eventMask.store(mask);
                device.SetMask(mask);
            } else if (error == platform::ErrorDeviceNotConnected ||
                       error == platform::ErrorOperationAborted ||
                       error == platform::ErrorInvalidHandle) {
                // The device has gone or is closing: every later wait fails
                // the same way, so waiting again would only spin.
                return;
            }
        }
        // A failed wait goes to the dispatch thread as an empty event and is
        // retried once that pass has ended, so a wait that keeps failing
        // never spins.
        readySignal.Reset();
        if (StopRequested()) {
            return;
        }
        readyWanted.store(true);
        commEventSignal.Set();
        readySignal.Wait();
    }
}

void TSerWin32Dispatcher::DispatchLoop()
{
    ackSignal.Set();
    for (;;) {
        // Bytes the last fill had to leave in the driver are read as soon as
        // the ring has room again, without waiting for a new arrival.
        if (!FillWouldRead() && !commEventSignal.Wait(PassIntervalMs)) {
            // The receive thread sleeps until data comes: the lines of an
            // idle port are looked at here, once a pass.
            LookAtLines();
        }
        if (StopRequested()) {
            return;
        }
        ProcessCommEvents();
        ProcessTimers();
        if (StopRequested() || IsCloseDeferred()) {
            break;
        }
    }
    ackSignal.Set();
}

void TSerWin32Dispatcher::TransmitLoop()
{
    writeDoneSignal.Reset();
    ackSignal.Set();
    while (!StopRequested() && !IsCloseDeferred()) {
        const int which = platform::WaitAny({&outputSignal, &flushSignal});
        if (which == 0) {
            if (StopRequested()) {
                return;
            }
            DrainOutput();
        } else {
            // A stop, or a flush request that the write it was meant for
            // finished before it saw it; the flush looks at the state itself.
            ackSignal.Set();
        }
    }
}

// ---------------------------------------------------------------------------
// Life cycle

TSerWin32Dispatcher::TSerWin32Dispatcher(TSerCustomComPort* owner) : TSerBaseDispatcher(owner) {}

TSerWin32Dispatcher::~TSerWin32Dispatcher()
{
    Destroy();
    // A close the dispatch thread finished itself left its threads to join here.
    JoinThreads();
}

std::function<void(std::exception_ptr)>
TSerWin32Dispatcher::SetThreadExceptionHandler(std::function<void(std::exception_ptr)> handler)
{
    std::lock_guard lock(ExceptionHandlerMutex());
    return std::exchange(ExceptionHandler(), std::move(handler));
}

void TSerWin32Dispatcher::ReportThreadException(std::exception_ptr error)
{
    std::function<void(std::exception_ptr)> handler;
    {
        std::lock_guard lock(ExceptionHandlerMutex());
        handler = ExceptionHandler();
    }
    if (handler) {
        handler(error);
        return;
    }
    // The operator sees why the port went quiet; the display runs on the
    // main thread, so the report waits there for its event loop.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            app, [error] { HandleApplicationException(error); }, Qt::QueuedConnection);
        return;
    }
    HandleApplicationException(error);
}

bool TSerWin32Dispatcher::OnOwnThread() const
{
    const auto self = std::this_thread::get_id();
    for (const auto& id : threadIds) {
        if (id.load() == self) {
            return true;
        }
    }
    return false;
}

void TSerWin32Dispatcher::CreateSignals()
{
    commEventSignal.Reset();
    readySignal.Reset();
    ackSignal.Reset();
    outputSignal.Reset();
    writeDoneSignal.Reset();
    flushSignal.Reset();
}

void TSerWin32Dispatcher::StartThreads()
{
    if (!EnterStarted(3)) {
        throw EGeneral(std::string("Dispatcher already started"));
    }
    // Threads of an earlier open that ended on their own are joined first.
    JoinThreads();
    stopSignal.Reset();
    std::lock_guard threadsGuard(threadsLock);
    auto start = [&](std::unique_ptr<TSerDispatcherThread> thread) {
        const int slot = thread->GetSlot();
        endedSignal[slot].Reset();
        threadRunning[slot].store(true);
        threads[slot] = std::move(thread);
        threads[slot]->Start();
        ackSignal.Wait(StartAckTimeoutMs);
    };
    start(std::make_unique<TComThread>(*this));
    start(std::make_unique<TDispThread>(*this));
    start(std::make_unique<TOutThread>(*this));
}

void TSerWin32Dispatcher::WaitThreadEnd(int slot)
{
    if (OnOwnThread()) {
        // The dispatch thread finishing a close: it has no windows to serve.
        endedSignal[slot].Wait();
        return;
    }
    for (;;) {
        const int which = platform::WaitAnyOrMessage({&endedSignal[slot]});
        if (which == 0) {
            return;
        }
        platform::ProcessOnePendingMessage();
    }
}

void TSerWin32Dispatcher::StopThreads()
{
    // Not under mainLock: the dispatch thread may need it to finish a pass
    // or its own teardown while this waits for it.
    if (!IsStarted()) {
        return;
    }
    RequestStop();
    stopSignal.Set();
    if (threadRunning[TSerDispatcherThread::OutSlot].load()) {
        flushSignal.Set();
        WaitThreadEnd(TSerDispatcherThread::OutSlot);
    }
    if (threadRunning[TSerDispatcherThread::ComSlot].load()) {
        device.SetMask(0);
        readySignal.Set();
        ackSignal.Reset();
        WaitThreadEnd(TSerDispatcherThread::ComSlot);
    }
    const bool self = OnOwnThread();
    if (!self) {
        commEventSignal.Set();
        WaitThreadEnd(TSerDispatcherThread::DispSlot);
        JoinThreads();
    }
}

void TSerWin32Dispatcher::JoinThreads()
{
    if (OnOwnThread()) {
        return;
    }
    for (int slot = 0; slot < 3; ++slot) {
        bool present = false;
        {
            std::lock_guard guard(threadsLock);
            present = threads[slot] != nullptr;
        }
        if (!present) {
            continue;
        }
        WaitThreadEnd(slot);
        std::unique_ptr<TSerDispatcherThread> ended;
        {
            std::lock_guard guard(threadsLock);
            ended = std::move(threads[slot]);
            if (ended) {
                ended->Join();
            }
            threadIds[slot].store(std::thread::id());
        }
    }
}

void TSerWin32Dispatcher::ReleaseThread(TSerDispatcherThread& thread)
{
    const int slot = thread.GetSlot();
    threadRunning[slot].store(false);
    threadTids[slot].store(0);
    ThreadEnded(slot == TSerDispatcherThread::DispSlot);
}

// ---------------------------------------------------------------------------
// Platform operations

int TSerWin32Dispatcher::EscapeFunction(int code)
{
    if (!device.Escape(static_cast<std::uint32_t>(code))) {
        return NegatedOsError();
    }
    return 0;
}

int TSerWin32Dispatcher::FlushQueue(int queue)
{
    if (queue == 1) {
        return device.Purge(platform::PurgeRxAbort | platform::PurgeRxClear) ? 0 : NegatedOsError();
    }
    constexpr int out = TSerDispatcherThread::OutSlot;
    // Runs with the ring emptied: the driver's transmit queue goes too,
    // also a write still pending in it.
    const auto purge = [this] {
        return device.Purge(platform::PurgeTxAbort | platform::PurgeTxClear) ? 0 : NegatedOsError();
    };
    if (!threadRunning[out].load() || threadIds[out].load() == std::this_thread::get_id()) {
        return *DropOutput(purge, true);
    }
    const std::lock_guard one(flushMutex);
    // The transmitter takes its next chunk under the ring's lock and finds
    // the ring empty: nothing to take back from it, and no hand-off to an
    // idle thread on every request sent.
    if (const auto result = DropOutput(purge, false)) {
        return *result;
    }
    flushSignal.Set();
    for (;;) {
        // The transmitter gives its write up (or finishes it) and answers,
        // or has ended. Any other thread's acknowledgement is looked through.
        platform::WaitAny({&ackSignal, &endedSignal[out]});
        if (const auto result = DropOutput(purge, !threadRunning[out].load())) {
            return *result;
        }
    }
}

std::uint32_t TSerWin32Dispatcher::ReadErrors(TCommStatus& status)
{
    std::uint32_t errors = 0;
    platform::CommStatus cs;
    // The transmit count comes from the ring, not the driver.
    if (!device.ClearErrors(errors, &cs, false)) {
        errors = 0;
        cs = {};
    }
    status.status = 0;
    status.inQueue = cs.inQueue;
    status.outQueue = OutputWaiting();
    return errors;
}

int TSerWin32Dispatcher::GetLineState(TLineState& state)
{
    return device.GetState(state) ? 0 : -1;
}

std::uint32_t TSerWin32Dispatcher::ReadPort(std::uint8_t* destination, std::uint32_t count)
{
    std::size_t got = 0;
    if (!device.Read(destination, count, got)) {
        return 0;
    }
    return static_cast<std::uint32_t>(got);
}

int TSerWin32Dispatcher::SetLineState(const TLineState& state)
{
    return device.SetState(state) ? 0 : NegatedOsError();
}

int TSerWin32Dispatcher::QueueOutput(const std::uint8_t* source, std::uint32_t count)
{
    // What the driver takes at once goes from here: a request does not wake
    // the transmitter to write a few bytes into a driver that has room. The
    // caller holds the ring's lock, so the transmitter cannot take a chunk
    // meanwhile. What is left goes to the ring as before.
    const std::uint32_t total = count;
    if (threadRunning[TSerDispatcherThread::OutSlot].load() && OutputIdle()) {
        std::size_t written = 0;
        device.WriteNow(source, count, written);
        source += written;
        count -= static_cast<std::uint32_t>(written);
    }
    if (count > 0) {
        CopyToOutputRing(source, count);
        outputSignal.Set();
    }
    return static_cast<int>(total);
}

bool TSerWin32Dispatcher::WaitPortEvent(std::uint32_t& mask, void*)
{
    return device.WaitEvent(mask);
}

bool TSerWin32Dispatcher::SetupDriverQueues(std::uint32_t inSize, std::uint32_t outSize)
{
    // The receive queue holds several rings' worth, so that the receive
    // thread keeps the driver drained while a notification is handled and
    // the next pass can fill the whole dispatch buffer at once; a larger
    // InSize is kept. Nothing is lost either way: a full queue leaves the
    // bytes to the driver and its flow control. The flow limits count
    // against InSize, not the queue's size.
    return device.SetupQueues(inSize, outSize, ReceiveQueueRings * DispatchBufferSize);
}

std::intptr_t TSerWin32Dispatcher::OpenDevice(const char* deviceName, std::uint32_t, std::uint32_t)
{
    if (!device.Open(deviceName != nullptr ? deviceName : "")) {
        return -1;
    }
    return OpenHandle;
}

int TSerWin32Dispatcher::CloseDevice()
{
    if (IsStarted()) {
        RequestStop();
        stopSignal.Set();
        device.SetMask(0);
        readySignal.Set();
        ackSignal.Reset();
        // The dispatch thread leaves at once instead of after its pass interval.
        commEventSignal.Set();
    }
    if (!device.Close()) {
        return -1;
    }
    MarkPortClosed();
    return 0;
}

int TSerWin32Dispatcher::YieldSlice()
{
    platform::Sleep(0);
    return 0;
}

std::uint8_t TSerWin32Dispatcher::ReadModemLines()
{
    std::uint32_t status = 0;
    if (!device.GetModemStatus(status)) {
        return 0;
    }
    return static_cast<std::uint8_t>(status & 0xF0);
}

std::uint32_t TSerWin32Dispatcher::LastOsError() const
{
    return platform::GetLastError();
}

void TSerWin32Dispatcher::EventPassDone()
{
    if (readyWanted.exchange(false)) {
        readySignal.Set();
    }
}

void TSerWin32Dispatcher::ReceiveNeedChanged(std::uint32_t bytes)
{
    device.SetReceiveBatch(bytes);
}

void TSerWin32Dispatcher::ApplyThreadPriorities(bool rs485, std::uint8_t threadBoost)
{
    const int normal = static_cast<int>(platform::ThreadPriority::Normal);
    const int boost = threadBoost;
    const int steps[3] = {normal + boost, normal + boost, normal + (rs485 ? 1 : 0) + boost};
    for (int slot = 0; slot < 3; ++slot) {
        const platform::ThreadId tid = threadTids[slot].load();
        if (tid != 0) {
            // Raising needs a privilege the program may lack; that is no failure.
            platform::SetThreadPriority(tid, steps[slot]);
        }
    }
}

void TSerWin32Dispatcher::SynchronizeCall(const std::function<void()>& call)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) {
        call();
        return;
    }
    // The call runs on the user-interface thread. A stop that comes before
    // it began withdraws it, so that a closing user-interface thread waiting
    // for this thread is never waited for in turn.
    struct State {
        std::mutex mutex;
        bool withdrawn = false;
        bool begun = false;
        platform::Event done{platform::Event::Kind::ManualReset};
        std::exception_ptr error;
        const std::function<void()>* call = nullptr;
    };
    auto state = std::make_shared<State>();
    state->call = &call;
    QMetaObject::invokeMethod(
        app,
        [state] {
            {
                std::lock_guard lock(state->mutex);
                if (state->withdrawn) {
                    return;
                }
                state->begun = true;
            }
            try {
                (*state->call)();
            } catch (...) {
                state->error = std::current_exception();
            }
            state->done.Set();
        },
        Qt::QueuedConnection);
    if (platform::WaitAny({&state->done, &stopSignal}) != 0) {
        std::unique_lock lock(state->mutex);
        if (!state->begun) {
            state->withdrawn = true;
            return;
        }
        lock.unlock();
        state->done.Wait();
    }
    if (state->error) {
        std::rethrow_exception(state->error);
    }
}

void TSerWin32Dispatcher::LookAtLines()
{
    std::uint32_t events = 0;
    if (device.CheckLines(events) && events != 0) {
        if (events & (platform::EvRingTrailingEdge | platform::EvRing)) {
            NoteRing();
        }
        NoteEvents(events);
    }
}

// ---------------------------------------------------------------------------
// Transmitter

void TSerWin32Dispatcher::DrainOutput()
{
    for (;;) {
        // Waiting bytes that wrap go out as two writes, each straight from
        // the ring.
        const TOutputChunk chunk = TakeOutputChunk();
        if (chunk.count == 0) {
            return;
        }
        std::size_t written = 0;
        const auto outcome = device.Write(chunk.bytes, chunk.count, written, &flushSignal);
        // A write that failed outright is dropped whole: the device took none of it.
        const auto done = outcome == platform::SerialDevice::WriteOutcome::Failed
                              ? chunk.count
                              : static_cast<std::uint32_t>(written);
        if (ReleaseOutputChunk(done, outcome == platform::SerialDevice::WriteOutcome::Done)) {
            // The flush may empty the ring now; what is left of it goes.
            ackSignal.Set();
            return;
        }
        // Given up with no flush waiting: a close, or a flush request that a
        // finished write left behind, after which the rest still goes out.
        if (outcome == platform::SerialDevice::WriteOutcome::Abandoned && StopRequested()) {
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Telephony variant

TSerTAPI32Dispatcher::TSerTAPI32Dispatcher(TSerCustomComPort* owner, std::intptr_t handle)
    : TSerWin32Dispatcher(owner), givenHandle(handle)
{
}

std::intptr_t TSerTAPI32Dispatcher::OpenDevice(const char* deviceName, std::uint32_t inSize,
                                               std::uint32_t outSize)
{
    if (givenHandle == 0) {
        platform::SetLastError(ErrorTapiNoDevice);
        return -static_cast<std::intptr_t>(ErrorTapiNoDevice);
    }
    // Descriptors cannot be handed between layers here: the device the
    // telephony layer stands for is opened by name, and keeps its handle.
    if (TSerWin32Dispatcher::OpenDevice(deviceName, inSize, outSize) < 0) {
        return -1;
    }
    return givenHandle;
}
