// The port component's notification window: the dispatcher's triggers
// raised as events on the owner thread, and the end of a deferred close.
#include "serial/SerPort.h"

#include "serial/SerExcept.h"

#include "platform/Sync.h"

// ---------------------------------------------------------------------------
// Trigger delivery

std::intptr_t TSerCustomComPort::NotifyWindowProc(const std::shared_ptr<TWindowLink>& link,
                                                  std::uint32_t msg, std::uintptr_t wParam,
                                                  std::intptr_t lParam)
{
    const bool trigger = msg >= TriggerAvailMsg && msg <= TriggerStatusMsg;
    if (!trigger && msg != PortClosedMsg) {
        return 0;
    }
    const platform::LockGuard lock(TSerBaseDispatcher::TableLock());
    TSerCustomComPort* port = link->port;
    TSerBaseDispatcher* d = TSerBaseDispatcher::FromHandle(NotificationHandle(lParam));
    // The slot may belong to another component's dispatcher by now.
    if (port == nullptr || d == nullptr || d->OwnerPort() != port) {
        return 0;
    }
    try {
        port->HandleNotification(link, *d, msg, wParam, lParam);
    } catch (...) {
        if (IsApplicationMainThread()) {
            HandleApplicationException(std::current_exception());
        }
    }
    return 0;
}

void TSerCustomComPort::HandleNotification(const std::shared_ptr<TWindowLink>& link,
                                           TSerBaseDispatcher& d, std::uint32_t msg,
                                           std::uintptr_t wParam, std::intptr_t lParam)
{
    if (msg == PortClosedMsg) {
        if (&d == dispatcher.get() && linkState == lsClosing) {
            CompleteDeferredClose(link, d, lParam);
        }
        return;
    }
    const auto handle = static_cast<std::uint16_t>(wParam);
    const std::uint16_t data = msg == TriggerAvailMsg ? handle : NotificationData(lParam);
    DoTrigger(static_cast<std::uint16_t>(msg), handle, data);
    // The event may have closed the port or destroyed the component.
    if (link->port == nullptr) {
        return;
    }
    switch (msg) {
    case TriggerAvailMsg:
        DoTriggerAvail(handle);
        break;
    case TriggerDataMsg:
        DoTriggerData(handle);
        break;
    case TriggerTimerMsg:
        DoTriggerTimer(handle);
        break;
    case TriggerStatusMsg:
        DoTriggerStatus(handle);
        if (link->port == nullptr || dispatcher.get() != &d) {
            return;
        }
        switch (d.StatusTriggerKind(handle)) {
        case StatusKindModem:
            DoTriggerModemStatus();
            break;
        case StatusKindLineError: {
            const std::uint16_t error = LineError();
            DoTriggerLineError(error, LineBreak());
            break;
        }
        case StatusKindOutFree:
            DoTriggerOutbuffFree();
            break;
        case StatusKindOutUsed:
            DoTriggerOutbuffUsed();
            break;
        case StatusKindOutSent:
            DoTriggerOutSent();
            break;
        default:
            break;
        }
        break;
    default:
        break;
    }
}

void TSerCustomComPort::CompleteDeferredClose(const std::shared_ptr<TWindowLink>& link,
                                              TSerBaseDispatcher& d, std::intptr_t lParam)
{
    if (d.IsStarted()) {
        // The dispatch thread is on its way out; give it the processor
        // rather than spin on the message queue.
        platform::Sleep(1);
        platform::PostMessage(notifyWindow, PortClosedMsg, 0, lParam);
        return;
    }
    // The close is complete: the handler hears of it once, and a failing
    // handler does not keep the port half closed.
    std::exception_ptr failure;
    try {
        DoTrigger(static_cast<std::uint16_t>(PortClosedMsg), 0, NotificationData(lParam));
    } catch (...) {
        failure = std::current_exception();
    }
    if (link->port == nullptr) {
        return;
    }
    ReleaseDispatcher();
    if (reopenPending) {
        reopenPending = false;
        try {
            OpenPort();
        } catch (...) {
            if (!failure) {
                failure = std::current_exception();
            }
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}
