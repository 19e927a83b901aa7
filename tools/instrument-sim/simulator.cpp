#include "instrument-sim/simulator.h"

#include "platform/Holders.h"
#include "protocol/crc.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <stdexcept>
#include <system_error>

namespace sim {

namespace {

// Silence after which the start of a frame is given up, as a bus device
// drops a frame whose rest never comes.
constexpr std::chrono::milliseconds FrameGap{50};

// How long a hang-up waits for the client to read the last reply, and how
// often it looks.
constexpr std::chrono::milliseconds HangUpGrace{2000};
constexpr std::chrono::milliseconds DrainCheck{5};
// How often a client's exclusive claim is looked at where its holder's end
// cannot be waited for.
constexpr std::chrono::milliseconds ClaimCheck{1000};

[[noreturn]] void ThrowErrno(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

speed_t SpeedCode(std::uint32_t baud)
{
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    default:
        return B9600;
    }
}

// Raw 8N1 at 9600 baud (or baud, where it is a standard rate). Without it the
// line discipline would echo our replies back to us and mangle binary bytes.
void MakeRaw(int fd, const std::string& path, std::uint32_t baud = 9600)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        ThrowErrno("cannot read the line settings of " + path);
    }
    ::cfmakeraw(&tio);
    ::cfsetispeed(&tio, SpeedCode(baud));
    ::cfsetospeed(&tio, SpeedCode(baud));
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        ThrowErrno("cannot set the line of " + path);
    }
}

// True while fd has input waiting. On a pseudo-terminal's slave this also
// counts bytes the master wrote that are still on their way to the line
// discipline.
bool Readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

// What is left until deadline, to the microsecond (a byte at 9600 baud
// takes 1.04 ms), at most a minute.
timespec TimeLeft(std::chrono::steady_clock::time_point deadline,
                  std::chrono::steady_clock::time_point now)
{
    const auto left = std::clamp<std::int64_t>(
        std::chrono::ceil<std::chrono::microseconds>(deadline - now).count(), 0, 60'000'000);
    timespec timeout{};
    timeout.tv_sec = static_cast<time_t>(left / 1'000'000);
    timeout.tv_nsec = static_cast<long>(left % 1'000'000) * 1000;
    return timeout;
}

} // namespace

// A client's TIOCEXCL on the slave, watched by the processes that have the
// slave open: their pidfds report when they end.
struct Simulator::ClaimWatch {
    std::vector<platform::UniqueFd> holders;
    std::optional<Clock::time_point> lookAgain; // a holder without a pidfd

    bool Active() const { return !holders.empty() || lookAgain; }
};

struct Simulator::Output {
    // Pieces go out in order; each waits for its earliest time and for its
    // pause after the piece before it actually went out.
    struct Piece {
        Clock::time_point earliest;
        Clock::duration afterPrevious;
        std::vector<std::uint8_t> bytes;
    };
    std::deque<Piece> queue;
    Clock::time_point lastSent{};
    Clock::time_point nextByte{};      // paced output: when the next byte has come down the line
    std::vector<std::uint8_t> pending; // due; the device has taken the first `written`
    std::size_t written = 0;
    // Where in pending each record's bytes end, and the record's number
    // counted from the first ever sent.
    std::deque<std::pair<std::size_t, std::size_t>> ends;
    bool hangUpWhenFlushed = false;

    Clock::time_point NextDue() const
    {
        const Piece& next = queue.front();
        return std::max(next.earliest, lastSent + next.afterPrevious);
    }
};

