// Unit under test: SerPort (the serial port component TSerCustomComPort / TSerComPort).
#include "serial/SerPort.h"

#include "FakeDispatcher.h"
#include "FakeUart.h"
#include "PortHolder.h"
#include "PtyPair.h"
#include "TestFiles.h"
#include "serial/SerExcept.h"
#include "serial/SerWin32.h"

#include "platform/MessageWindow.h"
#include "platform/Sync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// A fake whose threads end only when the test says so, as the dispatch
// thread's exit would after a deferred close.
class TPortFake : public TFakeDispatcher {
public:
    // current names the component's dispatcher while this one is it; it
    // outlives the component, which frees its dispatcher last.
    TPortFake(TSerCustomComPort* owner, std::shared_ptr<TPortFake*> current)
        : TFakeDispatcher(owner), current(std::move(current))
    {
        realWindows = true;
    }
    ~TPortFake() override
    {
        if (*current == this) {
            *current = nullptr;
        }
    }
    void StopThreads() override { ++stopCalls; }
    void ThreadsEnded() { ThreadEnded(false); }
    // What the dispatch thread does when a delivery ends with the port closed.
    void FinishDeferredClose()
    {
        if (IsCloseDeferred()) {
            ReleasePort();
            ThreadsEnded();
        }
    }
    std::uint32_t AvailLevel()
    {
        TTriggerSnapshot s;
        SaveTriggers(s);
        return s.availLevel;
    }
    // One pass of the dispatch thread over what the driver holds.
    bool Pass()
    {
        FillInputBuffer();
        return CheckDataAndAvail();
    }

private:
    std::shared_ptr<TPortFake*> current;
};

struct TOpenResult {
    std::intptr_t handle;
    std::uint32_t osError;
};

class TTestPort : public TSerComPort {
public:
    TTestPort() { SetComNumber(1); }
    ~TTestPort() override { ++destroyed; }

    // The dispatcher of the open (or closing) port; null when there is none.
    TPortFake* Fake() const { return *slot; }
    // Results of the next opens, front first; success once empty.
    std::deque<TOpenResult> opens;
    int created = 0;
    int doTriggerCalls = 0;
    static inline int destroyed = 0;

private:
    std::shared_ptr<TPortFake*> slot = std::make_shared<TPortFake*>(nullptr);

protected:
    std::unique_ptr<TSerBaseDispatcher> CreateDispatcher() override
    {
        auto d = std::make_unique<TPortFake>(this, slot);
        if (!opens.empty()) {
            d->openResult = opens.front().handle;
            d->osError = opens.front().osError;
            opens.pop_front();
        }
        *slot = d.get();
        ++created;
        return d;
    }
    void DoTrigger(std::uint16_t msg, std::uint16_t handle, std::uint16_t data) override
    {
        ++doTriggerCalls;
        TSerComPort::DoTrigger(msg, handle, data);
    }
};

struct TTriggerCall {
    std::uint16_t msg, handle, data;
    TLinkState state;
    bool operator==(const TTriggerCall&) const = default;
};

// Delivers pending messages of this thread until done() holds or nothing is left.
template <class Pred> bool PumpUntil(Pred done)
{
    for (int n = 0; n < 10000 && !done(); ++n) {
        if (!platform::ProcessOnePendingMessage()) {
            break;
        }
    }
    return done();
}

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t first)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>(first + i);
    }
    return v;
}

class SerPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetApplicationExceptionHandler(
            [this](std::exception_ptr e) { shown.push_back(ExceptionMessage(e)); });
    }
    void TearDown() override
    {
        SetApplicationExceptionHandler(nullptr);
        SetComSelectDialog(nullptr);
    }
    std::vector<std::string> shown;
};

} // namespace

TEST_F(SerPort, DefaultsAndWhatAClosedPortStores)
{
    TSerComPort port;
    EXPECT_EQ(port.Version(), "v3.02");
    port.SetVersion("v9");
    EXPECT_EQ(port.Version(), "v3.02");
    // Settings the main window relies on without setting them.
    EXPECT_TRUE(port.AutoOpen());
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.AvailTriggerLength(), 1);
    EXPECT_EQ(port.OutSize(), 4096);
    EXPECT_EQ(port.LinkState(), lsClosed);

    port.SetTraceSize(4000001);
    EXPECT_EQ(port.TraceSize(), 4000000u);
    port.SetLogSize(16000001);
    EXPECT_EQ(port.LogSize(), 16000000u);
    port.SetUseMSRShadow(false);
    EXPECT_TRUE(port.UseMSRShadow());

    // A closed port keeps a trace only on or off.
    port.SetTracing(tlDump);
    EXPECT_EQ(port.Tracing(), tlOff);
    port.SetTracing(tlOn);
    EXPECT_EQ(port.Tracing(), tlOn);
    port.SetTracing(tlPause);
    EXPECT_EQ(port.Tracing(), tlOff);
    port.SetLogging(tlAppend);
    EXPECT_EQ(port.Logging(), tlOff);

    port.SetTraceName(std::string(300, 'x'));
    EXPECT_EQ(port.TraceName().size(), 255u);
    // Only the Win32 layer exists.
    port.SetDeviceLayer(dlFossil);
    EXPECT_EQ(port.DeviceLayer(), dlWin32);
}

