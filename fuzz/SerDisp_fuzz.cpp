// Fuzz target: the dispatcher's receive and transmit rings and the read-ahead
// of its avail notifications, driven through the fake dispatcher by random
// operation sequences and compared after every step with a plain model that
// keeps the bytes in queues: what arrives, what the ring holds, what each
// handler of a notification sees and what is taken for good.
#include "FakeDispatcher.h"
#include "FuzzInput.h"

#include <algorithm>
#include <array>
#include <deque>
#include <thread>
#include <vector>

namespace {

// Received and transmitted bytes follow two streams, so a byte out of place
// shows.
std::uint8_t RxByte(std::uint64_t k)
{
    return static_cast<std::uint8_t>((k * 2654435761u) >> 11);
}
std::uint8_t TxByte(std::uint64_t k)
{
    return static_cast<std::uint8_t>((k * 40503u) >> 5);
}

// The rings as queues and the notification as the handlers should see it.
struct Model {
    std::deque<std::uint8_t> driver;
    std::deque<std::uint8_t> held; // the dispatch buffer, oldest first
    std::deque<std::uint8_t> transmit;
    std::vector<std::uint8_t> wire;
    std::uint32_t outSize = 0;
    std::uint32_t level = 0;
    bool newSinceNotice = false;

    // One notification: every handler reads from floor on; a reader on
    // another thread takes bytes for good after what the handlers have seen,
    // and from then on the handlers may not read past limit.
    bool readAhead = false;
    std::size_t floor = 0;
    std::size_t count = 0;
    std::size_t most = 0;
    bool frozen = false;
    std::size_t limit = 0;
    std::size_t foreign = 0;

    std::size_t HandlerStart() const { return floor + count; }
    std::size_t HandlerEnd() const { return frozen ? limit : held.size(); }
    std::size_t ForeignStart() const
    {
        return frozen ? limit + foreign : floor + std::max(most, count);
    }
};

class Run {
public:
    Run(FuzzInput& in) : in(in) {}

    void Setup()
    {
        model.outSize = 1 + in.Upto(1200);
        FUZZ_CHECK(d.Open(model.outSize) == 0);
        const std::uint8_t shape = in.U8();
        methods = shape % 4;
        synchronized = (shape >> 2) % 2 != 0;
        windows = (shape >> 3) % 3;
        componentWants = (shape >> 5) % 2 != 0;
        for (int k = 0; k < methods; ++k) {
            slots[k] = {this, k, false, false};
            d.AddMethodHandler(&Run::Method, &slots[k], synchronized && k == 0);
        }
        for (int k = 0; k < windows; ++k) {
            d.AddWindowHandler(static_cast<platform::WindowHandle>(100 + k));
        }
        if (componentWants) {
            d.UpdateHandlerFlags(TSerBaseDispatcher::THandlerFlags::ComponentOn);
        }
        notifyEnabled = methods > 0 || windows > 0 || componentWants;
        d.onSend = [this](platform::WindowHandle) { Handler(); };
        // A synchronized handler runs on a thread of its own, as on the
        // user-interface thread.
        d.synchronizer = [](const std::function<void()>& call) {
            std::thread t(call);
            t.join();
        };
        model.level = in.U8() % 4;
        d.SetAvailLevel(model.level);
    }

    void Go()
    {
        for (int step = 0; step < 3000 && !in.Empty(); ++step) {
            const std::uint8_t op = in.U8();
            switch (op % 12) {
            case 0:
            case 1:
                Deliver(Size());
                break;
            case 2:
            case 3:
                Fill();
                break;
            case 4:
                Read(Size());
                break;
            case 5:
                FUZZ_CHECK(d.InputCount() == model.held.size());
                break;
            case 6:
                FlushInput();
                break;
            case 7:
                Write(Size());
                break;
            case 8:
                Transmit(Size());
                break;
            case 9:
                if (op & 0x80) {
                    FUZZ_CHECK(d.FlushOutput() == 0);
                    model.transmit.clear();
                }
                FUZZ_CHECK(d.OutputUsed() == model.transmit.size());
                FUZZ_CHECK(d.OutputFree() == model.outSize - model.transmit.size());
                break;
            case 10:
                if (op & 0x80) {
                    RemoveMethod();
                } else {
                    model.level = in.U8() % 6;
                    d.SetAvailLevel(model.level);
                }
                break;
            default:
                Check();
                break;
            }
        }
    }

private:
    std::uint32_t Size()
    {
        const std::uint8_t b = in.U8();
        if (b < 128) {
            return b % 16;
        }
        if (b < 224) {
            return in.Upto(600);
        }
        return in.Upto(9000);
    }