Simulator::Simulator(Config config)
    : onRequest_(std::move(config.onRequest)),
      byteTime_(config.baud > 0 ? std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::nanoseconds(10'000'000'000LL / config.baud))
                                : Clock::duration::zero()),
      instrument_(config.state, Signal(config.signal, config.seed ^ 0x5A17u)),
      faults_(config.faults), random_(config.seed)
{
    stop_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop_.Valid()) {
        ThrowErrno("eventfd");
    }
    if (!config.device.empty()) {
        path_ = config.device;
        // Something else than a terminal (a file, /dev/null) is not served:
        // no client could ever reach it. Only character devices are opened.
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0) {
            ThrowErrno("cannot open " + path_);
        }
        if (!S_ISCHR(st.st_mode)) {
            throw std::runtime_error(path_ + " is not a serial port");
        }
        device_.Reset(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!device_.Valid()) {
            ThrowErrno("cannot open " + path_);
        }
        if (!::isatty(device_.Get())) {
            throw std::runtime_error(path_ + " is not a serial port");
        }
        MakeRaw(device_.Get(), path_, config.baud);
        return;
    }
    platform::UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master.Valid() || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) {
        ThrowErrno("cannot create a pseudo-terminal");
    }
    char name[128];
    if (::ptsname_r(master.Get(), name, sizeof name) != 0) {
        ThrowErrno("cannot name the pseudo-terminal");
    }
    path_ = name;
    slave_.Reset(::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!slave_.Valid()) {
        ThrowErrno("cannot open " + path_);
    }
    MakeRaw(slave_.Get(), path_);
    if (::fcntl(master.Get(), F_SETFL, O_NONBLOCK) != 0) {
        ThrowErrno("fcntl");
    }
    device_ = std::move(master);
}

Simulator::~Simulator()
{
    Stop();
}

void Simulator::Start()
{
    std::lock_guard lock(mutex_);
    if (thread_.joinable() || serving_) {
        throw std::logic_error("the simulator is already serving");
    }
    thread_ = std::thread([this] {
        try {
            Run();
        } catch (const std::exception& e) {
            std::lock_guard lock(mutex_);
            error_ = e.what();
        }
        changed_.notify_all();
    });
}

void Simulator::Stop()
{
    const std::uint64_t one = 1;
    // The counter only grows, so every later poll sees it: stopping is for good.
    [[maybe_unused]] const auto n = ::write(stop_.Get(), &one, sizeof one);
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Simulator::Run(int stopFd)
{
    {
        std::lock_guard lock(mutex_);
        if (serving_) {
            throw std::logic_error("the simulator is already serving");
        }
        serving_ = true;
    }
    struct Done {
        Simulator& s;
        ~Done()
        {
            std::lock_guard lock(s.mutex_);
            s.serving_ = false;
        }
    } done{*this};
    if (device_.Valid()) {
        Serve(stopFd);
    }
}

// What one run of serving keeps between its turns.
struct Simulator::Serving {
    std::vector<std::uint8_t> input; // a request still arriving
    Clock::time_point lastInput{};
    Output output;
    std::optional<Clock::time_point> hangUpBy;
    ClaimWatch claim;
    // The client's claim is to be looked at once the reply has gone: the
    // look scans every process's descriptors, which with many ports open
    // takes longer than a reply may.
    bool claimDue = false;
};

void Simulator::Serve(int stopFd)
{
    Serving s;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (s.claim.lookAgain && now >= *s.claim.lookAgain) {
            WatchClaim(s.claim, now);
        }
        ReleaseDue(s.output, now);
        const bool paced = byteTime_ != Clock::duration::zero();
        // The device takes no more for now: wait for POLLOUT.
        const bool full = !WritePending(s.output, now);
        if (std::exchange(s.claimDue, false) && !s.claim.Active() && ClientClaimed()) {
            WatchClaim(s.claim, now);
        }
        std::optional<Clock::time_point> deadline;
        if (HangUpWhenRead(s.output, s.hangUpBy, now, deadline)) {
            return;
        }
        const bool byteDue = paced && !full && s.output.written < s.output.pending.size();
        NextDeadline(s, byteDue, deadline);
        const timespec timeout = deadline ? TimeLeft(*deadline, now) : timespec{};
        // The device, the two stops, then the claim's holders.
        std::vector<pollfd> fds = {
            {device_.Get(),
             static_cast<short>(POLLIN | (s.output.pending.empty() || byteDue ? 0 : POLLOUT)), 0},
            {stop_.Get(), POLLIN, 0},
            {stopFd, POLLIN, 0},
        };
        for (const auto& holder : s.claim.holders) {
            fds.push_back({holder.Get(), POLLIN, 0});
        }
        if (::ppoll(fds.data(), fds.size(), deadline ? &timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            ThrowErrno("poll");
        }
        if (fds[1].revents != 0 || fds[2].revents != 0) {
            return;
        }
        TakeEvents(s, fds, Clock::now());
    }
}

void Simulator::NextDeadline(const Serving& s, bool byteDue,
                             std::optional<Clock::time_point>& deadline) const
{
    const auto sooner = [&](Clock::time_point t) {
        deadline = std::min(deadline.value_or(Clock::time_point::max()), t);
    };
    if (!s.output.queue.empty()) {
        sooner(s.output.NextDue());
    }
    if (!s.input.empty()) {
        sooner(s.lastInput + FrameGap);
    }
    if (s.claim.lookAgain) {
        sooner(*s.claim.lookAgain);
    }
    if (byteDue) {
        sooner(s.output.nextByte);
    }
}

void Simulator::TakeEvents(Serving& s, const std::vector<pollfd>& fds, Clock::time_point now)
{
    if (std::any_of(fds.begin() + 3, fds.end(), [](const pollfd& p) { return p.revents != 0; })) {
        WatchClaim(s.claim, now); // a holder has ended
    }
    if (fds[0].revents & POLLIN) {
        if (ReadDevice(s.input)) {
            s.lastInput = now;
            TakeInput(s.input, s.output, now);
            s.claimDue = true;
        }
    } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        throw std::runtime_error(path_ + " hung up");
    }
    if (!s.input.empty() && now - s.lastInput >= FrameGap) {
        Record({now, std::move(s.input), RequestOutcome::Incomplete});
        s.input.clear();
    }
}