TEST_F(SerPort, OpensOnDemandAndRetriesAfterAFailedOpen)
{
    TTestPort port;
    EXPECT_EQ(port.InputWaiting(), 0);
    EXPECT_EQ(port.LineError(), 0);
    EXPECT_FALSE(port.LineBreak());
    EXPECT_EQ(port.created, 0) << "InputWaiting and the line status never open";

    port.opens = {{-1, 2}, {-1, 5}, {-1, 87}};
    try {
        port.PurgeInput();
        FAIL() << "missing device opened";
    } catch (const EBadId& e) {
        EXPECT_EQ(e.ErrorCode(), -2001);
        EXPECT_STREQ(e.what(), "ie_BadId - Specified comport doesn't exist");
    }
    EXPECT_EQ(port.LinkState(), lsClosed);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.Fake(), nullptr);
    EXPECT_EQ(port.NotifyWindow(), 0u);

    EXPECT_THROW(port.PurgeOutput(), EAlreadyOpen);
    EXPECT_THROW(port.ProcessCommunications(), EInOutError);
    EXPECT_EQ(port.created, 3);

    std::uint8_t block[3] = {1, 2, 3};
    EXPECT_EQ(port.PutBlock(block, 3), 0);
    EXPECT_EQ(port.created, 4);
    ASSERT_NE(port.Fake(), nullptr);
    EXPECT_EQ(port.Fake()->openedName, "\\\\.\\COM1");
    EXPECT_EQ(port.LinkState(), lsOpen);
    EXPECT_TRUE(port.Open());
    EXPECT_TRUE(platform::IsWindow(port.NotifyWindow()));
    EXPECT_EQ(port.Fake()->OutputUsed(), 3u);

    port.SetOpen(false);
    EXPECT_EQ(port.LinkState(), lsClosed);
    EXPECT_EQ(port.Fake(), nullptr);
    port.SetAutoOpen(false);
    EXPECT_THROW(port.PurgeInput(), ECommNotOpen);
    EXPECT_EQ(port.created, 4);
}

TEST_F(SerPort, OpenHandsTheStoredSettingsToTheDispatcher)
{
    TTestPort port;
    int opened = 0;
    port.SetOnPortOpened([&](TSerBaseComponent* sender) {
        EXPECT_EQ(sender, &port);
        ++opened;
    });
    port.SetBaud(9600);
    port.SetParity(pEven);
    port.SetDataBits(7);
    port.SetStopBits(2);
    port.SetHWFlowOptions({hwfUseDTR, hwfRequireCTS});
    port.SetXOnChar(0x11);
    port.SetXOffChar(0x13);
    port.SetAvailTriggerLength(4);
    port.SetOpen(true);
    ASSERT_NE(port.Fake(), nullptr);
    TPortFake& d = *port.Fake();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(d.device.baudRate, 9600u);
    EXPECT_EQ(d.device.parity, 2);
    EXPECT_EQ(d.device.byteSize, 7);
    EXPECT_EQ(d.device.stopBits, platform::TwoStopBits);
    EXPECT_EQ(d.device.flags & platform::DcbDtrControlMask, platform::DtrControlHandshake);
    EXPECT_EQ(d.device.flags & platform::DcbRtsControlMask, platform::RtsControlEnable);
    EXPECT_NE(d.device.flags & platform::DcbOutxCtsFlow, 0u);
    EXPECT_EQ(d.device.xoffLim, 4096 - 3686);
    EXPECT_EQ(d.device.xonLim, 410);
    EXPECT_EQ(d.AvailLevel(), 4u);
    EXPECT_EQ(d.OptionFlags() & TSerCustomComPort::OptionUseEventWord,
              TSerCustomComPort::OptionUseEventWord);

    // An open port applies each change at once.
    port.SetBaud(19200);
    EXPECT_EQ(d.device.baudRate, 19200u);
    port.SetUseEventWord(false);
    EXPECT_EQ(d.OptionFlags() & TSerCustomComPort::OptionUseEventWord, 0u);
    port.SetAvailTriggerLength(1);
    EXPECT_EQ(d.AvailLevel(), 1u);
    port.SetSWFlowOptions(swfReceive);
    EXPECT_NE(d.device.flags & platform::DcbInX, 0u);
    EXPECT_EQ(d.device.flags & platform::DcbOutX, 0u);
    port.SetSWFlowOptions(swfNone);
    EXPECT_EQ(d.device.flags & (platform::DcbInX | platform::DcbOutX), 0u);

    // DTR is the driver's while it handshakes: the property keeps its value.
    d.escapes.clear();
    port.SetDTR(false);
    EXPECT_TRUE(port.DTR());
    EXPECT_TRUE(d.escapes.empty());
    port.SetRTS(false);
    EXPECT_FALSE(port.RTS());
    EXPECT_EQ(d.escapes, std::vector<int>{platform::EscClrRts});
}

TEST_F(SerPort, FlowControlThresholds)
{
    {
        TSerComPort port;
        port.SetHWFlowOptions({hwfRequireCTS});
        EXPECT_EQ(port.BufferFull(), 3686);
        EXPECT_EQ(port.BufferResume(), 410);
        port.SetBufferResume(4000);
        EXPECT_EQ(port.BufferResume(), 369);
        port.SetBufferFull(5000);
        EXPECT_EQ(port.BufferFull(), 3686);
        port.SetBufferFull(1000);
        EXPECT_EQ(port.BufferFull(), 1000);
        EXPECT_EQ(port.BufferResume(), 369);
    }
    {
        TSerComPort port;
        port.SetSWFlowOptions(swfBoth);
        EXPECT_EQ(port.BufferFull(), 3072);
        EXPECT_EQ(port.BufferResume(), 1024);
    }
    {
        // Ties go to the even neighbour: 4085 x 0.9 = 3676.5, x 0.1 = 408.5.
        TSerComPort port;
        port.SetInSize(4085);
        port.SetHWFlowOptions({hwfUseRTS});
        EXPECT_EQ(port.BufferFull(), 3676);
        EXPECT_EQ(port.BufferResume(), 408);
        port.SetInSize(1000);
        port.SetBufferFull(1005);
        EXPECT_EQ(port.BufferFull(), 900);
    }
    {
        // Rejected thresholds: the option keeps its former value, the
        // thresholds their new ones.
        TTestPort port;
        port.SetOpen(true);
        port.SetBufferFull(100);
        port.SetBufferResume(50);
        EXPECT_THROW(port.SetBufferFull(40), EBadArgument);
        EXPECT_EQ(port.BufferFull(), 40);
        try {
            port.SetHWFlowOptions({hwfRequireCTS});
            FAIL() << "full level below the resume level accepted";
        } catch (const EBadArgument& e) {
            EXPECT_EQ(e.ErrorCode(), -1002);
        }
        EXPECT_TRUE(port.HWFlowOptions().Empty());
        EXPECT_EQ(port.BufferResume(), 410);
        EXPECT_EQ(port.Fake()->device.flags & platform::DcbOutxCtsFlow, 0u);
    }
}

