#include "platform/MessageWindow.h"

#include "Hooks.h"
#include "WaitUtil.h"
#include "platform/Sync.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace platform {

namespace {

struct ThreadQueue;

enum class SendStatus { Pending, Running, Done, Failed };

// One blocking send. Its status is guarded by the receiving queue's mutex.
struct SendState {
    SendStatus status = SendStatus::Pending;
    std::intptr_t result = 0;
    std::shared_ptr<detail::Waiter> sender; // woken when the send has ended
};

struct Message {
    WindowHandle window = 0;
    std::uint32_t msg = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
    std::shared_ptr<SendState> send; // null for a posted message
};

// The messages of one thread. It has no descriptor of its own: while the
// owner waits for messages (a MessageWatch), a new one signals the owner's
// waiter. A thread that runs Qt's loop is woken through the bridge instead,
// and signalling a waiter nobody polls would cost every message a system call.
struct ThreadQueue : std::enable_shared_from_this<ThreadQueue> {
    ThreadQueue() : mainThread(::gettid() == ::getpid()) {}
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;

    std::mutex mutex;
    std::deque<Message> messages;
    std::size_t sentCount = 0;
    bool dead = false;
    // The owner waits for any message, or for sent ones (changed by the
    // owner only), on this waiter.
    int watchers = 0;
    int sentWatchers = 0;
    std::shared_ptr<detail::Waiter> waiter;

    const bool mainThread;

    // Owner thread only.
    std::function<void(std::exception_ptr)> guard;
};

bool DeliverOne(ThreadQueue& q, bool sentOnly);
ThreadQueue& OwnQueue();

int BridgeEventType()
{
    static const int type = QEvent::registerEventType();
    return type;
}

// Lets the Qt event loop of the main thread deliver that thread's messages:
// every wake posts one event, which delivers one message and posts the next,
// so Qt's own events interleave with ours. Only the main thread has one:
// that is where the application object runs its loop.
class Bridge final : public QObject {
protected:
    void customEvent(QEvent* e) override;
};

// The bridge has a mutex of its own, taken by every thread that posts to it
// and by whoever creates or deletes it. The main thread's delivery only
// clears posted, an atomic, so that it never waits for a poster still inside
// Qt's wake-up. Never destroyed, like the window registry.
struct MainBridge {
    std::mutex mutex;
    Bridge* bridge = nullptr; // while an application object exists
    // An event is on its way; set under mutex, cleared by the delivery.
    std::atomic<bool> posted{false};
    // Counts the events handed to Qt. Qt's event queue hands them over under
    // a lock the thread checker cannot see; releasing here and acquiring in
    // the delivery makes that hand-over visible to it.
    std::atomic<unsigned> handed{0};
};

MainBridge& TheBridge()
{
    static MainBridge* bridge = new MainBridge;
    return *bridge;
}

void DetachBridge()
{
    MainBridge& b = TheBridge();
    Bridge* bridge = nullptr;
    {
        const std::lock_guard lock(b.mutex);
        bridge = std::exchange(b.bridge, nullptr);
        b.posted.store(false);
    }
    delete bridge;
}

// Has the main thread's loop deliver q's next message. Called without
// q.mutex or the registry's lock, so that the woken thread does not find
// them held: a wake that comes after the bridge's event already took the
// message only posts an event that delivers nothing.
void WakeBridge(const ThreadQueue& q)
{
    if (!q.mainThread)
        return;
    MainBridge& b = TheBridge();
    const std::lock_guard lock(b.mutex);
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || b.posted.exchange(true, std::memory_order_acq_rel))
        return;
    if (b.bridge == nullptr) {
        b.bridge = new Bridge;
        if (b.bridge->thread() != app->thread())
            b.bridge->moveToThread(app->thread());
        QObject::connect(app, &QObject::destroyed, [] { DetachBridge(); });
    }
    auto* event = new QEvent(static_cast<QEvent::Type>(BridgeEventType()));
    b.handed.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(b.bridge, event);
}