bool Simulator::HangUpWhenRead(const Output& output, std::optional<Clock::time_point>& hangUpBy,
                               Clock::time_point now, std::optional<Clock::time_point>& deadline)
{
    if (!output.hangUpWhenFlushed || !output.queue.empty() || !output.pending.empty()) {
        return false;
    }
    // Closing the master discards what the client has not read yet, so let
    // it take the last reply first; a client that never reads is not waited
    // for long.
    if (!hangUpBy) {
        hangUpBy = now + HangUpGrace;
    }
    if (!slave_.Valid() || !Readable(slave_.Get()) || now >= *hangUpBy) {
        HangUp();
        return true;
    }
    deadline = std::min(now + DrainCheck, *hangUpBy);
    return false;
}

void Simulator::ReleaseDue(Output& output, Clock::time_point now)
{
    while (!output.queue.empty() && output.NextDue() <= now) {
        auto& piece = output.queue.front();
        if (output.pending.size() == output.written && output.nextByte < now) {
            output.nextByte = now + byteTime_; // an idle line starts a new byte
        }
        output.pending.insert(output.pending.end(), piece.bytes.begin(), piece.bytes.end());
        output.lastSent = now;
        {
            std::lock_guard lock(mutex_);
            output.ends.emplace_back(output.pending.size(), sentCleared_ + sent_.size());
            sent_.push_back({now, std::move(piece.bytes), {}});
        }
        output.queue.pop_front();
        changed_.notify_all();
    }
}

bool Simulator::WritePending(Output& output, Clock::time_point now)
{
    const bool paced = byteTime_ != Clock::duration::zero();
    bool room = true;
    while (output.written < output.pending.size() && (!paced || output.nextByte <= now)) {
        // Paced: one byte, once its ten bits have had their time.
        const std::size_t chunk = paced ? 1 : output.pending.size() - output.written;
        const ssize_t n = ::write(device_.Get(), output.pending.data() + output.written, chunk);
        if (n > 0) {
            output.written += static_cast<std::size_t>(n);
            output.nextByte += byteTime_;
            NoteEnds(output, now);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            room = false;
            break;
        } else if (errno != EINTR) {
            ThrowErrno("cannot write to " + path_);
        }
    }
    if (output.written == output.pending.size()) {
        output.pending.clear();
        output.written = 0;
    }
    return room;
}