TEST_F(SerPort, Rs485ModeAndHardwareFlowExcludeEachOther)
{
    TSerComPort closed;
    closed.SetHWFlowOptions({hwfUseDTR, hwfUseRTS, hwfRequireCTS});
    closed.SetRS485Mode(true);
    EXPECT_EQ(closed.HWFlowOptions(), THWFlowOptionSet{hwfUseDTR});
    EXPECT_FALSE(closed.RTS());
    EXPECT_TRUE(closed.RS485Mode());
    closed.SetHWFlowOptions({hwfUseRTS});
    EXPECT_FALSE(closed.RS485Mode());

    TTestPort port;
    port.SetHWFlowOptions({hwfUseRTS, hwfRequireDSR});
    port.SetOpen(true);
    TPortFake& d = *port.Fake();
    EXPECT_EQ(d.device.flags & platform::DcbRtsControlMask, platform::RtsControlHandshake);
    port.SetRS485Mode(true);
    EXPECT_EQ(port.HWFlowOptions(), THWFlowOptionSet{hwfRequireDSR});
    // The driver now turns the line around itself.
    EXPECT_EQ(d.device.flags & platform::DcbRtsControlMask, platform::RtsControlToggle);
    EXPECT_NE(d.device.flags & platform::DcbOutxDsrFlow, 0u);
}

TEST_F(SerPort, BlockOperations)
{
    TTestPort port;
    std::vector<std::uint8_t> big(5000, 0x55);
    try {
        port.PutBlock(big.data(), 5000);
        FAIL() << "a block larger than the transmit ring was queued";
    } catch (const EOutputBufferTooSmall& e) {
        EXPECT_EQ(e.ErrorCode(), -3006);
    }
    ASSERT_NE(port.Fake(), nullptr);
    TPortFake& d = *port.Fake();
    EXPECT_EQ(d.OutputUsed(), 0u);
    d.Transmit(5000);
    EXPECT_TRUE(d.wire.empty());

    const auto sent = Bytes(4096, 0);
    EXPECT_EQ(port.PutBlock(sent.data(), 4096), 0);
    EXPECT_EQ(d.OutputFree(), 0u);
    port.PurgeOutput();
    EXPECT_EQ(d.OutputUsed(), 0u);

    d.Deliver(Bytes(5, 0x30));
    d.FillInputBuffer();
    ASSERT_EQ(port.InputWaiting(), 5);
    std::uint8_t got[8] = {};
    EXPECT_THROW(port.GetBlock(got, 6), EBufferIsEmpty);
    EXPECT_EQ(port.InputWaiting(), 5) << "a failed read takes nothing";
    EXPECT_EQ(port.GetBlock(got, 0), 0);
    EXPECT_EQ(port.InputWaiting(), 5);
    EXPECT_EQ(port.GetBlock(got, 5), 5);
    EXPECT_EQ(std::vector<std::uint8_t>(got, got + 5), Bytes(5, 0x30));
    EXPECT_EQ(port.InputWaiting(), 0);

    d.Deliver(Bytes(3, 0));
    d.FillInputBuffer();
    d.Deliver(Bytes(3, 0));
    port.PurgeInput();
    EXPECT_EQ(port.InputWaiting(), 0);
    EXPECT_EQ(d.DriverHolds(), 0u);

    // Line errors are reported once each; the break stays until asked for.
    d.pendingErrors = platform::CeRxParity | platform::CeBreak;
    d.RefreshLineErrors();
    EXPECT_EQ(port.LineError(), 3);
    EXPECT_EQ(port.LineError(), 9);
    EXPECT_TRUE(port.LineBreak());
    EXPECT_FALSE(port.LineBreak());
    EXPECT_EQ(port.LineError(), 0);
}

TEST_F(SerPort, ComNumberChangeReopensAndKeepsTheTriggers)
{
    TTestPort port;
    port.SetTracing(tlOn);
    port.SetOpen(true);
    TDataTrigger trigger;
    trigger.handle = 7;
    trigger.matchLength = 2;
    std::memcpy(trigger.match, "OK", 2);
    port.Fake()->AddDataTrigger(trigger);
    TPortFake* first = port.Fake();
    port.SetComNumber(1);
    EXPECT_EQ(port.Fake(), first);
    EXPECT_EQ(port.created, 1);

    port.SetComNumber(3);
    ASSERT_NE(port.Fake(), nullptr);
    EXPECT_EQ(port.created, 2);
    EXPECT_EQ(port.Fake()->openedName, "\\\\.\\COM3");
    EXPECT_EQ(port.LinkState(), lsOpen);
    EXPECT_EQ(port.Tracing(), tlOn);
    const TTriggerSnapshot triggers = port.Fake()->Triggers();
    ASSERT_EQ(triggers.data.size(), 1u);
    EXPECT_EQ(triggers.data[0].handle, 7u);
    EXPECT_EQ(std::string(triggers.data[0].match, 2), "OK");
}