    void Deliver(std::uint32_t n)
    {
        std::vector<std::uint8_t> bytes(n);
        for (auto& b : bytes) {
            b = RxByte(received++);
        }
        d.Deliver(bytes);
        model.driver.insert(model.driver.end(), bytes.begin(), bytes.end());
    }

    void Fill()
    {
        d.FillInputBuffer();
        const std::size_t n = std::min(model.driver.size(), DispatchBufferSize - model.held.size());
        model.held.insert(model.held.end(), model.driver.begin(), model.driver.begin() + n);
        model.driver.erase(model.driver.begin(), model.driver.begin() + n);
        model.newSinceNotice = model.newSinceNotice || n > 0;
        FUZZ_CHECK(d.DriverHolds() == model.driver.size());
        FUZZ_CHECK(d.InputCount() == model.held.size());
    }

    // A read outside any notification takes bytes for good.
    void Read(std::uint32_t n)
    {
        std::vector<std::uint8_t> got(n + 1, 0xEE);
        const int result = d.ReadBlock(got.data(), n);
        if (n == 0) {
            FUZZ_CHECK(result == 0);
        } else if (n > model.held.size()) {
            FUZZ_CHECK(result == DispBufferIsEmpty);
        } else {
            FUZZ_CHECK(result == static_cast<int>(n));
            FUZZ_CHECK(std::equal(got.begin(), got.begin() + n, model.held.begin()));
            model.held.erase(model.held.begin(), model.held.begin() + n);
        }
        FUZZ_CHECK(got[n] == 0xEE);
    }

    void FlushInput()
    {
        FUZZ_CHECK(d.FlushInput() == 0);
        model.driver.clear();
        if (model.readAhead) {
            model.floor = model.held.size();
            model.count = model.most = 0;
            model.frozen = false;
            model.limit = model.foreign = 0;
        } else {
            model.held.clear();
        }
    }

    void Write(std::uint32_t n)
    {
        std::vector<std::uint8_t> bytes(n);
        for (std::uint32_t k = 0; k < n; ++k) {
            bytes[k] = TxByte(sent + k);
        }
        const int result = d.WriteBlock(bytes.data(), n);
        const std::size_t free = model.outSize - model.transmit.size();
        if (n == 0) {
            FUZZ_CHECK(result == 0);
        } else if (n > free) {
            FUZZ_CHECK(result == DispOutputBufferTooSmall);
        } else {
            FUZZ_CHECK(result == 0);
            model.transmit.insert(model.transmit.end(), bytes.begin(), bytes.end());
            sent += n;
        }
        FUZZ_CHECK(d.OutputUsed() == model.transmit.size());
    }

    void Transmit(std::uint32_t n)
    {
        d.Transmit(n);
        const std::size_t k = std::min<std::size_t>(n, model.transmit.size());
        model.wire.insert(model.wire.end(), model.transmit.begin(), model.transmit.begin() + k);
        model.transmit.erase(model.transmit.begin(), model.transmit.begin() + k);
        FUZZ_CHECK(d.wire.size() == model.wire.size());
        FUZZ_CHECK(std::equal(model.wire.end() - k, model.wire.end(), d.wire.end() - k));
    }

    // One pass of the data and avail check, with the handlers it may call.
    void Check()
    {
        const std::size_t unread = model.held.size();
        const bool notice = model.level != 0 && model.newSinceNotice && unread >= model.level;
        offered = unread;
        handlerCalls = 0;
        lastMethod = -1;
        for (auto& slot : slots) {
            slot.called = false;
        }
        // Handlers removed during the delivery may change the flag; the
        // delivery goes on.
        const bool delivering = notice && notifyEnabled;
        if (delivering) {
            model.readAhead = true;
            model.floor = model.count = model.most = 0;
            model.frozen = false;
            model.limit = model.foreign = 0;
        }
        const bool result = d.CheckDataAndAvail();
        bool expected = false;
        if (notice) {
            model.newSinceNotice = false;
            expected = true;
            if (delivering) {
                // Every method handler ran in list order unless removed before
                // its turn; then the windows, when they are wanted.
                int methodCalls = 0;
                for (int k = 0; k < methods; ++k) {
                    FUZZ_CHECK(slots[k].called || slots[k].removed);
                    methodCalls += slots[k].called ? 1 : 0;
                }
                const bool windowsWanted = windows > 1 || componentWants;
                FUZZ_CHECK(handlerCalls == methodCalls + (windowsWanted ? windows : 0));
                const std::size_t moved =
                    model.frozen ? model.limit + model.foreign : model.floor + model.most;
                FUZZ_CHECK(moved <= model.held.size());
                model.held.erase(model.held.begin(), model.held.begin() + moved);
                model.readAhead = false;
                expected = moved == unread;
            }
        }
        FUZZ_CHECK(notice || handlerCalls == 0);
        FUZZ_CHECK(result == expected);
        FUZZ_CHECK(d.InputCount() == model.held.size());
    }

