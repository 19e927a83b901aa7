#pragma once

#include "velmor-log/options.h"

#include "record/Reading.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;
struct pollfd;

namespace vlog {

// What was published in a run, in readings (the status messages are not
// counted).
struct PublishCounts {
    std::uint64_t published = 0; // acknowledged by the broker
    std::uint64_t queued = 0;    // taken, not acknowledged yet
    std::uint64_t dropped = 0;   // the oldest, when the queue was full
};

// The connections to the broker, all meters' together.
struct BrokerState {
    enum class Kind { Connecting, Connected, Away, Refused };
    Kind kind = Kind::Connecting;
    std::string text;     // "connected", or why not
    bool settled = false; // every connection has had its first answer
};

// Publishes the meters' readings to an MQTT broker: each as its JSON lines
// object, QoS 1, not retained, to PREFIX/<port>/reading, and each meter's
// status, retained, to PREFIX/<port>/status. Every meter has a connection
// of its own, since a connection has one last will and each status must
// say offline when the logger dies. A reading counts as published once the
// broker has acknowledged it; what libmosquitto had sent without an answer
// when a connection broke it sends again on the next, so a restarted broker
// loses nothing (a reading may then come twice, as QoS 1 allows).
//
// Threads: the caller's (the event loop's, which polls the meters) calls
// every public member; it only formats and queues, and never waits on the
// network. The sender thread, started by Start and ended by Close or the
// destructor, makes every libmosquitto call on the connections, through
// libmosquitto's single-step loop (mosquitto_loop) once poll has found work,
// and its callbacks run there too.
class TPublisher {
public:
    // Called on the sender thread whenever State() changes.
    using TChanged = std::function<void()>;

    TPublisher(const MqttOptions& options, const std::vector<PortChoice>& ports, std::string model,
               TChanged changed);
    ~TPublisher();
    TPublisher(const TPublisher&) = delete;
    TPublisher& operator=(const TPublisher&) = delete;

    // Reads the password, checks the files and sets the connections up.
    // Returns the line that says why not, or an empty string.
    std::string Prepare();
    // Starts the sender thread, which connects at once.
    void Start();
    // Logging has begun: each meter's status is online from its first
    // reading on, which tells its mode and ranges.
    void Begin();
    // Queues a reading of meter `meter` (an index into the ports).
    void Publish(std::size_t meter, const record::Reading& reading);
    // Each status offline after its readings; then up to `patience` for the
    // broker to acknowledge what is queued, cut short once stopFd is
    // readable; ends the sender thread. A connection whose offline status
    // was acknowledged is closed with a DISCONNECT, any other is dropped, so
    // that the broker publishes its last will. Returns the counts: queued
    // is what was not delivered.
    PublishCounts Close(std::chrono::milliseconds patience, int stopFd);

    PublishCounts Counts() const;
    BrokerState State() const;
    std::string Url() const { return options.Url(); }

private:
    enum class Kind { Reading, Online, Offline };
    struct Entry {
        std::uint64_t order; // taken order over all meters: the oldest is dropped first
        Kind kind;
        std::string payload;
    };
    struct Link; // one meter's connection
    // A connection's state as the caller sees it.
    struct LinkState {
        BrokerState::Kind kind = BrokerState::Kind::Connecting;
        std::string text;
        bool answered = false;
    };

    // Prepare's steps: the files and the password; one connection's
    // topics, handle and settings (a libmosquitto return code).
    std::string ReadFiles();
    std::string SetUp(Link& link);
    static void SetCallbacks(mosquitto* handle);
    int Configure(Link& link) const;

    // The sender thread. Run's steps: whether Close has begun (until: its
    // deadline); connect what is due and hand over what is queued; the
    // descriptors to poll, and until when; the wait (false: poll failed).
    void Run();
    bool Ending(std::chrono::steady_clock::time_point& until);
    void Tend(std::chrono::steady_clock::time_point now);
    void Watch(std::vector<pollfd>& fds, std::vector<Link*>& polled,
               std::chrono::steady_clock::time_point& until);
    bool Wait(std::vector<pollfd>& fds, std::chrono::steady_clock::time_point until,
              std::chrono::steady_clock::time_point now);
    void Connect(Link& link);
    void HandOver(Link& link);
    void Send(Link& link, Kind kind, const std::string& payload);
    void Step(Link& link);
    void Down(Link& link, int rc, int error);
    void Acknowledged(Link& link, int mid);
    void SetState(std::size_t index, BrokerState::Kind kind, std::string text);
    bool Drained();
    void Wake() const;
    std::string StatusPayload(std::size_t meter) const;
    static BrokerState Aggregate(const std::vector<LinkState>& states);

    const MqttOptions options;
    const std::vector<PortChoice> ports;
    const std::string model;
    const TChanged changed;
    std::string password;
    bool hasPassword = false;
    // Set up by Prepare on the caller's thread; from Start to the end of
    // Run the sender thread's alone.
    std::vector<std::unique_ptr<Link>> links;
    int wakeFd = -1; // eventfd: news for the sender thread
    int doneFd = -1; // eventfd: the sender thread has ended
    std::thread sender;

    // Guards every member below, which both threads use: the queue, the
    // counts and what the caller may read of the connections. Held only
    // for moves in memory, never across a libmosquitto call or a wait.
    mutable std::mutex lock;
    std::vector<std::deque<Entry>> pending; // per meter, not handed to libmosquitto yet
    std::uint64_t taken = 0;                // entries queued so far, for Entry::order
    std::uint64_t held = 0;                 // readings pending or in flight
    PublishCounts counts;                   // published and dropped; queued is held
    std::vector<LinkState> states;          // per meter
    struct Shown {
        bool announced = false; // its online status is queued
        std::string mode, voltageRange, currentRange;
    };
    std::vector<Shown> shown; // per meter: what its online status says
    bool begun = false;
    bool closing = false;
    std::chrono::steady_clock::time_point deadline; // of Close's patience
};

} // namespace vlog