TEST_F(SerPort, PortZeroAsksTheSelectionDialog)
{
    TTestPort port;
    port.SetComNumber(0);
    port.SetPromptForPort(false);
    try {
        port.SetOpen(true);
        FAIL() << "opened without a port number";
    } catch (const ENoPortSelected& e) {
        EXPECT_EQ(e.ErrorCode(), -2011);
        EXPECT_STREQ(e.what(), "The ComNumber property of the TSerComPort has not been set");
    }
    port.SetPromptForPort(true);
    EXPECT_THROW(port.PurgeInput(), ENoPortSelected) << "no dialog installed";

    int shownDialogs = 0;
    int result = ModalResultCancel;
    SetComSelectDialog([&](std::uint16_t& selected) {
        ++shownDialogs;
        selected = 4;
        return result;
    });
    EXPECT_THROW(port.PurgeInput(), ENoPortSelected);
    result = ModalResultAbort;
    EXPECT_THROW(port.PurgeInput(), ENoPortSelected);
    EXPECT_EQ(port.ComNumber(), 0);
    EXPECT_EQ(port.created, 0);
    result = ModalResultOk;
    port.PurgeInput();
    EXPECT_EQ(shownDialogs, 3);
    EXPECT_EQ(port.ComNumber(), 4);
    ASSERT_NE(port.Fake(), nullptr);
    EXPECT_EQ(port.Fake()->openedName, "\\\\.\\COM4");
}

TEST_F(SerPort, TriggersReachTheEventsOnTheOpeningThread)
{
    TTestPort port;
    std::vector<TTriggerCall> calls;
    std::vector<std::uint16_t> avails;
    std::vector<std::uint8_t> taken;
    port.SetOnTrigger(
        [&](TSerCustomComPort* cp, std::uint16_t msg, std::uint16_t handle, std::uint16_t data) {
            EXPECT_EQ(cp, &port);
            calls.push_back({msg, handle, data, cp->LinkState()});
            if (msg == TriggerAvailMsg) {
                std::vector<std::uint8_t> block(cp->InputWaiting());
                cp->GetBlock(block.data(), static_cast<std::uint16_t>(block.size()));
                taken.insert(taken.end(), block.begin(), block.end());
            }
        });
    port.SetOnTriggerAvail(
        [&](TSerCustomComPort*, std::uint16_t count) { avails.push_back(count); });
    std::vector<std::pair<std::uint16_t, bool>> lineErrors;
    port.SetOnTriggerLineError([&](TSerCustomComPort*, std::uint16_t error, bool lineBreak) {
        lineErrors.push_back({error, lineBreak});
    });
    port.SetOpen(true);
    TPortFake& d = *port.Fake();

    d.Deliver(Bytes(4, 0x41));
    d.Pass();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], (TTriggerCall{TriggerAvailMsg, 4, 4, lsOpen}));
    EXPECT_EQ(avails, std::vector<std::uint16_t>{4});
    EXPECT_EQ(taken, Bytes(4, 0x41));
    EXPECT_EQ(port.InputWaiting(), 0) << "what the handler read is gone";

    // A line-error status trigger: the status event, then the line error event.
    TStatusTrigger status;
    status.handle = 9;
    status.kind = StatusKindLineError;
    status.value = platform::CeFrame;
    status.active = 1;
    d.AddStatusTrigger(status);
    d.pendingErrors = platform::CeFrame;
    d.RefreshLineErrors();
    EXPECT_TRUE(d.CheckStatusTriggers());
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1], (TTriggerCall{TriggerStatusMsg, 9, 0, lsOpen}));
    EXPECT_EQ(lineErrors, (std::vector<std::pair<std::uint16_t, bool>>{{4, false}}));

    // With none of the trigger events assigned the window hears nothing.
    port.SetOnTrigger(nullptr);
    port.SetOnTriggerAvail(nullptr);
    port.SetOnTriggerLineError(nullptr);
    port.SetOnWaitChar([](TSerCustomComPort*, char) {});
    const int before = port.doTriggerCalls;
    d.Deliver(Bytes(2, 0));
    d.Pass();
    EXPECT_EQ(port.doTriggerCalls, before);
    port.SetOnTriggerOutSent([](TSerBaseComponent*) {});
    d.Deliver(Bytes(2, 0));
    d.Pass();
    EXPECT_EQ(port.doTriggerCalls, before + 1);
}

TEST_F(SerPort, AnExceptionInOnTriggerIsShownAndDeliveryGoesOn)
{
    TTestPort port;
    int calls = 0;
    port.SetOnTrigger([&](TSerCustomComPort* cp, std::uint16_t, std::uint16_t, std::uint16_t) {
        ++calls;
        // One byte more than there is.
        std::vector<std::uint8_t> b(cp->InputWaiting() + 1u);
        cp->GetBlock(b.data(), static_cast<std::uint16_t>(b.size()));
    });
    port.SetOpen(true);
    TPortFake& d = *port.Fake();
    d.Deliver(Bytes(1, 0));
    EXPECT_NO_THROW(d.Pass());
    EXPECT_EQ(shown, std::vector<std::string>{"Buffer is empty"});
    d.Deliver(Bytes(1, 0));
    d.Pass();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(shown.size(), 2u);

    // On any other thread the failure is dropped.
    std::thread other([&] {
        TTestPort local;
        local.SetOnTrigger([](TSerCustomComPort*, std::uint16_t, std::uint16_t, std::uint16_t) {
            throw std::runtime_error("elsewhere");
        });
        local.SetOpen(true);
        local.Fake()->Deliver(Bytes(1, 0));
        local.Fake()->Pass();
    });
    other.join();
    EXPECT_EQ(shown.size(), 2u);
}

