#pragma once

// A dispatcher whose platform operations are scripted: a driver receive
// queue, a wire the transmit ring drains to, a device line state, modem lines
// and error bits, recorded escapes, sleeps and window sends.

#include "serial/SerDisp.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class TFakeDispatcher : public TSerBaseDispatcher {
public:
    explicit TFakeDispatcher(TSerCustomComPort* owner = nullptr) : TSerBaseDispatcher(owner) {}
    ~TFakeDispatcher() override { Destroy(); }

    // Opens on a device that is already at 9600 8N1, so the open writes nothing.
    int Open(std::uint32_t outSize = 4096, std::uint32_t inSize = 4096, std::uint8_t flags = 0x03)
    {
        return OpenDispatcher("\\\\.\\COM1", 9600, 0, 8, 1, inSize, outSize, flags);
    }

    void Deliver(const std::vector<std::uint8_t>& bytes)
    {
        std::lock_guard lock(driverMutex);
        driver.insert(driver.end(), bytes.begin(), bytes.end());
    }
    std::size_t DriverHolds()
    {
        std::lock_guard lock(driverMutex);
        return driver.size();
    }
    // The transmitter sends up to n waiting bytes of the ring to the wire,
    // chunk by chunk as a platform transmitter takes them.
    void Transmit(std::uint32_t n)
    {
        while (n > 0) {
            const TOutputChunk chunk = TakeOutputChunk();
            if (chunk.count == 0) {
                break;
            }
            const std::uint32_t k = std::min(n, chunk.count);
            wire.insert(wire.end(), chunk.bytes, chunk.bytes + k);
            ReleaseOutputChunk(k, false);
            n -= k;
        }
    }

    // No operation adds triggers: tests put them in as a restored snapshot
    // would, and read the lists back the same way.
    void AddStatusTrigger(const TStatusTrigger& t)
    {
        EditTriggers([&](TTriggerSnapshot& s) { s.status.push_back(t); });
    }
    void AddTimerTrigger(const TTimerTrigger& t)
    {
        EditTriggers([&](TTriggerSnapshot& s) { s.timers.push_back(t); });
    }
    void AddDataTrigger(const TDataTrigger& t)
    {
        EditTriggers([&](TTriggerSnapshot& s) { s.data.push_back(t); });
    }
    TTriggerSnapshot Triggers()
    {
        TTriggerSnapshot s;
        SaveTriggers(s);
        return s;
    }

    // The read-outs, and the recorders to see what they hold.
    using TSerBaseDispatcher::ByteTrace;
    using TSerBaseDispatcher::DispatchLog;
    using TSerBaseDispatcher::LineErrorBits;
    using TSerBaseDispatcher::ModemStatusByte;
    using TSerBaseDispatcher::OptionFlags;

    // --- Platform operations.
    int EscapeFunction(int code) override
    {
        escapes.push_back(code);
        return escapeResult;
    }
    int FlushQueue(int queue) override
    {
        ++flushes[queue == 0 ? 0 : 1];
        if (queue == 0) {
            ResetOutputRing();
        } else {
            std::lock_guard lock(driverMutex);
            driver.clear();
        }
        return 0;
    }
    std::uint32_t ReadErrors(TCommStatus& status) override
    {
        ++readErrorsCalls;
        {
            std::lock_guard lock(driverMutex);
            status.inQueue = static_cast<std::uint32_t>(driver.size());
        }
        status.outQueue = drainScript.empty() ? OutputWaiting() : NextDrainValue();
        return std::exchange(pendingErrors, 0u);
    }
    int GetLineState(TLineState& state) override
    {
        state = device;
        return 0;
    }
    std::uint32_t ReadPort(std::uint8_t* destination, std::uint32_t count) override
    {
        std::lock_guard lock(driverMutex);
        ++readPortCalls;
        std::uint32_t n = 0;
        for (; n < count && !driver.empty(); ++n) {
            destination[n] = driver.front();
            driver.pop_front();
        }
        return n;
    }
    int SetLineState(const TLineState& state) override
    {
        ++setLineCalls;
        if (setLineResult == 0) {
            device = state;
        }
        return setLineResult;
    }
    int QueueOutput(const std::uint8_t* source, std::uint32_t count) override
    {
        if (failQueue) {
            return 0;
        }
        CopyToOutputRing(source, count);
        return static_cast<int>(count);
    }
    bool WaitPortEvent(std::uint32_t&, void*) override { return false; }
    bool SetupDriverQueues(std::uint32_t, std::uint32_t) override { return setupResult; }
    // As if one thread ran: started until it has ended.
    void StartThreads() override
    {
        ++startCalls;
        EnterStarted(1);
    }
    void StopThreads() override
    {
        ++stopCalls;
        ThreadEnded(false);
    }
    std::intptr_t OpenDevice(const char* name, std::uint32_t, std::uint32_t) override
    {
        openedName = name;
        return openResult;
    }
    int CloseDevice() override
    {
        ++closeCalls;
        MarkPortClosed();
        return 0;
    }
    int YieldSlice() override { return 0; }

    // --- Seams.
    std::uint8_t ReadModemLines() override { return modemLines; }
    std::uint32_t LastOsError() const override { return osError; }
    void SleepMs(std::uint32_t ms) override { sleeps.push_back(ms); }
    std::uint32_t ClockMs() override { return clock; }
    bool SendToWindow(platform::WindowHandle window, std::uint32_t msg, std::uintptr_t wParam,
                      std::intptr_t lParam) override
    {
        if (realWindows) {
            return platform::SendMessageTimeout(window, msg, wParam, lParam, sendTimeoutMs);
        }
        sends.push_back({window, msg, wParam, lParam});
        if (onSend) {
            onSend(window);
        }
        return true;
    }
    void SynchronizeCall(const std::function<void()>& call) override
    {
        if (synchronizer) {
            synchronizer(call);
        } else {
            call();
        }
    }
    void ApplyThreadPriorities(bool, std::uint8_t) override { ++priorityCalls; }
    void EventPassDone() override { ++passesDone; }

    struct Sent {
        platform::WindowHandle window;
        std::uint32_t msg;
        std::uintptr_t wParam;
        std::intptr_t lParam;
    };

    std::mutex driverMutex;
    std::deque<std::uint8_t> driver;
    std::vector<std::uint8_t> wire;
    TLineState device{9600, 0, 0, 0, 8, 0, 0, 17, 19};
    std::uint32_t pendingErrors = 0;
    std::uint8_t modemLines = 0;
    std::vector<int> escapes;
    int escapeResult = 0;
    int setLineResult = 0;
    int setLineCalls = 0;
    int readErrorsCalls = 0;
    int readPortCalls = 0;
    int flushes[2] = {0, 0};
    bool failQueue = false;
    bool setupResult = true;
    std::intptr_t openResult = 7;
    std::string openedName;
    std::uint32_t osError = 0;
    int startCalls = 0, stopCalls = 0, closeCalls = 0, priorityCalls = 0, passesDone = 0;
    std::vector<std::uint32_t> sleeps;
    std::atomic<std::uint32_t> clock{0};
    bool realWindows = false;
    std::uint32_t sendTimeoutMs = NotifySendTimeoutMs;
    std::vector<Sent> sends;
    std::function<void(platform::WindowHandle)> onSend;
    std::function<void(const std::function<void()>&)> synchronizer;
    // Transmit counts that successive ReadErrors report instead of the ring's.
    std::deque<std::uint32_t> drainScript;

private:
    template <typename Edit> void EditTriggers(Edit edit)
    {
        TTriggerSnapshot s;
        SaveTriggers(s);
        edit(s);
        RestoreTriggers(s);
    }
    std::uint32_t NextDrainValue()
    {
        const std::uint32_t v = drainScript.front();
        if (drainScript.size() > 1) {
            drainScript.pop_front();
        }
        return v;
    }
};
