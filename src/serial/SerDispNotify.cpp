// Handlers, triggers and the notification passes of TSerBaseDispatcher:
// who is told, the checks that decide when, and the delivery with its
// read-ahead bookkeeping.
#include "serial/SerDisp.h"

#include "SerDispLog.h"

#include "platform/MessageWindow.h"

#include <algorithm>

namespace {

using Lock = std::lock_guard<std::recursive_mutex>;
using namespace serdisp;

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
    Lock lock(mainLock);
    availLevel = level;
    AddLogEntry(LogTypeLevelChanged, LogSubAvailLevel, level, nullptr, 0);
}

void TSerBaseDispatcher::AddWindowHandler(platform::WindowHandle window)
{
    Lock lock(mainLock);
    windowHandlers.push_back({window, false, std::this_thread::get_id()});
    notifyEnabled = true;
    AddLogEntry(LogTypeHandlerAdded, LogSubWindow, window, nullptr, 0);
}

void TSerBaseDispatcher::RemoveWindowHandler(platform::WindowHandle window)
{
    Lock lock(mainLock);
    auto it =
        std::find_if(windowHandlers.begin(), windowHandlers.end(),
                     [&](const TWindowHandler& h) { return h.window == window && !h.removed; });
    if (it != windowHandlers.end()) {
        if (dispatching.load()) {
            it->removed = true;
            removalPending = true;
        } else {
            windowHandlers.erase(it);
        }
        AddLogEntry(LogTypeHandlerRemoved, LogSubWindow, window, nullptr, 0);
    }
    UpdateHandlerFlags(0);
}

void TSerBaseDispatcher::AddProcedureHandler(TTriggerProc proc)
{
    Lock lock(mainLock);
    procedureHandlers.push_back({proc, false});
    notifyEnabled = true;
}

void TSerBaseDispatcher::RemoveProcedureHandler(TTriggerProc proc)
{
    Lock lock(mainLock);
    auto it =
        std::find_if(procedureHandlers.begin(), procedureHandlers.end(),
                     [&](const TProcedureHandler& h) { return h.proc == proc && !h.removed; });
    if (it != procedureHandlers.end()) {
        if (dispatching.load()) {
            it->removed = true;
            removalPending = true;
        } else {
            procedureHandlers.erase(it);
        }
    }
    UpdateHandlerFlags(0);
}

void TSerBaseDispatcher::AddMethodHandler(TTriggerMethod code, void* object, bool synchronize)
{
    Lock lock(mainLock);
    methodHandlers.push_back({code, object, false, synchronize});
    notifyEnabled = true;
}

void TSerBaseDispatcher::RemoveMethodHandler(TTriggerMethod code, void* object)
{
    Lock lock(mainLock);
    auto it =
        std::find_if(methodHandlers.begin(), methodHandlers.end(), [&](const TMethodHandler& h) {
            return h.code == code && h.object == object && !h.removed;
        });
    if (it != methodHandlers.end()) {
        if (dispatching.load()) {
            it->removed = true;
            removalPending = true;
        } else {
            methodHandlers.erase(it);
        }
    }
    UpdateHandlerFlags(0);
}

void TSerBaseDispatcher::RecomputeNotifyLocked()
{
    std::size_t windows = 0;
    for (const auto& h : windowHandlers) {
        windows += h.removed ? 0 : 1;
    }
    bool others = windows > 1;
    for (const auto& h : procedureHandlers) {
        others = others || !h.removed;
    }
    for (const auto& h : methodHandlers) {
        others = others || !h.removed;
    }
    notifyEnabled = others || componentWantsTriggers;
}

void TSerBaseDispatcher::UpdateHandlerFlags(int mode)
{
    Lock lock(mainLock);
    if (mode == 1) {
        componentWantsTriggers = true;
        notifyEnabled = true;
        return;
    }
    if (mode == 2) {
        componentWantsTriggers = false;
    }
    RecomputeNotifyLocked();
}

void TSerBaseDispatcher::ClearTriggers()
{
    Lock lock(mainLock);
    availLevel = 0;
    timerTriggers.clear();
    dataTriggers.clear();
    statusTriggers.clear();
}