TEST_F(SerPort, CloseFromInsideOnTriggerCompletesLater)
{
    for (const bool reopen : {false, true}) {
        SCOPED_TRACE(reopen ? "reopened" : "stays closed");
        TTestPort port;
        std::vector<TTriggerCall> calls;
        bool closingOps = false;
        int closingEvents = 0;
        port.SetOnPortClosing([&](TSerBaseComponent*) { ++closingEvents; });
        port.SetOnTrigger([&](TSerCustomComPort* cp, std::uint16_t msg, std::uint16_t handle,
                              std::uint16_t data) {
            calls.push_back({msg, handle, data, cp->LinkState()});
            if (msg != TriggerAvailMsg || calls.size() > 1) {
                return;
            }
            cp->SetOpen(false);
            // Nothing is done on a closing port, and nothing opens it.
            std::uint8_t b[2] = {};
            closingOps = cp->LinkState() == lsClosing && cp->InputWaiting() == 0 &&
                         cp->GetBlock(b, 2) == 0 && cp->PutBlock(b, 2) == 0;
            cp->PurgeInput();
            if (reopen) {
                cp->SetOpen(true);
                EXPECT_TRUE(cp->ReopenPending());
            }
        });
        port.SetOpen(true);
        TPortFake* first = port.Fake();
        first->Deliver(Bytes(2, 0));
        EXPECT_FALSE(first->Pass());
        EXPECT_TRUE(closingOps);
        EXPECT_EQ(closingEvents, 1);
        EXPECT_EQ(port.LinkState(), lsClosing);
        EXPECT_EQ(port.created, 1);
        ASSERT_EQ(port.Fake(), first);

        // While the dispatcher's threads run, the release waits.
        EXPECT_TRUE(platform::ProcessOnePendingMessage());
        EXPECT_EQ(port.LinkState(), lsClosing);
        first->FinishDeferredClose();
        ASSERT_TRUE(PumpUntil([&] { return port.LinkState() != lsClosing; }));

        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[1], (TTriggerCall{PortClosedMsg, 0, 0, lsClosing}));
        EXPECT_FALSE(port.ReopenPending());
        if (reopen) {
            EXPECT_EQ(port.LinkState(), lsOpen);
            EXPECT_TRUE(port.Open());
            EXPECT_EQ(port.created, 2);
            ASSERT_NE(port.Fake(), nullptr);
            port.Fake()->Deliver(Bytes(1, 0));
            port.Fake()->Pass();
            EXPECT_EQ(calls.size(), 3u) << "triggers reach the reopened port";
        } else {
            EXPECT_EQ(port.LinkState(), lsClosed);
            EXPECT_FALSE(port.Open());
            EXPECT_EQ(port.Fake(), nullptr);
            EXPECT_EQ(port.NotifyWindow(), 0u);
        }
        EXPECT_FALSE(platform::ProcessOnePendingMessage());
    }
}

TEST_F(SerPort, DestroyingWithAPendingReleaseIsSafe)
{
    int released = 0;
    for (const bool threadsEnded : {true, false}) {
        auto port = std::make_unique<TTestPort>();
        port->SetOnTrigger(
            [&](TSerCustomComPort* cp, std::uint16_t msg, std::uint16_t, std::uint16_t) {
                if (msg == PortClosedMsg) {
                    ++released;
                } else {
                    cp->SetOpen(false);
                }
            });
        port->SetOpen(true);
        TPortFake* d = port->Fake();
        d->Deliver(Bytes(1, 0));
        d->Pass();
        ASSERT_EQ(port->LinkState(), lsClosing);
        if (threadsEnded) {
            d->FinishDeferredClose();
        }
        const platform::WindowHandle window = port->NotifyWindow();
        const int destroyedBefore = TTestPort::destroyed;
        port.reset();
        EXPECT_EQ(TTestPort::destroyed, destroyedBefore + 1);
        EXPECT_FALSE(platform::IsWindow(window));
        // The PortClosedMsg went with the window.
        EXPECT_FALSE(platform::ProcessOnePendingMessage());
    }
    EXPECT_EQ(released, 0);

    // A stale PortClosedMsg naming another component's dispatcher is ignored.
    TTestPort a;
    TTestPort b;
    a.SetOpen(true);
    b.SetComNumber(2);
    b.SetOpen(true);
    platform::PostMessage(a.NotifyWindow(), PortClosedMsg, 0,
                          static_cast<std::intptr_t>(b.Fake()->DispatcherHandle()) << 16);
    EXPECT_TRUE(platform::ProcessOnePendingMessage());
    EXPECT_EQ(a.LinkState(), lsOpen);
    EXPECT_EQ(b.LinkState(), lsOpen);
}

TEST_F(SerPort, LoadingDefersTheOpenAndErrors)
{
    TTestPort port;
    port.SetLoading(true);
    port.SetComNumber(2);
    port.SetOpen(true);
    EXPECT_TRUE(port.OpenAfterLoad());
    EXPECT_EQ(port.created, 0);
    // While loading nothing opens, and the failure passes.
    EXPECT_NO_THROW(port.PurgeInput());
    EXPECT_EQ(port.created, 0);
    port.Loaded();
    EXPECT_FALSE(port.Loading());
    EXPECT_FALSE(port.OpenAfterLoad());
    EXPECT_EQ(port.LinkState(), lsOpen);
    ASSERT_NE(port.Fake(), nullptr);
    EXPECT_EQ(port.Fake()->openedName, "\\\\.\\COM2");

    // A port that fails to open is shown and left shut; the load completes.
    TTestPort failing;
    failing.opens = {{-1, 2}};
    failing.SetLoading(true);
    failing.SetOpen(true);
    EXPECT_NO_THROW(failing.Loaded());
    EXPECT_FALSE(failing.Open());
    EXPECT_EQ(failing.LinkState(), lsClosed);
    EXPECT_EQ(shown, std::vector<std::string>{"ie_BadId - Specified comport doesn't exist"});
}

