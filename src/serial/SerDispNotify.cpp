// Handlers, triggers and the notification passes of TSerBaseDispatcher:
// who is told, the checks that decide when, and the delivery with its
// read-ahead bookkeeping.
#include "serial/SerDisp.h"

#include "SerDispLog.h"

#include "platform/MessageWindow.h"

#include <algorithm>

namespace {

using Lock = platform::LockGuard<platform::RecursiveMutex>;
using namespace serdisp;

// Timer triggers count in ticks of 55 ms.
constexpr std::uint32_t TickMs = 55;
// Ticks of 55 ms: half the range of the millisecond clock counted in them,
// the distance past which a start tick ahead of the clock means it wrapped.
constexpr std::uint32_t TicksHalfRange = 39045157;

std::uint8_t Upper(std::uint8_t c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<std::uint8_t>(c - 'a' + 'A') : c;
}

// Advances a data trigger's partial matches by one received byte.
void RunMatcher(TDataTrigger& trigger, std::uint8_t byte)
{
    const std::uint32_t length =
        std::min<std::uint32_t>(trigger.matchLength, static_cast<std::uint32_t>(DataTriggerStates));
    const bool ignoreCase = trigger.ignoreCase != 0;
    const std::uint8_t c = ignoreCase ? Upper(byte) : byte;
    auto matchesAt = [&](std::uint32_t k) {
        std::uint8_t m = static_cast<std::uint8_t>(trigger.match[k]);
        return (ignoreCase ? Upper(m) : m) == c;
    };
    bool complete = false;
    // Longest partial matches first, so that no match advances twice on one byte.
    for (std::uint32_t k = length - 1; k >= 1; --k) {
        if (trigger.state[k] == 0) {
            continue;
        }
        trigger.state[k] = 0;
        if (matchesAt(k)) {
            if (k + 1 == length) {
                complete = true;
            } else {
                trigger.state[k + 1] = 1;
            }
        }
    }
    if (matchesAt(0)) {
        if (length == 1) {
            complete = true;
        } else {
            trigger.state[1] = 1;
        }
    }
    if (complete) {
        trigger.matched = 0xFFFFFFFFu;
        std::fill(std::begin(trigger.state), std::end(trigger.state), 0u);
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Handlers and triggers

void TSerBaseDispatcher::SetAvailLevel(std::uint32_t level)
{
    Lock lock(registry.mainLock);
    registry.availLevel = level;
    AddLogEntryLocked(LogTypeLevelChanged, LogSubAvailLevel, level, nullptr, 0);
    PublishReceiveNeedLocked();
}

void TSerBaseDispatcher::PublishReceiveNeedLocked()
{
    // A data trigger may match on any byte; below the avail level the
    // notification waits anyway, so the bytes before it need no pass each.
    ReceiveNeedChanged(AnyDataTriggerLocked() || registry.availLevel == 0 ? 1
                                                                          : registry.availLevel);
}

bool TSerBaseDispatcher::AnyDataTriggerLocked() const
{
    return std::any_of(registry.dataTriggers.begin(), registry.dataTriggers.end(),
                       [](const TDataTrigger& t) { return t.matchLength != 0; });
}

void TSerBaseDispatcher::AddWindowHandler(platform::WindowHandle window)
{
    Lock lock(registry.mainLock);
    registry.windowHandlers.push_back({window, false, std::this_thread::get_id()});
    registry.notifyEnabled = true;
    AddLogEntryLocked(LogTypeHandlerAdded, LogSubWindow, window, nullptr, 0);
}

template <class Record, class Match>
bool TSerBaseDispatcher::RemoveHandlerLocked(std::vector<Record>& list, Match match)
{
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const Record& h) { return !h.removed && match(h); });
    if (it == list.end()) {
        return false;
    }
    if (dispatching.load()) {
        it->removed = true;
        registry.removalPending = true;
    } else {
        list.erase(it);
    }
    return true;
}

void TSerBaseDispatcher::RemoveWindowHandler(platform::WindowHandle window)
{
    Lock lock(registry.mainLock);
    if (RemoveHandlerLocked(registry.windowHandlers,
                            [&](const TWindowHandler& h) { return h.window == window; })) {
        AddLogEntryLocked(LogTypeHandlerRemoved, LogSubWindow, window, nullptr, 0);
    }
    UpdateHandlerFlagsLocked(THandlerFlags::Recompute);
}

void TSerBaseDispatcher::AddProcedureHandler(TTriggerProc proc)
{
    Lock lock(registry.mainLock);
    registry.procedureHandlers.push_back({proc, false});
    registry.notifyEnabled = true;
}

void TSerBaseDispatcher::RemoveProcedureHandler(TTriggerProc proc)
{
    Lock lock(registry.mainLock);
    RemoveHandlerLocked(registry.procedureHandlers,
                        [&](const TProcedureHandler& h) { return h.proc == proc; });
    UpdateHandlerFlagsLocked(THandlerFlags::Recompute);
}

void TSerBaseDispatcher::AddMethodHandler(TTriggerMethod code, void* object, bool synchronize)
{
    Lock lock(registry.mainLock);
    registry.methodHandlers.push_back({code, object, false, synchronize});
    registry.notifyEnabled = true;
}

void TSerBaseDispatcher::RemoveMethodHandler(TTriggerMethod code, void* object)
{
    Lock lock(registry.mainLock);
    RemoveHandlerLocked(registry.methodHandlers, [&](const TMethodHandler& h) {
        return h.code == code && h.object == object;
    });
    UpdateHandlerFlagsLocked(THandlerFlags::Recompute);
}

std::size_t TSerBaseDispatcher::TRegistry::LiveWindowsLocked() const
{
    return static_cast<std::size_t>(std::count_if(windowHandlers.begin(), windowHandlers.end(),
                                                  [](const auto& h) { return !h.removed; }));
}

void TSerBaseDispatcher::TRegistry::RecomputeNotifyLocked()
{
    const auto live = [](const auto& h) { return !h.removed; };
    const bool others = LiveWindowsLocked() > 1 ||
                        std::any_of(procedureHandlers.begin(), procedureHandlers.end(), live) ||
                        std::any_of(methodHandlers.begin(), methodHandlers.end(), live);
    notifyEnabled = others || componentWantsTriggers;
}

void TSerBaseDispatcher::TRegistry::PurgeRemovedLocked()
{
    std::erase_if(windowHandlers, [](const TWindowHandler& h) { return h.removed; });
    std::erase_if(procedureHandlers, [](const TProcedureHandler& h) { return h.removed; });
    std::erase_if(methodHandlers, [](const TMethodHandler& h) { return h.removed; });
    removalPending = false;
}

void TSerBaseDispatcher::UpdateHandlerFlagsLocked(THandlerFlags flags)
{
    if (flags == THandlerFlags::ComponentOn) {
        registry.componentWantsTriggers = true;
        registry.notifyEnabled = true;
        return;
    }
    if (flags == THandlerFlags::ComponentOff) {
        registry.componentWantsTriggers = false;
    }
    registry.RecomputeNotifyLocked();
}

void TSerBaseDispatcher::UpdateHandlerFlags(THandlerFlags flags)
{
    Lock lock(registry.mainLock);
    UpdateHandlerFlagsLocked(flags);
}

void TSerBaseDispatcher::ClearTriggers()
{
    Lock lock(registry.mainLock);
    registry.availLevel = 0;
    registry.timerTriggers.clear();
    registry.dataTriggers.clear();
    registry.statusTriggers.clear();
    PublishReceiveNeedLocked();
}

void TSerBaseDispatcher::SaveTriggers(TTriggerSnapshot& snapshot)
{
    Lock lock(registry.mainLock);
    FreeTriggerSnapshot(snapshot);
    snapshot.availLevel = registry.availLevel;
    snapshot.timers = registry.timerTriggers;
    snapshot.data = registry.dataTriggers;
    snapshot.status = registry.statusTriggers;
}

void TSerBaseDispatcher::RestoreTriggers(const TTriggerSnapshot& snapshot)
{
    Lock lock(registry.mainLock);
    registry.availLevel = snapshot.availLevel;
    registry.timerTriggers = snapshot.timers;
    registry.dataTriggers = snapshot.data;
    registry.statusTriggers = snapshot.status;
    PublishReceiveNeedLocked();
}

void TSerBaseDispatcher::FreeTriggerSnapshot(TTriggerSnapshot& snapshot)
{
    snapshot.availLevel = 0;
    std::vector<TTimerTrigger>().swap(snapshot.timers);
    std::vector<TDataTrigger>().swap(snapshot.data);
    std::vector<TStatusTrigger>().swap(snapshot.status);
}

std::uint32_t TSerBaseDispatcher::StatusTriggerKind(std::uint32_t handle)
{
    Lock lock(registry.mainLock);
    for (const auto& t : registry.statusTriggers) {
        if (t.handle == handle) {
            return t.kind;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Notifications

void TSerBaseDispatcher::BeginHandler(std::thread::id thread)
{
    Lock in(input.inputLock);
    // A handler that outlasted its send may have read on since it was counted.
    input.NoteHandlerReadsLocked();
    input.readAheadCount = 0;
    input.handlerThread = thread;
}

// False when the port was closed meanwhile: the delivery ends here.
bool TSerBaseDispatcher::EndHandler()
{
    if (closeDeferred.load()) {
        return false;
    }
    Lock in(input.inputLock);
    input.NoteHandlerReadsLocked();
    return true;
}

template <class Record, class Deliver>
bool TSerBaseDispatcher::ForEachHandler(std::vector<Record> TRegistry::*list, Deliver deliver)
{
    for (std::size_t i = 0;; ++i) {
        Record h;
        {
            Lock lock(registry.mainLock);
            const std::vector<Record>& records = registry.*list;
            if (i >= records.size()) {
                return true;
            }
            h = records[i];
        }
        if (!h.removed && !deliver(h)) {
            return false;
        }
    }
}

bool TSerBaseDispatcher::RunHandlers(std::uint32_t message, std::uint32_t wParam,
                                     std::intptr_t lParam)
{
    const auto self = std::this_thread::get_id();
    const bool methods = ForEachHandler(&TRegistry::methodHandlers, [&](const TMethodHandler& h) {
        if (h.code == nullptr) {
            return true;
        }
        if (h.synchronize) {
            BeginHandler(std::thread::id());
            SynchronizeCall([&] {
                {
                    Lock in(input.inputLock);
                    input.handlerThread = std::this_thread::get_id();
                }
                h.code(h.object, message, wParam, lParam);
            });
        } else {
            BeginHandler(self);
            h.code(h.object, message, wParam, lParam);
        }
        return EndHandler();
    });
    if (!methods || !ForEachHandler(&TRegistry::procedureHandlers, [&](const TProcedureHandler& h) {
            if (h.proc == nullptr) {
                return true;
            }
            BeginHandler(self);
            h.proc(message, wParam, lParam);
            return EndHandler();
        })) {
        return false;
    }
    {
        Lock lock(registry.mainLock);
        if (registry.LiveWindowsLocked() <= 1 && !registry.componentWantsTriggers) {
            return true;
        }
    }
    // Threads whose handler outlasted its send: it may still be reading, and
    // the reads of another window of that thread could not be told from its
    // own, so such a window waits for the next notification.
    std::vector<std::thread::id> busyThreads;
    return ForEachHandler(&TRegistry::windowHandlers, [&](const TWindowHandler& h) {
        if (std::find(busyThreads.begin(), busyThreads.end(), h.ownerThread) != busyThreads.end()) {
            return true;
        }
        BeginHandler(h.ownerThread);
        // A window that does not answer in time is given up for this notification.
        if (!SendToWindow(h.window, message, wParam, lParam) && platform::IsWindow(h.window)) {
            busyThreads.push_back(h.ownerThread);
        }
        return EndHandler();
    });
}

bool TSerBaseDispatcher::NotifyHandlers(std::uint32_t message, std::uint32_t wParam,
                                        std::uint16_t data)
{
    if (!BeginDispatching()) {
        return true;
    }
    BeginReadAhead(message);
    // Whatever a handler throws, the notification state must not stay behind.
    struct Finish {
        TSerBaseDispatcher& d;
        bool normal = false;
        ~Finish() { d.EndNotification(normal); }
    } finish{*this};

    bool result = RunHandlers(message, wParam, NotificationParam(dispatcherHandle, data));
    if (result) {
        result = ConsumeReadAhead(message, wParam);
        finish.normal = true;
    }
    return result;
}

bool TSerBaseDispatcher::BeginDispatching()
{
    Lock lock(registry.mainLock);
    if (!registry.notifyEnabled) {
        return false;
    }
    dispatching.store(true);
    return true;
}

void TSerBaseDispatcher::BeginReadAhead(std::uint32_t message)
{
    Lock in(input.inputLock);
    input.readAheadMax = 0;
    input.readAheadCount = 0;
    input.readAheadFloor = 0;
    input.readAheadFrozen = false;
    input.readAheadLimit = 0;
    input.foreignTaken = 0;
    input.readAheadMode = message == TriggerAvailMsg || message == TriggerDataMsg;
    input.notifyThread = std::this_thread::get_id();
    input.handlerThread = input.notifyThread;
}

bool TSerBaseDispatcher::ConsumeReadAhead(std::uint32_t message, std::uint32_t wParam)
{
    Lock in(input.inputLock);
    if (!input.readAheadMode) {
        return true;
    }
    input.readAheadMode = false;
    // Also what a handler still running past its send has read so far.
    const std::uint32_t moved = input.readAheadFrozen ? input.readAheadLimit + input.foreignTaken
                                                      : input.HandlerFrontierLocked();
    input.Ring().Consumed(moved);
    return message != TriggerAvailMsg || moved == wParam;
}

void TSerBaseDispatcher::EndNotification(bool normal)
{
    {
        Lock in(input.inputLock);
        input.readAheadMode = false;
        input.notifyThread = std::thread::id();
        input.handlerThread = std::thread::id();
        if (normal) {
            input.readAheadCount = 0;
        }
    }
    Lock lock(registry.mainLock);
    dispatching.store(false);
    if (registry.removalPending) {
        registry.PurgeRemovedLocked();
        UpdateHandlerFlagsLocked(THandlerFlags::Recompute);
    }
}

bool TSerBaseDispatcher::CheckDataAndAvail()
{
    dispatchThread.Assume();
    std::uint32_t head = 0;
    std::uint64_t total = 0;
    {
        Lock in(input.inputLock);
        if (!input.buffer) {
            return false;
        }
        head = input.head;
        total = input.receivedTotal;
    }
    bool anyData = false;
    const std::uint32_t level = AvailLevel(anyData);
    // Counted, not compared: a fill of a whole ring brings the head back to
    // where the scan stopped.
    if (!anyData) {
        unscannedBytes = 0;
    }
    std::uint32_t pos = scanPosition;
    while (unscannedBytes > 0) {
        std::uint8_t byte = 0;
        std::uint32_t next = 0;
        if (!ScannedByte(pos, byte, next)) {
            return false;
        }
        std::size_t records = 0;
        const std::uint32_t longest = RunDataTriggers(byte, records);
        --unscannedBytes;
        if (longest != 0) {
            const bool result = NotifyMatch(pos, level, longest, records);
            scanPosition = next;
            return result;
        }
        pos = next;
    }
    scanPosition = head;
    return NotifyAvailLevel(head, total, level);
}

std::uint32_t TSerBaseDispatcher::AvailLevel(bool& anyData)
{
    Lock lock(registry.mainLock);
    anyData = AnyDataTriggerLocked();
    return registry.availLevel;
}

bool TSerBaseDispatcher::ScannedByte(std::uint32_t pos, std::uint8_t& byte, std::uint32_t& next)
{
    Lock in(input.inputLock);
    if (!input.buffer) {
        return false;
    }
    const platform::Ring ring = input.Ring();
    byte = ring.ByteAt(pos);
    next = ring.Step(pos, 1);
    return true;
}

std::uint32_t TSerBaseDispatcher::RunDataTriggers(std::uint8_t byte, std::size_t& records)
{
    std::uint32_t longest = 0;
    Lock lock(registry.mainLock);
    records = registry.dataTriggers.size();
    for (auto& t : registry.dataTriggers) {
        if (t.matchLength == 0) {
            continue;
        }
        RunMatcher(t, byte);
        if (t.matched != 0) {
            longest = std::max(longest, t.matchLength);
        }
    }
    return longest;
}

bool TSerBaseDispatcher::NotifyAvailLevel(std::uint32_t head, std::uint64_t total,
                                          std::uint32_t level)
{
    const std::uint32_t n = InputCount();
    if (level == 0 || noticedTotal == total || n < level) {
        return false;
    }
    AddLogEntry(LogTypeTrigger, LogSubAvail, n, nullptr, 0);
    const bool result = NotifyHandlers(TriggerAvailMsg, n, 0);
    lastNoticePosition = head;
    noticedTotal = total;
    return result;
}

// A data trigger matched at pos: first an avail notice for the bytes before
// the match, when there are enough of them, then the matched triggers', the
// last record first.
bool TSerBaseDispatcher::NotifyMatch(std::uint32_t pos, std::uint32_t level, std::uint32_t longest,
                                     std::size_t records)
{
    dispatchThread.Assume();
    bool result = true;
    if (level != 0 && lastNoticePosition != pos) {
        std::int64_t before = 0;
        {
            Lock in(input.inputLock);
            const std::uint32_t held = input.HeldLocked();
            const std::uint32_t distance = input.Ring().Offset(pos);
            before = distance < held ? static_cast<std::int64_t>(distance) + 1 : 0;
            if (input.readAheadMode) {
                before -= input.readAheadCount;
            }
        }
        before -= longest;
        if (before >= static_cast<std::int64_t>(level)) {
            AddLogEntry(LogTypeTrigger, LogSubAvail, static_cast<std::uint32_t>(before), nullptr,
                        0);
            result = NotifyHandlers(TriggerAvailMsg, static_cast<std::uint32_t>(before), 0);
            scanPosition = lastNoticePosition = pos;
        }
    }
    for (std::size_t i = records; i-- > 0;) {
        std::uint32_t handle = 0;
        std::uint32_t length = 0;
        {
            Lock lock(registry.mainLock);
            auto& triggers = registry.dataTriggers;
            if (i >= triggers.size() || triggers[i].matched == 0) {
                continue;
            }
            triggers[i].matched = 0;
            handle = triggers[i].handle;
            length = triggers[i].matchLength;
            AddLogEntryLocked(LogTypeTrigger, LogSubData, handle, nullptr, 0);
        }
        result = NotifyHandlers(TriggerDataMsg, handle, static_cast<std::uint16_t>(length));
    }
    return result;
}

bool TSerBaseDispatcher::CheckStatusTriggers()
{
    bool needOutput = false;
    {
        Lock lock(registry.mainLock);
        if (registry.statusTriggers.empty()) {
            return false;
        }
        for (const auto& t : registry.statusTriggers) {
            needOutput =
                needOutput || (t.active && !t.hit &&
                               (t.kind == StatusKindOutFree || t.kind == StatusKindOutUsed));
        }
    }
    // The transmit count needs outputLock, which is never taken with mainLock.
    const std::uint32_t used = needOutput ? OutputUsed() : 0;
    std::uint32_t handle = 0;
    std::uint16_t data = 0;
    {
        Lock lock(registry.mainLock);
        if (!FireStatusTriggerLocked(used, handle, data)) {
            return false;
        }
    }
    return NotifyHandlers(TriggerStatusMsg, handle, data);
}

bool TSerBaseDispatcher::FireStatusTriggerLocked(std::uint32_t used, std::uint32_t& handle,
                                                 std::uint16_t& data)
{
    for (TStatusTrigger& t : registry.statusTriggers) {
        if (!t.active || t.hit) {
            continue;
        }
        bool fire = false;
        std::uint32_t value = 0;
        switch (t.kind) {
        case StatusKindModem:
            // Low byte: the levels to compare with; high byte: the lines that count.
            fire = (((t.value & 0xFFu) ^ registry.modemStatusByte) & (t.value >> 8)) != 0;
            break;
        case StatusKindLineError: {
            const std::uint32_t bits = lineErrorBits.load();
            if ((t.value & bits) != 0) {
                fire = true;
                t.value = static_cast<std::uint16_t>(bits);
            }
            break;
        }
        case StatusKindOutFree: {
            const std::uint32_t size = outQueueSize.load();
            const std::uint32_t free = size > used ? size - used : 0;
            fire = free >= t.value;
            value = free;
            break;
        }
        case StatusKindOutUsed:
            fire = used <= t.value;
            value = used;
            break;
        case StatusKindOutSent:
            fire = outputSent.exchange(false);
            break;
        default:
            break;
        }
        if (fire) {
            t.active = 0;
            t.hit = 1;
            registry.statusHitSeen = true;
            handle = t.handle;
            data = static_cast<std::uint16_t>(value);
            AddLogEntryLocked(LogTypeTrigger, LogSubStatus, handle, nullptr, 0);
            return true;
        }
    }
    return false;
}

bool TSerBaseDispatcher::CheckTimerTriggers()
{
    std::uint32_t handle = 0;
    {
        Lock lock(registry.mainLock);
        auto& timers = registry.timerTriggers;
        if (timers.empty()) {
            return false;
        }
        const std::uint32_t now = ClockMs() / TickMs;
        auto it = std::find_if(timers.begin(), timers.end(), [&](const TTimerTrigger& t) {
            if (!t.active) {
                return false;
            }
            return t.expireTick < now || (now < t.startTick && t.expireTick < now + TicksHalfRange);
        });
        if (it == timers.end()) {
            return false;
        }
        it->active = 0;
        handle = it->handle;
        AddLogEntryLocked(LogTypeTrigger, LogSubTimer, handle, nullptr, 0);
    }
    return NotifyHandlers(TriggerTimerMsg, handle, 0);
}

void TSerBaseDispatcher::ClearStatusHits()
{
    Lock lock(registry.mainLock);
    if (!registry.statusHitSeen) {
        return;
    }
    for (auto& t : registry.statusTriggers) {
        t.hit = 0;
    }
    registry.statusHitSeen = false;
}

// ---------------------------------------------------------------------------
// Passes

void TSerBaseDispatcher::ProcessCommEvents()
{
    if (const std::uint32_t events = pendingEventMask.exchange(0); events != 0) {
        lastEventMask.store(events);
    }
    const std::uint32_t mask = lastEventMask.load();
    auto statusLoop = [&] {
        while (CheckStatusTriggers()) {
            if (closeDeferred.load()) {
                return false;
            }
        }
        return !closeDeferred.load();
    };
    if (mask & (platform::EvCts | platform::EvDsr | platform::EvRlsd | platform::EvRing |
                platform::EvRingTrailingEdge)) {
        UpdateModemChanges();
        if (!dispatching.load()) {
            if (!statusLoop()) {
                return;
            }
            ClearStatusHits();
        }
    }
    if (mask & (platform::EvBreak | platform::EvErr)) {
        RefreshLineErrors();
        if (!dispatching.load()) {
            if (!statusLoop()) {
                return;
            }
            ClearStatusHits();
        }
    }
    FillInputBuffer();
    if (!dispatching.load()) {
        if (!statusLoop()) {
            return;
        }
        while (CheckDataAndAvail()) {
            if (closeDeferred.load()) {
                return;
            }
        }
        if (closeDeferred.load()) {
            return;
        }
    }
    ClearStatusHits();
    EventPassDone();
}

void TSerBaseDispatcher::ProcessTimers()
{
    if (closeDeferred.load() || dispatching.load()) {
        return;
    }
    {
        Lock lock(registry.mainLock);
        registry.statusHitSeen = false;
    }
    while ((CheckStatusTriggers() || CheckTimerTriggers()) && !closeDeferred.load()) {
    }
    ClearStatusHits();
}