    static void Method(void* self, std::uint32_t msg, std::uintptr_t wParam, std::intptr_t)
    {
        auto* slot = static_cast<Slot*>(self);
        Run* run = slot->run;
        FUZZ_CHECK(msg == TriggerAvailMsg && wParam == run->offered);
        FUZZ_CHECK(!slot->removed && slot->index > run->lastMethod);
        run->lastMethod = slot->index;
        slot->called = true;
        run->Handler();
    }

    // Removal while a notification is delivered only marks the record: a
    // handler not yet reached is skipped, and the list is purged afterwards.
    void RemoveMethod()
    {
        if (methods == 0) {
            return;
        }
        Slot& slot = slots[in.U8() % methods];
        d.RemoveMethodHandler(&Run::Method, &slot);
        slot.removed = true;
        bool others = windows > 1;
        for (int k = 0; k < methods; ++k) {
            others = others || !slots[k].removed;
        }
        notifyEnabled = others || componentWants;
    }

    // A handler of the notification: reads ahead, counts, flushes, writes,
    // and starts readers on other threads that take bytes for good.
    void Handler()
    {
        FUZZ_CHECK(model.readAhead);
        ++handlerCalls;
        model.count = 0;
        const int actions = in.U8() % 8;
        for (int a = 0; a < actions && !in.Empty(); ++a) {
            const std::uint8_t what = in.U8();
            switch (what % 8) {
            case 0:
                HandlerRead(Size());
                break;
            case 1:
                // All that is offered, as the component's handlers do.
                HandlerRead(static_cast<std::uint32_t>(d.InputCount()));
                break;
            case 2: {
                const std::size_t end = model.HandlerEnd(), start = model.HandlerStart();
                FUZZ_CHECK(d.InputCount() == (end > start ? end - start : 0));
                break;
            }
            case 3:
                FlushInput();
                break;
            case 4:
                ForeignRead(Size());
                break;
            case 5: {
                std::uint32_t n = 0;
                std::thread t([&] { n = d.InputCount(); });
                t.join();
                const std::size_t start = model.ForeignStart();
                FUZZ_CHECK(n == (model.held.size() > start ? model.held.size() - start : 0));
                break;
            }
            case 6:
                RemoveMethod();
                break;
            default:
                Write(Size() % 64);
                break;
            }
        }
        model.most = std::max(model.most, model.count);
    }

    void HandlerRead(std::uint32_t n)
    {
        std::vector<std::uint8_t> got(n + 1, 0xEE);
        const int result = d.ReadBlock(got.data(), n);
        const std::size_t start = model.HandlerStart(), end = model.HandlerEnd();
        if (n == 0) {
            FUZZ_CHECK(result == 0);
        } else if (end <= start || n > end - start) {
            FUZZ_CHECK(result == DispBufferIsEmpty);
        } else {
            FUZZ_CHECK(result == static_cast<int>(n));
            FUZZ_CHECK(std::equal(got.begin(), got.begin() + n, model.held.begin() + start));
            model.count += n;
        }
        FUZZ_CHECK(got[n] == 0xEE);
    }

    void ForeignRead(std::uint32_t n)
    {
        std::vector<std::uint8_t> got(n + 1, 0xEE);
        int result = 0;
        std::thread t([&] { result = d.ReadBlock(got.data(), n); });
        t.join();
        const std::size_t start = model.ForeignStart();
        if (n == 0) {
            FUZZ_CHECK(result == 0);
        } else if (start >= model.held.size() || n > model.held.size() - start) {
            FUZZ_CHECK(result == DispBufferIsEmpty);
        } else {
            FUZZ_CHECK(result == static_cast<int>(n));
            FUZZ_CHECK(std::equal(got.begin(), got.begin() + n, model.held.begin() + start));
            if (!model.frozen) {
                model.frozen = true;
                model.limit = model.floor + std::max(model.most, model.count);
            }
            model.foreign += n;
        }
        FUZZ_CHECK(got[n] == 0xEE);
    }

    FuzzInput& in;
    TFakeDispatcher d;
    Model model;
    struct Slot {
        Run* run;
        int index;
        bool removed;
        bool called;
    };
    std::array<Slot, 3> slots{};
    int lastMethod = -1;
    bool componentWants = false;
    int methods = 0;
    int windows = 0;
    bool synchronized = false;
    bool notifyEnabled = false;
    int handlerCalls = 0;
    std::size_t offered = 0;
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzInput in(data, size);
    Run run(in);
    run.Setup();
    run.Go();
    return 0;
}