TEST_F(SerPort, AssignCopiesSettingsAndTriggers)
{
    TTestPort source;
    source.SetComNumber(3);
    source.SetBaud(9600);
    source.SetHWFlowOptions({hwfRequireDSR});
    source.SetTraceName("A.TRC");
    source.SetUseEventWord(false);
    source.SetCommNotificationLevel(3);
    int triggers = 0;
    source.SetOnTrigger(
        [&](TSerCustomComPort*, std::uint16_t, std::uint16_t, std::uint16_t) { ++triggers; });
    source.SetOnTriggerLineError([](TSerCustomComPort*, std::uint16_t, bool) {});
    source.SetOpen(true);
    TStatusTrigger status;
    status.handle = 5;
    status.kind = StatusKindOutSent;
    source.Fake()->AddStatusTrigger(status);

    TTestPort target;
    target.SetOpen(true);
    target.Assign(source);
    EXPECT_FALSE(target.Open());
    EXPECT_EQ(target.LinkState(), lsClosed);
    EXPECT_EQ(target.ComNumber(), 3);
    EXPECT_EQ(target.Baud(), 9600);
    EXPECT_EQ(target.HWFlowOptions(), THWFlowOptionSet{hwfRequireDSR});
    EXPECT_EQ(target.BufferFull(), 3686);
    EXPECT_EQ(target.TraceName(), "A.TRC");
    EXPECT_TRUE(target.UseEventWord());
    EXPECT_EQ(target.CommNotificationLevel(), 10);
    EXPECT_TRUE(static_cast<bool>(target.OnTrigger()));
    EXPECT_FALSE(static_cast<bool>(target.OnTriggerLineError()));
    EXPECT_TRUE(target.RestoreTriggersPending());

    target.SetOpen(true);
    ASSERT_NE(target.Fake(), nullptr);
    EXPECT_EQ(target.Fake()->openedName, "\\\\.\\COM3");
    EXPECT_FALSE(target.RestoreTriggersPending());
    const TTriggerSnapshot restored = target.Fake()->Triggers();
    ASSERT_EQ(restored.status.size(), 1u);
    EXPECT_EQ(restored.status[0].handle, 5);
}

TEST_F(SerPort, TraceAndLogStateMachines)
{
    TempDir dir;
    TTestPort port;
    port.SetTraceName(dir / "SERIAL.TRC");
    port.SetLogName(dir / "SERIAL.LOG");
    port.SetTracing(tlOn);
    port.SetOpen(true);
    TPortFake* d = port.Fake();
    EXPECT_TRUE(d->TracingOn()) << "a stored trace starts with the port";
    EXPECT_FALSE(d->LoggingOn());

    port.PutBlock("AB", 2);
    port.SetTracing(tlPause);
    EXPECT_EQ(port.Tracing(), tlPause);
    EXPECT_FALSE(d->TracingOn());
    port.PutBlock("x", 1);
    // Resuming keeps what was recorded; only a fresh start empties it.
    port.SetTracing(tlOn);
    EXPECT_TRUE(d->TracingOn());
    port.PutBlock("C", 1);
    port.SetTracing(tlDump);
    EXPECT_EQ(port.Tracing(), tlOff);
    EXPECT_FALSE(d->TracingOn());
    EXPECT_EQ(ReadFile(dir / "SERIAL.TRC"), "Transmit: \nABC");

    // Nothing to append from an idle trace; clearing keeps the state.
    port.SetTracing(tlAppend);
    EXPECT_EQ(ReadFile(dir / "SERIAL.TRC"), "Transmit: \nABC");
    port.SetTracing(tlOn);
    port.PutBlock("D", 1);
    port.SetTracing(tlClear);
    EXPECT_EQ(port.Tracing(), tlOn);
    port.PutBlock("E", 1);
    // A new size starts the running trace again, empty.
    port.SetTraceSize(500);
    EXPECT_EQ(port.Tracing(), tlOn);
    port.PutBlock("F", 1);
    port.SetTracing(tlAppend);
    EXPECT_EQ(ReadFile(dir / "SERIAL.TRC"), "Transmit: \nABCTransmit: \nF");

    port.SetLogging(tlOn);
    EXPECT_TRUE(d->LoggingOn());
    port.PutBlock("G", 1);
    // A paused trace stays off through a new size.
    port.SetTracing(tlOn);
    port.SetTracing(tlPause);
    port.SetTraceSize(600);
    EXPECT_EQ(port.Tracing(), tlOff);

    // Closing writes the running log.
    port.SetOpen(false);
    EXPECT_EQ(port.Logging(), tlOff);
    const auto log = Lines(ReadFile(dir / "SERIAL.LOG"));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0], "SERIAL v3.02");
}

TEST_F(SerPort, AFailedDumpStillClosesThePort)
{
    TempDir dir;
    TTestPort port;
    port.SetTraceName(dir / "missing/SERIAL.TRC");
    port.SetTracing(tlOn);
    port.SetOpen(true);
    port.PutBlock("A", 1);
    try {
        port.SetOpen(false);
        FAIL() << "a trace that cannot be written went unreported";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 3); // path not found
    }
    EXPECT_EQ(port.LinkState(), lsClosed);
    EXPECT_EQ(port.Fake(), nullptr);
    EXPECT_EQ(port.NotifyWindow(), 0u);
    EXPECT_EQ(port.Tracing(), tlOff);
}

