#pragma once

#include "instrument-sim/instrument.h"
#include "instrument-sim/waveform.h"
#include "platform/UniqueFd.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

struct pollfd;

namespace sim {

// Misbehaviour on request. Applied to each reply in this order: wrong check
// code, missing bytes, extra bytes, burst. The result goes out after the
// delay, in pieces, followed by noise; output keeps its order, so a reply
// never overtakes the pieces or noise of the one before.
struct Faults {
    std::chrono::milliseconds replyDelay{0};  // at least this long after the request
    bool silent = false;                      // take requests, answer none
    double badCheckProbability = 0;           // chance that a reply's check code is wrong
    int splitPieces = 1;                      // send each reply in this many pieces...
    std::chrono::milliseconds splitPause{20}; // ...at least this far apart
    int extraBytes = 0;                       // random bytes appended to every reply
    int missingBytes = 0;                     // bytes cut from the end of every reply
    int noiseBytes = 0;                       // random bytes sent between replies...
    std::chrono::milliseconds noiseDelay{50}; // ...this long after each reply
    int burstBytes = 0;                       // once: random bytes right after the next reply
    int hangUpAfter = 0; // hang up after this many more replies, once read (2 s at most); 0 never
};

struct RequestRecord {
    std::chrono::steady_clock::time_point time;
    std::vector<std::uint8_t> bytes;
    RequestOutcome outcome;
};

// One piece of output, as it was handed to the device.
struct SentRecord {
    std::chrono::steady_clock::time_point time;
    std::vector<std::uint8_t> bytes;
    // When the device took its last byte (paced: when that byte's line time
    // had passed); the epoch until then.
    std::chrono::steady_clock::time_point end{};
};

struct Config {
    std::string device; // empty: a new pseudo-terminal
    InstrumentState state;
    SignalConfig signal;
    Faults faults;
    std::uint32_t seed = 1; // noise, random bytes and bad check draws
    // Line rate kept on output: bytes go out one at a time, each 10 bits
    // (8N1) after the one before, as a UART delivers them. 0: as fast as
    // the device takes them. A given device is also set to this speed.
    std::uint32_t baud = 0;
    // Called on the serving thread for every request taken.
    std::function<void(const RequestRecord&)> onRequest;
};

// A simulated instrument on a pseudo-terminal or a given device. Serves on its
// own thread (Start/Stop) or on the caller's (Run). All other members may be
// called from any thread at any time.
class Simulator {
public:
    // Opens the pseudo-terminal or the device; throws std::system_error.
    explicit Simulator(Config config);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // What a client opens: the pseudo-terminal's slave, or the device.
    const std::string& Path() const { return path_; }

    void Start();
    // Ends serving and joins the thread. Idempotent; the simulator stays stopped.
    void Stop();
    // Serves until Stop(), until stopFd (if given) is readable, or until the
    // hang-up fault fires. Throws std::system_error if the device fails.
    void Run(int stopFd = -1);

    void SetFaults(const Faults& faults);
    Faults GetFaults() const; // burst and hang-up counts as left
    void SetSignal(const SignalConfig& signal);
    void SetState(const InstrumentState& state);
    InstrumentState State() const;
    void SetRawValue(std::optional<std::array<std::uint8_t, 4>> bytes);
    // The line takes no bytes from the client any more, as an adapter that
    // stopped sending; false: it takes them again. A pseudo-terminal's only.
    void HoldClientOutput(bool hold);

    std::vector<RequestRecord> Requests() const;
    std::vector<SentRecord> Sent() const;
    std::size_t RequestCount() const; // without copying the records
    std::size_t RepliesSent() const;  // replies made, faults applied or not
    // Forgets the requests and output recorded so far, so that a long run
    // keeps its memory; the reply count goes on.
    void ClearRecords();
    bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    bool WaitForSent(std::size_t count, std::chrono::milliseconds timeout) const;
    // Until the first count records have gone out to their last byte.
    bool WaitForEnds(std::size_t count, std::chrono::milliseconds timeout) const;
    bool HungUp() const;
    // Why the serving thread ended early, if it did; empty otherwise.
    std::string Error() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Output;

    struct Serving;
    void Serve(int stopFd);
    // When serving must look again without an event: the next output due,
    // the end of a request's frame gap, the claim's next look, the next
    // paced byte.
    void NextDeadline(const Serving& s, bool byteDue,
                      std::optional<Clock::time_point>& deadline) const;
    // What the poll found: a claim's holder ended, input, a hang-up.
    void TakeEvents(Serving& s, const std::vector<pollfd>& fds, Clock::time_point now);
    // Serve's steps: the output pieces that are due join what is to be
    // written; what is to be written goes (false: the device is full); what
    // the device has comes in (false: nothing came).
    void ReleaseDue(Output& output, Clock::time_point now);
    // The hang-up fault with everything written: true once hung up (the
    // client has read the last reply, or its grace ran out); else deadline
    // is when to look again.
    bool HangUpWhenRead(const Output& output, std::optional<Clock::time_point>& hangUpBy,
                        Clock::time_point now, std::optional<Clock::time_point>& deadline);
    bool WritePending(Output& output, Clock::time_point now);
    // The records whose last byte the device has now taken.
    void NoteEnds(Output& output, Clock::time_point now);
    bool ReadDevice(std::vector<std::uint8_t>& input);
    void HangUp();
    struct ClaimWatch;
    // A client has set TIOCEXCL on the pseudo-terminal's slave.
    bool ClientClaimed() const;
    // Clears a client's TIOCEXCL when no process has the slave any more,
    // else watches the processes that have it. Serving thread only.
    void WatchClaim(ClaimWatch& claim, Clock::time_point now);
    void TakeInput(std::vector<std::uint8_t>& input, Output& output, Clock::time_point now);
    void Answer(const std::uint8_t* request, std::size_t length, Output& output,
                Clock::time_point now);
    void Schedule(std::vector<std::uint8_t> reply, Output& output, Clock::time_point now);
    void Record(RequestRecord record);
    std::vector<std::uint8_t> RandomBytes(int count);

    std::string path_;
    platform::UniqueFd device_;
    platform::UniqueFd slave_; // held open so that the master never sees a hang-up
    platform::UniqueFd stop_;  // eventfd
    const Clock::time_point start_ = Clock::now();
    std::function<void(const RequestRecord&)> onRequest_;
    Clock::duration byteTime_{}; // zero: unpaced

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Instrument instrument_;
    Faults faults_;
    std::mt19937 random_;
    std::vector<RequestRecord> requests_;
    std::vector<SentRecord> sent_;
    std::size_t sentCleared_ = 0; // records of sent_ that ClearRecords dropped
    std::size_t replies_ = 0;
    bool hungUp_ = false;
    bool serving_ = false;
    std::string error_;

    std::thread thread_;
};

} // namespace sim
