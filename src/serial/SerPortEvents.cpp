// The port component's events: setting them, and raising each.
#include "serial/SerPort.h"

#include <utility>

namespace {

// An event is raised only when set.
template <class Event, class... Args> void Raise(const Event& event, Args... args)
{
    if (event) {
        event(args...);
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Events

bool TSerCustomComPort::AnyTriggerEvent() const
{
    return onTrigger || onTriggerAvail || onTriggerData || onTriggerStatus || onTriggerTimer ||
           onTriggerLineError || onTriggerModemStatus || onTriggerOutbuffFree ||
           onTriggerOutbuffUsed || onTriggerOutSent;
}

template <class Event> void TSerCustomComPort::SetTriggerEvent(Event& event, Event value)
{
    event = std::move(value);
    UpdateHandlerFlags();
}

void TSerCustomComPort::UpdateHandlerFlags()
{
    if (!IsPortOpen()) {
        return;
    }
    dispatcher->UpdateHandlerFlags(AnyTriggerEvent()
                                       ? TSerBaseDispatcher::THandlerFlags::ComponentOn
                                       : TSerBaseDispatcher::THandlerFlags::ComponentOff);
}

void TSerCustomComPort::SetOnTrigger(TTriggerEvent value)
{
    SetTriggerEvent(onTrigger, std::move(value));
}

void TSerCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent value)
{
    SetTriggerEvent(onTriggerAvail, std::move(value));
}

void TSerCustomComPort::SetOnTriggerData(TTriggerDataEvent value)
{
    SetTriggerEvent(onTriggerData, std::move(value));
}

void TSerCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent value)
{
    SetTriggerEvent(onTriggerStatus, std::move(value));
}

void TSerCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent value)
{
    SetTriggerEvent(onTriggerTimer, std::move(value));
}

void TSerCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent value)
{
    SetTriggerEvent(onTriggerLineError, std::move(value));
}

void TSerCustomComPort::SetOnTriggerModemStatus(TNotifyEvent value)
{
    SetTriggerEvent(onTriggerModemStatus, std::move(value));
}

void TSerCustomComPort::SetOnTriggerOutbuffFree(TNotifyEvent value)
{
    SetTriggerEvent(onTriggerOutbuffFree, std::move(value));
}

void TSerCustomComPort::SetOnTriggerOutbuffUsed(TNotifyEvent value)
{
    SetTriggerEvent(onTriggerOutbuffUsed, std::move(value));
}

void TSerCustomComPort::SetOnTriggerOutSent(TNotifyEvent value)
{
    SetTriggerEvent(onTriggerOutSent, std::move(value));
}

void TSerCustomComPort::DoTrigger(std::uint16_t msg, std::uint16_t triggerHandle,
                                  std::uint16_t data)
{
    Raise(onTrigger, this, msg, triggerHandle, data);
}

void TSerCustomComPort::DoTriggerAvail(std::uint16_t count)
{
    Raise(onTriggerAvail, this, count);
}

void TSerCustomComPort::DoTriggerData(std::uint16_t triggerHandle)
{
    Raise(onTriggerData, this, triggerHandle);
}

void TSerCustomComPort::DoTriggerStatus(std::uint16_t triggerHandle)
{
    Raise(onTriggerStatus, this, triggerHandle);
}

void TSerCustomComPort::DoTriggerTimer(std::uint16_t triggerHandle)
{
    Raise(onTriggerTimer, this, triggerHandle);
}

void TSerCustomComPort::DoTriggerLineError(std::uint16_t error, bool lineBreak)
{
    Raise(onTriggerLineError, this, error, lineBreak);
}

void TSerCustomComPort::DoTriggerModemStatus()
{
    Raise(onTriggerModemStatus, this);
}

void TSerCustomComPort::DoTriggerOutbuffFree()
{
    Raise(onTriggerOutbuffFree, this);
}

void TSerCustomComPort::DoTriggerOutbuffUsed()
{
    Raise(onTriggerOutbuffUsed, this);
}

void TSerCustomComPort::DoTriggerOutSent()
{
    Raise(onTriggerOutSent, this);
}

void TSerCustomComPort::DoWaitChar(char c)
{
    Raise(onWaitChar, this, c);
}

void TSerCustomComPort::DoPortOpened()
{
    Raise(onPortOpened, this);
}

void TSerCustomComPort::DoPortClosing()
{
    Raise(onPortClosing, this);
}