// The reply worker reads while the owner thread closes and reopens the port,
// AutoOpen on as in the program: only the owner opens, the worker is told
// when there is nothing to read from.
TEST_F(SerPort, AWorkerReadsWhileThePortClosesAndReopens)
{
    TTestPort port;
    port.SetOpen(true);
    port.SetOpen(false);
    std::thread([&] {
        EXPECT_EQ(port.InputWaiting(), 0);
        std::uint8_t byte = 0;
        EXPECT_THROW(port.GetBlock(&byte, 1), ECommNotOpen);
    }).join();
    EXPECT_EQ(port.LinkState(), lsClosed);
    EXPECT_EQ(port.created, 1);

    port.SetOpen(true);
    std::atomic<bool> stop{false};
    std::atomic<int> bytesRead{0};
    std::thread worker([&] {
        std::uint8_t block[16];
        while (!stop.load()) {
            const std::uint16_t n = std::clamp<std::uint16_t>(port.InputWaiting(), 1, 16);
            try {
                bytesRead += port.GetBlock(block, n);
            } catch (const ESerialException&) {
                // Closed, or emptied by the close, since the count was taken.
            }
        }
    });
    int delivered = 0;
    for (int round = 0; round < 200; ++round) {
        TPortFake& d = *port.Fake();
        d.Deliver(Bytes(8, 0));
        d.FillInputBuffer();
        delivered += 8;
        port.SetOpen(false);
        port.SetOpen(true);
    }
    stop = true;
    worker.join();
    // No byte is handed out twice, whatever the interleaving.
    EXPECT_LE(bytesRead.load(), delivered);
    EXPECT_EQ(port.created, 202);
    EXPECT_EQ(port.LinkState(), lsOpen);
}

// While the port selection dialog waits for the operator, a request (the
// 100 ms tick's) finds the port not open instead of opening it once more;
// the open the dialog confirms gets the notification window.
TEST_F(SerPort, ARequestDuringThePortDialogDoesNotOpenAgain)
{
    TTestPort port;
    port.SetComNumber(0);
    int dialogs = 0;
    SetComSelectDialog([&](std::uint16_t& selected) {
        if (++dialogs == 1) {
            EXPECT_THROW(port.PurgeInput(), ECommNotOpen);
            EXPECT_EQ(port.created, 0);
        }
        selected = 2;
        return ModalResultOk;
    });
    std::vector<std::uint16_t> avails;
    port.SetOnTrigger(
        [&](TSerCustomComPort*, std::uint16_t msg, std::uint16_t count, std::uint16_t) {
            if (msg == TriggerAvailMsg) {
                avails.push_back(count);
            }
        });
    port.PurgeInput();
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(port.created, 1);
    ASSERT_EQ(port.LinkState(), lsOpen);
    port.Fake()->Deliver(Bytes(3, 0));
    port.Fake()->Pass();
    EXPECT_EQ(avails, std::vector<std::uint16_t>{3});
}

// --- On pseudo-terminals, with the real dispatcher and its threads.

namespace {

// Serves this thread's windows until done() holds; false after timeoutMs.
template <class Pred> bool ServeUntil(Pred done, std::uint32_t timeoutMs = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    platform::Event never(platform::Event::Kind::ManualReset);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        if (platform::WaitAnyOrMessage({&never}, 50) == 1) {
            platform::ProcessOnePendingMessage();
        }
    }
    return true;
}

class SerPortOnPty : public SerPort {
protected:
    testutil::ComDir dir;
    testutil::PtyPair com1;
    testutil::PtyPair com3;

    void SetUp() override
    {
        SerPort::SetUp();
        dir.Link(1, com1.SlavePath());
        dir.Link(3, com3.SlavePath());
    }
};

} // namespace

TEST_F(SerPortOnPty, SendsReceivesAndReportsWhyAPortWillNotOpen)
{
    // Another program holds COM3 (forked before any thread of ours runs).
    testutil::PortHolder holder(com3.SlavePath());
    TSerComPort port;
    port.SetComNumber(1);
    port.SetBaud(9600);
    std::string received;
    std::vector<std::uint16_t> counts;
    port.SetOnTrigger(
        [&](TSerCustomComPort* cp, std::uint16_t msg, std::uint16_t count, std::uint16_t) {
            if (msg != TriggerAvailMsg) {
                return;
            }
            counts.push_back(count);
            std::string block(cp->InputWaiting(), '\0');
            cp->GetBlock(block.data(), static_cast<std::uint16_t>(block.size()));
            received += block;
        });
    EXPECT_EQ(port.PutBlock("ping", 4), 0);
    EXPECT_EQ(port.LinkState(), lsOpen);
    EXPECT_EQ(com1.Read(4), "ping");
    com1.Write("hello");
    ASSERT_TRUE(ServeUntil([&] { return received == "hello"; })) << received;
    EXPECT_GE(counts.size(), 1u);
    EXPECT_EQ(port.InputWaiting(), 0);

    // A number that maps to nothing: the port is closed by the change. When
    // the dispatch thread was still finishing a delivery, the reopen waits
    // for the deferred close and its failure goes to the error display.
    bool raised = false;
    try {
        port.SetComNumber(2);
    } catch (const EBadId&) {
        raised = true;
    }
    ASSERT_TRUE(ServeUntil([&] { return port.LinkState() != lsClosing; }));
    EXPECT_EQ(port.LinkState(), lsClosed);
    EXPECT_FALSE(port.Open());
    if (!raised) {
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_TRUE(shown[0].starts_with("ie_BadId - Specified comport doesn't exist. COM2 "))
            << shown[0];
    }

    port.SetComNumber(3);
    try {
        port.PurgeInput();
        FAIL() << "a port held by another program opened";
    } catch (const EAlreadyOpen& e) {
        EXPECT_EQ(e.ErrorCode(), -2008);
    }
    EXPECT_EQ(port.LinkState(), lsClosed);

    // Back on COM1 the port opens on demand again.
    port.SetComNumber(1);
    port.PurgeOutput();
    EXPECT_EQ(port.LinkState(), lsOpen);
    com1.Write("again");
    ASSERT_TRUE(ServeUntil([&] { return received.ends_with("again"); })) << received;
}