void Bridge::customEvent(QEvent* e)
{
    try {
        (void)TheBridge().handed.load(std::memory_order_acquire);
        if (e->type() != static_cast<QEvent::Type>(BridgeEventType()))
            return;
        // Before the delivery: a message queued after it posts anew.
        TheBridge().posted.store(false, std::memory_order_release);
        ThreadQueue& q = OwnQueue();
        DeliverOne(q, false);
        bool more = false;
        {
            const std::lock_guard lock(q.mutex);
            more = !q.messages.empty();
        }
        if (more)
            WakeBridge(q);
    } catch (...) {
        // Nothing may cross into Qt's loop; window procedures are guarded
        // already, so only a failure to allocate ends up here.
    }
}

struct WindowEntry {
    std::shared_ptr<const WindowProc> proc;
    std::shared_ptr<ThreadQueue> owner;
};

// Never destroyed: threads may still end (and drop their windows) while
// static objects are being torn down.
struct Registry {
    std::mutex mutex;
    std::unordered_map<WindowHandle, WindowEntry> windows;
    WindowHandle next = 1;
};

Registry& Windows()
{
    static Registry* registry = new Registry;
    return *registry;
}

void ShutdownQueue(const std::shared_ptr<ThreadQueue>& q);

struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;
    ~QueueHolder()
    {
        if (queue)
            ShutdownQueue(queue);
    }
};

thread_local QueueHolder currentQueue;

ThreadQueue& OwnQueue()
{
    if (!currentQueue.queue)
        currentQueue.queue = std::make_shared<ThreadQueue>();
    return *currentQueue.queue;
}

void ReleaseSenders(const std::vector<std::shared_ptr<SendState>>& sends)
{
    for (const auto& s : sends)
        s->sender->Signal();
}

// Under q.mutex: drops the messages for which drop() holds, failing their senders.
template <typename Pred>
std::vector<std::shared_ptr<SendState>> DropMessages(ThreadQueue& q, Pred drop)
{
    std::vector<std::shared_ptr<SendState>> released;
    for (auto it = q.messages.begin(); it != q.messages.end();) {
        if (!drop(*it)) {
            ++it;
            continue;
        }
        if (it->send) {
            it->send->status = SendStatus::Failed;
            --q.sentCount;
            released.push_back(std::move(it->send));
        }
        it = q.messages.erase(it);
    }
    return released;
}

// A thread that ends takes its windows with it; senders waiting on it are released.
void ShutdownQueue(const std::shared_ptr<ThreadQueue>& q)
{
    std::vector<std::shared_ptr<SendState>> released;
    {
        Registry& r = Windows();
        const std::lock_guard registryLock(r.mutex);
        std::erase_if(r.windows, [&](const auto& item) { return item.second.owner == q; });
        const std::lock_guard lock(q->mutex);
        q->dead = true;
        released = DropMessages(*q, [](const Message&) { return true; });
    }
    ReleaseSenders(released);
    if (q->mainThread)
        DetachBridge();
}

void HandleException(ThreadQueue& q, std::exception_ptr error)
{
    if (!q.guard)
        return;
    try {
        q.guard(std::move(error));
    } catch (...) {
        // The guard is the last line; nothing may leave through it.
    }
}

std::intptr_t CallProc(ThreadQueue& q, const WindowProc& proc, std::uint32_t msg,
                       std::uintptr_t wParam, std::intptr_t lParam)
{
    try {
        return proc(msg, wParam, lParam);
    } catch (...) {
        HandleException(q, std::current_exception());
        return 0;
    }
}

std::shared_ptr<const WindowProc> ProcOf(WindowHandle window, const ThreadQueue& owner)
{
    Registry& r = Windows();
    const std::lock_guard lock(r.mutex);
    const auto it = r.windows.find(window);
    if (it == r.windows.end() || it->second.owner.get() != &owner)
        return nullptr;
    return it->second.proc;
}