void TSerBaseDispatcher::SaveTriggers(TTriggerSnapshot& snapshot)
{
    Lock lock(mainLock);
    FreeTriggerSnapshot(snapshot);
    snapshot.availLevel = availLevel;
    snapshot.timers = timerTriggers;
    snapshot.data = dataTriggers;
    snapshot.status = statusTriggers;
}

void TSerBaseDispatcher::RestoreTriggers(const TTriggerSnapshot& snapshot)
{
    Lock lock(mainLock);
    availLevel = snapshot.availLevel;
    timerTriggers = snapshot.timers;
    dataTriggers = snapshot.data;
    statusTriggers = snapshot.status;
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
    Lock lock(mainLock);
    for (const auto& t : statusTriggers) {
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
    Lock in(inputLock);
    // A handler that outlasted its send may have read on since it was counted.
    readAheadMax = std::max(readAheadMax, static_cast<std::uint32_t>(std::max(readAheadCount, 0)));
    readAheadCount = 0;
    handlerThread = thread;
}

// False when the port was closed meanwhile: the delivery ends here.
bool TSerBaseDispatcher::EndHandler()
{
    if (closeDeferred.load()) {
        return false;
    }
    Lock in(inputLock);
    readAheadMax = std::max(readAheadMax, static_cast<std::uint32_t>(std::max(readAheadCount, 0)));
    return true;
}

bool TSerBaseDispatcher::RunHandlers(std::uint32_t message, std::uint32_t wParam,
                                     std::intptr_t lParam)
{
    const auto self = std::this_thread::get_id();
    // Records are copied out one at a time: handlers may add or remove
    // handlers, and removal only marks records while dispatching.
    for (std::size_t i = 0;; ++i) {
        TMethodHandler h;
        {
            Lock lock(mainLock);
            if (i >= methodHandlers.size()) {
                break;
            }
            h = methodHandlers[i];
        }
        if (h.removed || h.code == nullptr) {
            continue;
        }
        if (h.synchronize) {
            BeginHandler(std::thread::id());
            SynchronizeCall([&] {
                {
                    Lock in(inputLock);
                    handlerThread = std::this_thread::get_id();
                }
                h.code(h.object, message, wParam, lParam);
            });
        } else {
            BeginHandler(self);
            h.code(h.object, message, wParam, lParam);
        }
        if (!EndHandler()) {
            return false;
        }
    }
    for (std::size_t i = 0;; ++i) {
        TProcedureHandler h;
        {
            Lock lock(mainLock);
            if (i >= procedureHandlers.size()) {
                break;
            }
            h = procedureHandlers[i];
        }
        if (h.removed || h.proc == nullptr) {
            continue;
        }
        BeginHandler(self);
        h.proc(message, wParam, lParam);
        if (!EndHandler()) {
            return false;
        }
    }
    bool windowsWanted = false;
    {
        Lock lock(mainLock);
        std::size_t windows = 0;
        for (const auto& h : windowHandlers) {
            windows += h.removed ? 0 : 1;
        }
        windowsWanted = windows > 1 || componentWantsTriggers;
    }
    if (!windowsWanted) {
        return true;
    }
    // Threads whose handler outlasted its send: it may still be reading, and
    // the reads of another window of that thread could not be told from its
    // own, so such a window waits for the next notification.
    std::vector<std::thread::id> busyThreads;
    for (std::size_t i = 0;; ++i) {
        TWindowHandler h;
        {
            Lock lock(mainLock);
            if (i >= windowHandlers.size()) {
                break;
            }
            h = windowHandlers[i];
        }
        if (h.removed ||
            std::find(busyThreads.begin(), busyThreads.end(), h.ownerThread) != busyThreads.end()) {
            continue;
        }
        BeginHandler(h.ownerThread);
        // A window that does not answer in time is given up for this notification.
        if (!SendToWindow(h.window, message, wParam, lParam) && platform::IsWindow(h.window)) {
            busyThreads.push_back(h.ownerThread);
        }
        if (!EndHandler()) {
            return false;
        }
    }
    return true;
}

bool TSerBaseDispatcher::NotifyHandlers(std::uint32_t message, std::uint32_t wParam,
                                        std::uint16_t data)
{
    {
        Lock lock(mainLock);
        if (!notifyEnabled) {
            return true;
        }
        dispatching.store(true);
    }
    {
        Lock in(inputLock);
        readAheadMax = 0;
        readAheadCount = 0;
        readAheadFloor = 0;
        readAheadFrozen = false;
        readAheadLimit = 0;
        foreignTaken = 0;
        readAheadMode = message == TriggerAvailMsg || message == TriggerDataMsg;
        notifyThread = std::this_thread::get_id();
        handlerThread = notifyThread;
    }
    const std::intptr_t lParam = static_cast<std::intptr_t>(dispatcherHandle) * 65536 + data;

    // Whatever a handler throws, the notification state must not stay behind.
    struct Finish {
        TSerBaseDispatcher& d;
        bool normal = false;
        ~Finish()
        {
            {
                Lock in(d.inputLock);
                d.readAheadMode = false;
                d.notifyThread = std::thread::id();
                d.handlerThread = std::thread::id();
                if (normal) {
                    d.readAheadCount = 0;
                }
            }
            Lock lock(d.mainLock);
            d.dispatching.store(false);
            if (d.removalPending) {
                d.PurgeRemovedHandlers();
            }
        }
    } finish{*this};

    bool result = RunHandlers(message, wParam, lParam);
    if (result) {
        Lock in(inputLock);
        if (readAheadMode) {
            readAheadMode = false;
            // Also what a handler still running past its send has read so far.
            const std::uint32_t moved =
                readAheadFrozen ? readAheadLimit + foreignTaken : HandlerFrontierLocked();
            InputRing().Consumed(moved);
            if (message == TriggerAvailMsg && moved != wParam) {
                result = false;
            }
        }
        finish.normal = true;
    }
    return result;
}

void TSerBaseDispatcher::PurgeRemovedHandlers()
{
    Lock lock(mainLock);
    std::erase_if(windowHandlers, [](const TWindowHandler& h) { return h.removed; });
    std::erase_if(procedureHandlers, [](const TProcedureHandler& h) { return h.removed; });
    std::erase_if(methodHandlers, [](const TMethodHandler& h) { return h.removed; });
    removalPending = false;
    UpdateHandlerFlags(0);
}

bool TSerBaseDispatcher::CheckDataAndAvail()
{
    std::uint32_t head = 0;
    std::uint64_t total = 0;
    {
        Lock in(inputLock);
        if (!inBuffer) {
            return false;
        }
        head = inHead;
        total = receivedTotal;
    }
    std::uint32_t level = 0;
    bool anyData = false;
    {
        Lock lock(mainLock);
        level = availLevel;
        for (const auto& t : dataTriggers) {
            anyData = anyData || t.matchLength != 0;
        }
    }
    std::uint32_t pos = scanPosition;
    // Counted, not compared: a fill of a whole ring brings the head back to
    // where the scan stopped.
    if (!anyData) {
        unscannedBytes = 0;
    }
    while (anyData && unscannedBytes > 0) {
        std::uint8_t byte = 0;
        std::uint32_t next = 0;
        {
            Lock in(inputLock);
            if (!inBuffer) {
                return false;
            }
            const platform::Ring ring = InputRing();
            byte = ring.ByteAt(pos);
            next = ring.Step(pos, 1);
        }
        std::uint32_t longest = 0;
        std::size_t records = 0;
        {
            Lock lock(mainLock);
            records = dataTriggers.size();
            for (auto& t : dataTriggers) {
                if (t.matchLength == 0) {
                    continue;
                }
                RunMatcher(t, byte);
                if (t.matched != 0) {
                    longest = std::max(longest, t.matchLength);
                }
            }
        }
        --unscannedBytes;
        if (longest == 0) {
            pos = next;
            continue;
        }
        bool result = true;
        if (level != 0 && lastNoticePosition != pos) {
            std::int64_t before = 0;
            {
                Lock in(inputLock);
                const std::uint32_t held = HeldLocked();
                const std::uint32_t distance = InputRing().Offset(pos);
                before = distance < held ? static_cast<std::int64_t>(distance) + 1 : 0;
                if (readAheadMode) {
                    before -= readAheadCount;
                }
            }
            before -= longest;
            if (before >= static_cast<std::int64_t>(level)) {
                AddLogEntry(LogTypeTrigger, LogSubAvail, static_cast<std::uint32_t>(before),
                            nullptr, 0);
                result = NotifyHandlers(TriggerAvailMsg, static_cast<std::uint32_t>(before), 0);
                scanPosition = lastNoticePosition = pos;
            }
        }
        for (std::size_t i = records; i-- > 0;) {
            std::uint32_t handle = 0;
            std::uint32_t length = 0;
            {
                Lock lock(mainLock);
                if (i >= dataTriggers.size() || dataTriggers[i].matched == 0) {
                    continue;
                }
                dataTriggers[i].matched = 0;
                handle = dataTriggers[i].handle;
                length = dataTriggers[i].matchLength;
                AddLogEntry(LogTypeTrigger, LogSubData, handle, nullptr, 0);
            }
            result = NotifyHandlers(TriggerDataMsg, handle, static_cast<std::uint16_t>(length));
        }
        scanPosition = next;
        return result;
    }
    pos = head;
    scanPosition = pos;

    const std::uint32_t n = InputCount();
    if (level != 0 && noticedTotal != total && n >= level) {
        AddLogEntry(LogTypeTrigger, LogSubAvail, n, nullptr, 0);
        const bool result = NotifyHandlers(TriggerAvailMsg, n, 0);
        lastNoticePosition = pos;
        noticedTotal = total;
        return result;
    }
    return false;
}

bool TSerBaseDispatcher::CheckStatusTriggers()
{
    bool needOutput = false;
    {
        Lock lock(mainLock);
        if (statusTriggers.empty()) {
            return false;
        }
        for (const auto& t : statusTriggers) {
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
        Lock lock(mainLock);
        auto it = statusTriggers.begin();
        for (; it != statusTriggers.end(); ++it) {
            TStatusTrigger& t = *it;
            if (!t.active || t.hit) {
                continue;
            }
            bool fire = false;
            std::uint32_t value = 0;
            switch (t.kind) {
            case StatusKindModem:
                fire = (((t.value & 0xFFu) ^ modemStatusByte) & (t.value >> 8)) != 0;
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
                const std::uint32_t free = outQueueSize > used ? outQueueSize - used : 0;
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
                statusHitSeen = true;
                handle = t.handle;
                data = static_cast<std::uint16_t>(value);
                AddLogEntry(LogTypeTrigger, LogSubStatus, handle, nullptr, 0);
                break;
            }
        }
        if (it == statusTriggers.end()) {
            return false;
        }
    }
    return NotifyHandlers(TriggerStatusMsg, handle, data);
}

bool TSerBaseDispatcher::CheckTimerTriggers()
{
    std::uint32_t handle = 0;
    {
        Lock lock(mainLock);
        if (timerTriggers.empty()) {
            return false;
        }
        const std::uint32_t now = ClockMs() / 55;
        auto it =
            std::find_if(timerTriggers.begin(), timerTriggers.end(), [&](const TTimerTrigger& t) {
                if (!t.active) {
                    return false;
                }
                return t.expireTick < now ||
                       (now < t.startTick && t.expireTick < now + TicksHalfRange);
            });
        if (it == timerTriggers.end()) {
            return false;
        }
        it->active = 0;
        handle = it->handle;
        AddLogEntry(LogTypeTrigger, LogSubTimer, handle, nullptr, 0);
    }
    return NotifyHandlers(TriggerTimerMsg, handle, 0);
}

void TSerBaseDispatcher::ClearStatusHits()
{
    Lock lock(mainLock);
    if (!statusHitSeen) {
        return;
    }
    for (auto& t : statusTriggers) {
        t.hit = 0;
    }
    statusHitSeen = false;
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
        Lock lock(mainLock);
        statusHitSeen = false;
    }
    while ((CheckStatusTriggers() || CheckTimerTriggers()) && !closeDeferred.load()) {
    }
    ClearStatusHits();
}