void Simulator::NoteEnds(Output& output, Clock::time_point now)
{
    // Paced output writes a byte at a time: only the last of a record's
    // takes the lock and wakes the waiters.
    if (output.ends.empty() || output.ends.front().first > output.written) {
        return;
    }
    std::lock_guard lock(mutex_);
    while (!output.ends.empty() && output.ends.front().first <= output.written) {
        const std::size_t number = output.ends.front().second;
        if (number >= sentCleared_ && number - sentCleared_ < sent_.size()) {
            sent_[number - sentCleared_].end = now;
        }
        output.ends.pop_front();
    }
    changed_.notify_all();
}

bool Simulator::ReadDevice(std::vector<std::uint8_t>& input)
{
    std::uint8_t buffer[4096];
    const ssize_t n = ::read(device_.Get(), buffer, sizeof buffer);
    if (n > 0) {
        input.insert(input.end(), buffer, buffer + n);
        return true;
    }
    if (n == 0) {
        throw std::runtime_error(path_ + " was closed");
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        ThrowErrno("cannot read from " + path_);
    }
    return false;
}

bool Simulator::ClientClaimed() const
{
    int exclusive = 0;
    return slave_.Valid() && ::ioctl(slave_.Get(), TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

void Simulator::WatchClaim(ClaimWatch& claim, Clock::time_point now)
{
    claim = {};
    if (!ClientClaimed()) {
        return;
    }
    // The pair keeps TIOCEXCL after its holder was killed, and every later
    // open would be refused: once no process but this one has the slave,
    // the claim is nobody's.
    struct stat st {};
    if (::fstat(slave_.Get(), &st) != 0) {
        return;
    }
    const auto holders = platform::ProcessesHolding(st.st_rdev, slave_.Get());
    if (holders.empty()) {
        ::ioctl(slave_.Get(), TIOCNXCL);
        return;
    }
    for (const auto& holder : holders) {
        platform::UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, holder.pid, 0)));
        if (!pidfd.Valid()) {
            claim.holders.clear();
            claim.lookAgain = now + ClaimCheck;
            return;
        }
        claim.holders.push_back(std::move(pidfd));
    }
}

void Simulator::HangUp()
{
    if (!slave_.Valid()) {
        ::tcdrain(device_.Get()); // a real line: let the last reply leave first
    }
    slave_.Reset();
    device_.Reset();
    {
        std::lock_guard lock(mutex_);
        hungUp_ = true;
    }
    changed_.notify_all();
}

void Simulator::TakeInput(std::vector<std::uint8_t>& input, Output& output, Clock::time_point now)
{
    while (!input.empty()) {
        const std::size_t length = RequestFrameLength(input[0]);
        if (length != 0 && input.size() < length) {
            return; // the rest is still on its way
        }
        // A frame that is not an intact request spoils everything received
        // with it; the next request starts afresh.
        const bool intact =
            length != 0 && Crc16(input.data(), static_cast<std::uint16_t>(length)) == 0;
        const std::size_t taken = intact ? length : input.size();
        Answer(input.data(), taken, output, now);
        input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(taken));
    }
}

void Simulator::Answer(const std::uint8_t* request, std::size_t length, Output& output,
                       Clock::time_point now)
{
    RequestRecord record{now, {request, request + length}, RequestOutcome::Silenced};
    {
        std::lock_guard lock(mutex_);
        // Once the hang-up is due nothing more is answered.
        if (!faults_.silent && !output.hangUpWhenFlushed) {
            const double seconds = std::chrono::duration<double>(now - start_).count();
            auto response = instrument_.Respond(request, length, seconds);
            record.outcome = response.outcome;
            if (response.outcome == RequestOutcome::Answered) {
                Schedule(std::move(response.reply), output, now);
            }
        }
    }
    Record(std::move(record));
}

