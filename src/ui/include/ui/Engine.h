#pragma once

#include "protocol/frames.h"

#include <cstdint>

class TForm1;

// What the main window's handlers need of the exchange engine. The engine
// state (RequestFrame, PollState, ModelIndex) is one program-wide record; the
// window reaches it only through this interface, so that the engine can be
// plugged in from its own module and tests can plug in a recorder.
// Every call comes on the UI thread.
class TEngine {
public:
    virtual ~TEngine() = default;

    // 0 idle, 1 and 2 the range queries are next, 3 measuring.
    virtual std::uint8_t PollState() const = 0;
    virtual void SetPollState(std::uint8_t value) = 0;

    // Byte 1 of RequestFrame: the parameter of the next setting command.
    virtual void SetRequestParameter(std::uint8_t value) = 0;

    // Builds, sends and arms the reply timeout. May throw when the port
    // cannot be used; the caller's remaining steps are then skipped.
    virtual void SendRequest(Command command) = 0;

    // Both timers off, PollState 0.
    virtual void StopPolling() = 0;

    // The "Стоп" button: StopPolling, and a reply still awaited from before
    // does not restart the cycle.
    virtual void StopReading() { StopPolling(); }

    // Starts the interval timer (a running one goes on unchanged).
    virtual void StartInterval() = 0;

    // 1 Velmor, 2 Dranik.
    virtual std::uint8_t ModelIndex() const = 0;
    virtual void SetModelIndex(std::uint8_t value) = 0;

    // The port's number and rate, as the port settings dialog shows them,
    // and the number it chooses (may throw when the open port cannot move).
    virtual std::uint16_t ComNumber() const = 0;
    virtual std::int32_t Baud() const = 0;
    virtual void SetComNumber(std::uint16_t number) = 0;

    // The window owns its engine. Once it is built it hands itself over, so
    // that the engine's timers, port events, replies and messages reach its
    // handlers; as it goes it releases the engine first, whose worker must
    // end before any control it might reach. An engine without timers, port
    // or worker has nothing to bind.
    virtual void Attach(TForm1& form) { static_cast<void>(form); }
    virtual void Detach() {}

    // The engine's side of the window's engine handlers: engine start at
    // the first activation, the interval and timeout ticks, the port's
    // trigger.
    virtual void Start() {}
    virtual void IntervalTick() {}
    virtual void TimeoutTick() {}
    virtual void PortTrigger() {}

protected:
    TEngine() = default;
    TEngine(const TEngine&) = default;
    TEngine& operator=(const TEngine&) = default;
};