// On q's own thread: delivers its oldest message (or oldest sent message).
bool DeliverOne(ThreadQueue& q, bool sentOnly)
{
    Message m;
    {
        const std::lock_guard lock(q.mutex);
        auto it = q.messages.begin();
        if (sentOnly)
            while (it != q.messages.end() && !it->send)
                ++it;
        if (it == q.messages.end())
            return false;
        m = std::move(*it);
        q.messages.erase(it);
        if (m.send) {
            m.send->status = SendStatus::Running;
            --q.sentCount;
        }
    }
    const auto proc = ProcOf(m.window, q);
    std::intptr_t result = 0;
    if (proc)
        result = CallProc(q, *proc, m.msg, m.wParam, m.lParam);
    if (m.send) {
        {
            const std::lock_guard lock(q.mutex);
            m.send->status = proc ? SendStatus::Done : SendStatus::Failed;
            m.send->result = result;
        }
        m.send->sender->Signal();
    }
    return true;
}

// Under the registry lock; the caller wakes the owner after it has let go
// of the locks (WakeOwner), so that the woken thread does not find them
// held: wake is the owner's waiter when the owner watches for the message.
bool Enqueue(ThreadQueue& q, Message m, std::shared_ptr<detail::Waiter>& wake)
{
    const std::lock_guard lock(q.mutex);
    if (q.dead)
        return false;
    const bool sent = m.send != nullptr;
    if (sent)
        ++q.sentCount;
    q.messages.push_back(std::move(m));
    // The owner looks at the queue after it started watching, so that a
    // message is either seen there or signalled.
    if (q.watchers > 0 || (sent && q.sentWatchers > 0))
        wake = q.waiter;
    return true;
}

void WakeOwner(const ThreadQueue& q, const std::shared_ptr<detail::Waiter>& wake)
{
    if (wake)
        wake->Signal();
    WakeBridge(q);
}

// Where a send goes: the window's procedure when the window is the
// sender's own, else the queue it was put on.
struct SendRoute {
    std::shared_ptr<ThreadQueue> target;
    std::shared_ptr<const WindowProc> ownProc;
    std::shared_ptr<detail::Waiter> wake;
};

// Finds the window and, unless it is the sender's own, queues the send;
// false when there is no such window or its thread has ended.
bool RouteSend(ThreadQueue& me, Message m, SendRoute& route)
{
    Registry& r = Windows();
    const std::lock_guard lock(r.mutex);
    const auto it = r.windows.find(m.window);
    if (it == r.windows.end())
        return false;
    if (it->second.owner.get() == &me) {
        route.ownProc = it->second.proc;
        return true;
    }
    route.target = it->second.owner;
    return Enqueue(*route.target, std::move(m), route.wake);
}

// Under the target's lock, once the time is up: a send not started yet is
// taken back, so that it never runs late.
void WithdrawSend(ThreadQueue& target, const std::shared_ptr<SendState>& state)
{
    if (state->status != SendStatus::Pending)
        return;
    std::erase_if(target.messages, [&](const Message& m) { return m.send == state; });
    --target.sentCount;
    state->status = SendStatus::Failed;
}

bool SentPending(ThreadQueue& q)
{
    const std::lock_guard lock(q.mutex);
    return q.sentCount > 0;
}

// Waits up to timeoutMs for the target's thread to finish the send.
bool AwaitSend(ThreadQueue& me, ThreadQueue& target, const std::shared_ptr<SendState>& state,
               std::uint32_t timeoutMs, std::intptr_t* result)
{
    const detail::Deadline deadline(timeoutMs);
    const std::shared_ptr<detail::Waiter>& waiter = state->sender;
    // Sends addressed to this thread wake it too, to be served meanwhile.
    const detail::MessageWatch watch(waiter, true);
    bool woken = false;
    for (;;) {
        // Cleared before looking, and looked at again after serving: a
        // procedure served may have waited on this waiter itself.
        woken ? waiter->Woken() : waiter->Clear();
        {
            const std::lock_guard lock(target.mutex);
            if (state->status == SendStatus::Done) {
                if (result != nullptr)
                    *result = state->result;
                return true;
            }
            if (state->status == SendStatus::Failed)
                return false;
            if (deadline.Expired()) {
                WithdrawSend(target, state);
                return false;
            }
        }
        woken = false;
        if (!SentPending(me)) {
            pollfd p{waiter->Descriptor(), POLLIN, 0};
            woken = detail::PollRetry(&p, 1, deadline.RemainingMs()) > 0;
        }
        // Serve sends addressed to us, so that two threads sending to each
        // other do not wait for ever.
        while (DeliverOne(me, true)) {
        }
    }
}

} // namespace

