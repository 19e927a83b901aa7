// The port component's data operations: the dispatcher, opened on demand
// by the owner, and the calls that go through it.
#include "serial/SerPort.h"

#include "serial/SerExcept.h"

#include "platform/LastError.h"

#include <mutex>
#include <shared_mutex>

// ---------------------------------------------------------------------------
// Dispatcher access and data

TSerBaseDispatcher* TSerCustomComPort::Dispatcher()
{
    bool closed = false;
    {
        const std::shared_lock guard(dispatcherGuard);
        closed = !dispatcher && linkState != lsOpen;
    }
    // Only the owner opens on demand: the window that receives the
    // notifications, and the close that may be deferred to it, belong to
    // the thread that opens. Elsewhere a closed port stays closed.
    if (closed && !Loading() && autoOpen && OnOwnerThread()) {
        SetOpen(true);
    }
    const std::shared_lock guard(dispatcherGuard);
    return dispatcher.get();
}

TSerBaseDispatcher* TSerCustomComPort::RequireDispatcher()
{
    TSerBaseDispatcher* d = Dispatcher();
    if (d == nullptr) {
        CheckError(this, ecCommNotOpen);
    }
    return d;
}

template <class Op> std::int32_t TSerCustomComPort::WithDispatcher(Op op)
{
    {
        const std::shared_lock guard(dispatcherGuard);
        if (linkState == lsClosing) {
            // The owner's operations do nothing meanwhile; another thread
            // (the reply worker) learns that nothing was done.
            return OnOwnerThread() ? 0 : ecCommNotOpen;
        }
        if (linkState == lsOpen && dispatcher) {
            return op(*dispatcher);
        }
    }
    // Closed: open on demand, or raise. Null only while loading.
    if (RequireDispatcher() == nullptr) {
        return 0;
    }
    const std::shared_lock guard(dispatcherGuard);
    if (linkState == lsOpen && dispatcher) {
        return op(*dispatcher);
    }
    return 0;
}

std::uint16_t TSerCustomComPort::InputWaiting()
{
    const std::shared_lock guard(dispatcherGuard);
    if (linkState != lsOpen || !dispatcher) {
        return 0;
    }
    return static_cast<std::uint16_t>(dispatcher->InputCount());
}

std::chrono::steady_clock::time_point TSerCustomComPort::LastArrival()
{
    const std::shared_lock guard(dispatcherGuard);
    if (linkState != lsOpen || !dispatcher) {
        return {};
    }
    return dispatcher->LastArrival();
}

std::int32_t TSerCustomComPort::CheckDeviceResult(std::int32_t code)
{
    constexpr auto gone = static_cast<std::int32_t>(platform::ErrorDeviceNotConnected);
    if (code == -gone && !Loading()) {
        // An unplugged adapter never comes back on this descriptor: close,
        // so that the next use opens the device anew once it is back. The
        // close's own flushes fail on the vanished device as well. Only the
        // owner closes; another thread just hears of it.
        if (OnOwnerThread()) {
            try {
                SetOpen(false);
            } catch (const std::exception&) {
            }
        }
        throw EInOutError(ErrorText(static_cast<std::int16_t>(gone)), gone);
    }
    return CheckError(this, code);
}

void TSerCustomComPort::PurgeInput()
{
    CheckDeviceResult(WithDispatcher([](TSerBaseDispatcher& d) { return d.FlushInput(); }));
}

void TSerCustomComPort::PurgeOutput()
{
    CheckDeviceResult(WithDispatcher([](TSerBaseDispatcher& d) { return d.FlushOutput(); }));
}

std::int32_t TSerCustomComPort::PutBlock(const void* block, std::uint16_t len)
{
    CheckDeviceResult(WithDispatcher([&](TSerBaseDispatcher& d) {
        return d.WriteBlock(static_cast<const std::uint8_t*>(block), len);
    }));
    return 0;
}

std::int32_t TSerCustomComPort::GetBlock(void* block, std::uint16_t len)
{
    return CheckError(this, WithDispatcher([&](TSerBaseDispatcher& d) {
                          return d.ReadBlock(static_cast<std::uint8_t*>(block), len);
                      }));
}

void TSerCustomComPort::ProcessCommunications()
{
    CheckError(this, WithDispatcher([](TSerBaseDispatcher& d) { return d.YieldSlice(); }));
}

std::uint16_t TSerCustomComPort::LineError()
{
    const std::shared_lock guard(dispatcherGuard);
    if (linkState != lsOpen || !dispatcher) {
        return 0;
    }
    return static_cast<std::uint16_t>(CheckError(this, dispatcher->GetLineError()));
}

bool TSerCustomComPort::LineBreak()
{
    const std::shared_lock guard(dispatcherGuard);
    return linkState == lsOpen && dispatcher && dispatcher->CheckLineBreak();
}