TEST_F(SerPortOnPty, NoSpeedIsRefusedAndTheLineStaysUp)
{
    testutil::FakeUart uart; // speed 0 hangs a UART up
    {
        TSerComPort port;
        port.SetComNumber(1);
        port.SetBaud(9600);
        port.SetOpen(true);
        ASSERT_TRUE(uart.Dtr());
        for (const std::int32_t speed : {0, -9600}) {
            EXPECT_THROW(port.SetBaud(speed), EBadArgument) << speed;
            EXPECT_EQ(port.Baud(), 9600);
        }
        EXPECT_TRUE(uart.Dtr());
        EXPECT_EQ(uart.Speed(), 9600u);
        port.SetOpen(false);
    }
}

TEST_F(SerPortOnPty, AVanishedDeviceClosesThePortWhichOpensAgainOnceItIsBack)
{
    TSerComPort port;
    port.SetComNumber(1);
    port.PurgeInput();
    ASSERT_EQ(port.LinkState(), lsOpen);

    // The adapter is unplugged: its descriptor never works again.
    com1.CloseMaster();
    bool failed = false;
    ASSERT_TRUE(ServeUntil([&] {
        try {
            port.PurgeInput();
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.ErrorCode(), 1167);
            EXPECT_EQ(e.Message(), "The device is not connected. ");
            failed = true;
        }
        return failed;
    }));
    EXPECT_EQ(port.LinkState(), lsClosed);
    EXPECT_FALSE(port.Open());

    // Back under the same number: the next use opens the new device.
    testutil::PtyPair replugged;
    std::filesystem::remove(dir.Path() / "com1");
    dir.Link(1, replugged.SlavePath());
    EXPECT_EQ(port.PutBlock("ping", 4), 0);
    EXPECT_EQ(port.LinkState(), lsOpen);
    EXPECT_EQ(replugged.Read(4), "ping");
}

TEST_F(SerPortOnPty, CloseFromInsideOnTriggerReopensOnARealPort)
{
    TSerComPort port;
    port.SetComNumber(1);
    std::vector<TTriggerCall> calls;
    std::string received;
    port.SetOnTrigger(
        [&](TSerCustomComPort* cp, std::uint16_t msg, std::uint16_t handle, std::uint16_t data) {
            calls.push_back({msg, handle, data, cp->LinkState()});
            if (msg != TriggerAvailMsg) {
                return;
            }
            std::string block(cp->InputWaiting(), '\0');
            cp->GetBlock(block.data(), static_cast<std::uint16_t>(block.size()));
            received += block;
            if (received == "x") {
                cp->SetOpen(false);
                cp->SetOpen(true);
            }
        });
    port.SetOpen(true);
    com1.Write("x");
    ASSERT_TRUE(ServeUntil([&] {
        return port.LinkState() == lsOpen && !calls.empty() && calls.back().msg == PortClosedMsg;
    }));
    EXPECT_EQ(calls.back(), (TTriggerCall{PortClosedMsg, 0, 0, lsClosing}));
    com1.Write("y");
    ASSERT_TRUE(ServeUntil([&] { return received == "xy"; })) << received;
}

TEST_F(SerPortOnPty, DestroyingARealPortWithAPendingRelease)
{
    bool closed = false;
    auto port = std::make_unique<TSerComPort>();
    port->SetComNumber(1);
    port->SetOnTrigger([&](TSerCustomComPort* cp, std::uint16_t msg, std::uint16_t, std::uint16_t) {
        if (msg == TriggerAvailMsg && !closed) {
            closed = true;
            cp->SetOpen(false);
        }
    });
    port->SetOpen(true);
    com1.Write("z");
    ASSERT_TRUE(ServeUntil([&] { return closed; }));
    EXPECT_EQ(port->LinkState(), lsClosing);
    port.reset();
    // Nothing is left to deliver, and the device is free again.
    EXPECT_FALSE(platform::ProcessOnePendingMessage());
    TSerComPort again;
    again.SetComNumber(1);
    EXPECT_NO_THROW(again.SetOpen(true));
}

namespace {

// A dispatcher of a class derived from the Win32 one, without a destructor
// of its own, as a layer over it would be.
class TNotingDispatcher : public TSerWin32Dispatcher {
public:
    using TSerWin32Dispatcher::TSerWin32Dispatcher;
    platform::Event sending{platform::Event::Kind::ManualReset};

protected:
    bool SendToWindow(platform::WindowHandle window, std::uint32_t msg, std::uintptr_t wParam,
                      std::intptr_t lParam) override
    {
        sending.Set();
        return TSerWin32Dispatcher::SendToWindow(window, msg, wParam, lParam);
    }
};

class TNotingPort : public TSerComPort {
public:
    TNotingDispatcher* noting = nullptr;

protected:
    std::unique_ptr<TSerBaseDispatcher> CreateDispatcher() override
    {
        auto d = std::make_unique<TNotingDispatcher>(this);
        noting = d.get();
        return d;
    }
};

} // namespace

// The component frees a dispatcher of a derived class while its dispatch
// thread is inside a notification: the threads, which call the virtual
// operations, have stopped before the derived part goes (the race detector
// sees the difference).
TEST_F(SerPortOnPty, ADerivedDispatcherIsFreedOnlyOnceItsThreadsHaveStopped)
{
    for (int round = 0; round < 20; ++round) {
        auto port = std::make_unique<TNotingPort>();
        port->SetComNumber(1);
        port->SetOnTrigger([](TSerCustomComPort*, std::uint16_t, std::uint16_t, std::uint16_t) {});
        port->SetOpen(true);
        ASSERT_NE(port->noting, nullptr);
        com1.Write("n");
        // The send waits for this thread, which frees the port instead of serving it.
        ASSERT_TRUE(port->noting->sending.Wait(5000)) << "round " << round;
        port.reset();
        com1.Drain();
    }
}