namespace detail {

MessageWatch::MessageWatch(std::shared_ptr<Waiter> waiter, bool sentOnly) : sentOnly_(sentOnly)
{
    ThreadQueue& q = OwnQueue();
    const std::lock_guard lock(q.mutex);
    ++(sentOnly_ ? q.sentWatchers : q.watchers);
    previous_ = std::exchange(q.waiter, std::move(waiter));
}

MessageWatch::~MessageWatch()
{
    ThreadQueue& q = OwnQueue();
    const std::lock_guard lock(q.mutex);
    --(sentOnly_ ? q.sentWatchers : q.watchers);
    // A watch inside another (a procedure served while its thread waits)
    // gives the outer one's waiter back: they differ only in a thread that
    // is ending.
    if (previous_)
        q.waiter = std::move(previous_);
}

bool MessagesPending()
{
    ThreadQueue& q = OwnQueue();
    const std::lock_guard lock(q.mutex);
    return !q.messages.empty();
}

} // namespace detail

WindowHandle CreateMessageWindow(WindowProc proc)
{
    OwnQueue();
    Registry& r = Windows();
    const std::lock_guard lock(r.mutex);
    while (r.next == 0 || r.windows.contains(r.next))
        ++r.next;
    const WindowHandle handle = r.next++;
    r.windows.emplace(handle, WindowEntry{std::make_shared<const WindowProc>(std::move(proc)),
                                          currentQueue.queue});
    return handle;
}

void DestroyMessageWindow(WindowHandle window)
{
    std::vector<std::shared_ptr<SendState>> released;
    {
        Registry& r = Windows();
        const std::lock_guard registryLock(r.mutex);
        const auto it = r.windows.find(window);
        if (it == r.windows.end())
            return;
        const std::shared_ptr<ThreadQueue> owner = std::move(it->second.owner);
        r.windows.erase(it);
        const std::lock_guard lock(owner->mutex);
        released = DropMessages(*owner, [window](const Message& m) { return m.window == window; });
    }
    ReleaseSenders(released);
}

bool IsWindow(WindowHandle window)
{
    Registry& r = Windows();
    const std::lock_guard lock(r.mutex);
    return r.windows.contains(window);
}

bool SendMessageTimeout(WindowHandle window, std::uint32_t msg, std::uintptr_t wParam,
                        std::intptr_t lParam, std::uint32_t timeoutMs, std::intptr_t* result)
{
    ThreadQueue& me = OwnQueue();
    auto state = std::make_shared<SendState>();
    state->sender = detail::ThreadWaiter();
    SendRoute route;
    if (!RouteSend(me, Message{window, msg, wParam, lParam, state}, route))
        return false;
    if (route.ownProc) {
        const std::intptr_t r = CallProc(me, *route.ownProc, msg, wParam, lParam);
        if (result != nullptr)
            *result = r;
        return true;
    }
    WakeOwner(*route.target, route.wake);
    return AwaitSend(me, *route.target, state, timeoutMs, result);
}

bool PostMessage(WindowHandle window, std::uint32_t msg, std::uintptr_t wParam,
                 std::intptr_t lParam)
{
    std::shared_ptr<ThreadQueue> target;
    std::shared_ptr<detail::Waiter> wake;
    {
        Registry& r = Windows();
        const std::lock_guard lock(r.mutex);
        const auto it = r.windows.find(window);
        if (it == r.windows.end())
            return false;
        target = it->second.owner;
        if (!Enqueue(*target, Message{window, msg, wParam, lParam, nullptr}, wake))
            return false;
    }
    WakeOwner(*target, wake);
    return true;
}

bool ProcessOnePendingMessage()
{
    return DeliverOne(OwnQueue(), false);
}

detail::ExceptionGuard detail::SetExceptionGuard(ExceptionGuard guard)
{
    return std::exchange(OwnQueue().guard, std::move(guard));
}

} // namespace platform