void Simulator::Schedule(std::vector<std::uint8_t> reply, Output& output, Clock::time_point now)
{
    Faults& f = faults_;
    if (f.badCheckProbability > 0 &&
        std::uniform_real_distribution<double>(0.0, 1.0)(random_) < f.badCheckProbability) {
        reply.back() ^= 0xFF; // any single changed byte fails the check
    }
    reply.resize(reply.size() - std::min<std::size_t>(reply.size(), std::max(0, f.missingBytes)));
    const auto extra = RandomBytes(f.extraBytes);
    reply.insert(reply.end(), extra.begin(), extra.end());
    if (f.burstBytes > 0) {
        const auto burst = RandomBytes(std::exchange(f.burstBytes, 0));
        reply.insert(reply.end(), burst.begin(), burst.end());
    }

    const std::size_t pieces =
        std::clamp<std::size_t>(static_cast<std::size_t>(std::max(1, f.splitPieces)), 1,
                                std::max<std::size_t>(1, reply.size()));
    std::size_t offset = 0;
    for (std::size_t i = 0; i < pieces && offset < reply.size(); ++i) {
        const std::size_t size = (reply.size() - offset) / (pieces - i);
        output.queue.push_back({i == 0 ? now + f.replyDelay : Clock::time_point{},
                                i == 0 ? Clock::duration{} : Clock::duration{f.splitPause},
                                {reply.begin() + offset, reply.begin() + offset + size}});
        offset += size;
    }
    if (f.noiseBytes > 0) {
        output.queue.push_back({now, f.noiseDelay, RandomBytes(f.noiseBytes)});
    }
    ++replies_;
    if (f.hangUpAfter > 0 && --f.hangUpAfter == 0) {
        output.hangUpWhenFlushed = true;
    }
}

void Simulator::Record(RequestRecord record)
{
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(record);
    }
    changed_.notify_all();
    if (onRequest_) {
        onRequest_(record);
    }
}

std::vector<std::uint8_t> Simulator::RandomBytes(int count)
{
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::max(0, count)));
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& b : bytes) {
        b = static_cast<std::uint8_t>(byte(random_));
    }
    return bytes;
}

void Simulator::SetFaults(const Faults& faults)
{
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

void Simulator::HoldClientOutput(bool hold)
{
    // The slave's output stopped as by flow control: the client's writes
    // find no room until it is started again.
    if (slave_.Valid()) {
        ::tcflow(slave_.Get(), hold ? TCOOFF : TCOON);
    }
}

Faults Simulator::GetFaults() const
{
    std::lock_guard lock(mutex_);
    return faults_;
}

void Simulator::SetSignal(const SignalConfig& signal)
{
    std::lock_guard lock(mutex_);
    instrument_.MeasuredSignal().SetConfig(signal);
}

void Simulator::SetState(const InstrumentState& state)
{
    std::lock_guard lock(mutex_);
    instrument_.SetState(state);
}

InstrumentState Simulator::State() const
{
    std::lock_guard lock(mutex_);
    return instrument_.State();
}

void Simulator::SetRawValue(std::optional<std::array<std::uint8_t, 4>> bytes)
{
    std::lock_guard lock(mutex_);
    instrument_.SetRawValue(bytes);
}

std::vector<RequestRecord> Simulator::Requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<SentRecord> Simulator::Sent() const
{
    std::lock_guard lock(mutex_);
    return sent_;
}

std::size_t Simulator::RequestCount() const
{
    std::lock_guard lock(mutex_);
    return requests_.size();
}

std::size_t Simulator::RepliesSent() const
{
    std::lock_guard lock(mutex_);
    return replies_;
}

void Simulator::ClearRecords()
{
    std::lock_guard lock(mutex_);
    requests_ = {};
    sentCleared_ += sent_.size();
    sent_ = {};
}

bool Simulator::WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

bool Simulator::WaitForSent(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return sent_.size() >= count; });
}

bool Simulator::WaitForEnds(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return sent_.size() >= count &&
               std::all_of(sent_.begin(), sent_.begin() + static_cast<std::ptrdiff_t>(count),
                           [](const SentRecord& r) { return r.end != Clock::time_point{}; });
    });
}

bool Simulator::HungUp() const
{
    std::lock_guard lock(mutex_);
    return hungUp_;
}

std::string Simulator::Error() const
{
    std::lock_guard lock(mutex_);
    return error_;
}

} // namespace sim
