#include "velmor-log/publisher.h"

#include "velmor-log/journal.h"

#include <mosquitto.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vlog {

namespace {

using Clock = std::chrono::steady_clock;

// Messages handed to libmosquitto per connection before their
// acknowledgements; the rest wait in the queue, where the oldest can still
// be dropped. Also libmosquitto's own in-flight limit, so that none of them
// waits inside it.
constexpr int Window = 100;
constexpr int KeepAliveSeconds = 10;
// libmosquitto's timers (keep-alive, retries) want a step this often.
constexpr std::chrono::seconds StepPeriod{1};
constexpr std::chrono::seconds FirstRetry{1};
constexpr std::chrono::seconds LastRetry{30};

std::chrono::seconds Backoff(unsigned failures)
{
    const unsigned doublings = std::min(failures > 0 ? failures - 1 : 0u, 5u);
    return std::min<std::chrono::seconds>(FirstRetry * (1u << doublings), LastRetry);
}

// A field of a status message: a JSON string, or null when not known.
std::string JsonField(const std::string& text)
{
    if (text.empty()) {
        return "null";
    }
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        if (static_cast<unsigned char>(c) >= 0x20) {
            out += c;
        }
    }
    return out + '"';
}

const std::string OfflinePayload = R"({"state":"offline"})";
// libmosquitto wants a CA file or directory also when it uses the system's.
constexpr const char* SystemCertificates = "/etc/ssl/certs";

// A file named by an option: readable, and a regular file (a FIFO would
// keep the start waiting for a writer).
std::string CheckFile(const char* option, const std::string& path, std::string* contents = nullptr)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return std::string("cannot read ") + option + " " + path + ": " +
               Sentence(std::strerror(errno));
    }
    struct stat st {};
    std::string error;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = std::string(option) + " " + path + " is not a file";
    } else if (contents != nullptr) {
        char buffer[4096];
        for (ssize_t n; contents->size() < 65536 && (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
            if (n < 0) {
                error = std::string("cannot read ") + option + " " + path + ": " +
                        Sentence(std::strerror(errno));
                break;
            }
            contents->append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return error;
}

// An encrypted key is refused rather than asked for on the terminal.
int NoKeyPassword(char*, int, int, void*)
{
    return 0;
}

std::string HostName()
{
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name.data();
}

} // namespace

// One meter's connection. After Start only the sender thread touches it.
struct TPublisher::Link {
    TPublisher* owner = nullptr;
    std::size_t index = 0;
    mosquitto* handle = nullptr;
    std::string id, readingTopic, statusTopic;
    enum class Phase { Idle, Connecting, Connected } phase = Phase::Idle;
    bool tried = false; // connect_async once, reconnect_async after
    unsigned failures = 0;
    Clock::time_point nextAttempt{};
    Clock::time_point lastStep{};
    std::map<int, Kind> inflight; // by message id: handed over, not acknowledged
    std::string lastStatus;       // sent again on each new connection
    bool statusDue = false;
    int refusal = 0;     // the return code of a CONNACK that refused
    std::string tlsText; // libmosquitto's last error line: TLS's words
    int offlineMid = -1;
    bool offlineAcknowledged = false;

    ~Link()
    {
        if (handle != nullptr) {
            mosquitto_destroy(handle);
        }
    }
};

TPublisher::TPublisher(const MqttOptions& options, const std::vector<PortChoice>& ports,
                       std::string model, TChanged changed)
    : options(options), ports(ports), model(std::move(model)), changed(std::move(changed)),
      pending(ports.size()), states(ports.size()), shown(ports.size())
{
    mosquitto_lib_init();
}

TPublisher::~TPublisher()
{
    if (sender.joinable()) {
        {
            const std::lock_guard guard(lock);
            closing = true;
            deadline = Clock::now();
        }
        Wake();
        sender.join();
    }
    links.clear();
    for (const int fd : {wakeFd, doneFd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    mosquitto_lib_cleanup();
}

std::string TPublisher::Prepare()
{
    if (std::string error = ReadFiles(); !error.empty()) {
        return error;
    }
    const std::string host = HostName();
    std::string prefix = options.topic;
    if (prefix.empty()) {
        std::string name = host;
        std::replace_if(
            name.begin(), name.end(), [](char c) { return c == '/' || c == '+' || c == '#'; }, '_');
        prefix = "velmor/" + name;
    }
    if (mosquitto_validate_utf8(prefix.c_str(), static_cast<int>(prefix.size())) !=
        MOSQ_ERR_SUCCESS) {
        return "--mqtt-topic '" + prefix + "' is not UTF-8";
    }
    const std::string id =
        options.id.empty() ? "velmor-log-" + host + "-" + std::to_string(::getpid()) : options.id;

    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    doneFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0 || doneFd < 0) {
        return "cannot set up the MQTT client: " + Sentence(std::strerror(errno));
    }
    for (std::size_t i = 0; i < ports.size(); ++i) {
        auto link = std::make_unique<Link>();
        link->owner = this;
        link->index = i;
        const std::string port = PortTopic(ports[i]);
        link->id = ports.size() == 1 ? id : id + "-" + port;
        link->readingTopic = prefix + "/" + port + "/reading";
        link->statusTopic = prefix + "/" + port + "/status";
        if (std::string error = SetUp(*link); !error.empty()) {
            return error;
        }
        links.push_back(std::move(link));
    }
    return {};
}

std::string TPublisher::ReadFiles()
{
    for (const auto& [option, path] :
         {std::pair{"--mqtt-ca", &options.ca}, std::pair{"--mqtt-cert", &options.cert},
          std::pair{"--mqtt-key", &options.key}}) {
        if (!path->empty()) {
            if (std::string error = CheckFile(option, *path); !error.empty()) {
                return error;
            }
        }
    }
    if (!options.passwordFile.empty()) {
        if (std::string error = CheckFile("--mqtt-password-file", options.passwordFile, &password);
            !error.empty()) {
            return error;
        }
        password.resize(std::min(password.find('\n'), password.size()));
        if (password.ends_with('\r')) {
            password.pop_back();
        }
        hasPassword = true;
    } else if (const char* env = std::getenv("VELMOR_MQTT_PASSWORD");
               env != nullptr && !options.user.empty()) {
        password = env;
        hasPassword = true;
    }
    return {};
}

std::string TPublisher::SetUp(Link& link)
{
    if (mosquitto_pub_topic_check2(link.readingTopic.c_str(), link.readingTopic.size()) !=
            MOSQ_ERR_SUCCESS ||
        mosquitto_validate_utf8(link.readingTopic.c_str(),
                                static_cast<int>(link.readingTopic.size())) != MOSQ_ERR_SUCCESS) {
        return "'" + link.readingTopic + "' is no topic to publish to";
    }
    // A clean session: what the broker should keep is the retained
    // status, not a session nobody resumes under this id.
    link.handle = mosquitto_new(link.id.c_str(), true, &link);
    if (link.handle == nullptr) {
        return "cannot set up the MQTT client: " + Sentence(std::strerror(errno));
    }
    SetCallbacks(link.handle);
    if (const int rc = Configure(link); rc != MOSQ_ERR_SUCCESS) {
        return "cannot set up the MQTT client for " + options.Url() + ": " +
               Sentence(mosquitto_strerror(rc));
    }
    return {};
}

void TPublisher::SetCallbacks(mosquitto* m)
{
    mosquitto_connect_callback_set(m, [](mosquitto*, void* data, int rc) {
        auto* l = static_cast<Link*>(data);
        if (rc != 0) {
            l->refusal = rc; // the disconnect that follows ends the attempt
            return;
        }
        l->phase = Link::Phase::Connected;
        l->failures = 0;
        l->refusal = 0;
        l->statusDue = !l->lastStatus.empty();
        l->owner->SetState(l->index, BrokerState::Kind::Connected, "connected");
    });
    mosquitto_disconnect_callback_set(m, [](mosquitto*, void* data, int rc) {
        const int error = errno;
        auto* l = static_cast<Link*>(data);
        l->owner->Down(*l, rc, error);
    });
    mosquitto_publish_callback_set(m, [](mosquitto*, void* data, int mid) {
        auto* l = static_cast<Link*>(data);
        l->owner->Acknowledged(*l, mid);
    });
    mosquitto_log_callback_set(m, [](mosquitto*, void* data, int level, const char* text) {
        if ((level & MOSQ_LOG_ERR) != 0 && text != nullptr) {
            static_cast<Link*>(data)->tlsText = text;
        }
    });
}

int TPublisher::Configure(Link& link) const
{
    mosquitto* m = link.handle;
    int rc =
        mosquitto_will_set(m, link.statusTopic.c_str(), static_cast<int>(OfflinePayload.size()),
                           OfflinePayload.data(), 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !options.user.empty()) {
        rc = mosquitto_username_pw_set(m, options.user.c_str(),
                                       hasPassword ? password.c_str() : nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && options.tls) {
        // Without a CA of its own, the system's (Debian's ca-certificates).
        if (options.ca.empty()) {
            rc = mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        }
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_tls_set(m, options.ca.empty() ? nullptr : options.ca.c_str(),
                                   options.ca.empty() ? SystemCertificates : nullptr,
                                   options.cert.empty() ? nullptr : options.cert.c_str(),
                                   options.key.empty() ? nullptr : options.key.c_str(),
                                   NoKeyPassword);
        }
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_int_option(m, MOSQ_OPT_SEND_MAXIMUM, Window);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    }
    return rc;
}

void TPublisher::Start()
{
    sender = std::thread([this] { Run(); });
}

std::string TPublisher::StatusPayload(std::size_t meter) const
{
    const Shown& s = shown[meter];
    return R"({"state":"online","model":)" + JsonField(model) + R"(,"mode":)" + JsonField(s.mode) +
           R"(,"vrange":)" + JsonField(s.voltageRange) + R"(,"crange":)" +
           JsonField(s.currentRange) + "}";
}

void TPublisher::Begin()
{
    {
        const std::lock_guard guard(lock);
        begun = true;
    }
}

void TPublisher::Publish(std::size_t meter, const record::Reading& reading)
{
    std::string payload = record::FormatReading(reading, record::Format::Jsonl);
    payload.pop_back(); // the line's newline
    {
        const std::lock_guard guard(lock);
        if (closing || !begun || meter >= pending.size()) {
            return;
        }
        // The retained status follows the mode and ranges the meter reports;
        // a first reading that is a gap leaves them unknown.
        Shown& s = shown[meter];
        const bool differs = reading.status == record::Status::Ok &&
                             (s.mode != reading.mode || s.voltageRange != reading.voltageRange ||
                              s.currentRange != reading.currentRange);
        if (differs) {
            s = {true, reading.mode, reading.voltageRange, reading.currentRange};
        }
        if (differs || !s.announced) {
            s.announced = true;
            pending[meter].push_back({taken++, Kind::Online, StatusPayload(meter)});
        }
        if (held >= options.queue) {
            // The oldest reading still in the queue; statuses stay.
            std::deque<Entry>* oldest = nullptr;
            std::deque<Entry>::iterator at;
            for (auto& q : pending) {
                const auto it = std::find_if(
                    q.begin(), q.end(), [](const Entry& e) { return e.kind == Kind::Reading; });
                if (it != q.end() && (oldest == nullptr || it->order < at->order)) {
                    oldest = &q;
                    at = it;
                }
            }
            ++counts.dropped;
            if (oldest == nullptr) {
                return; // all of them are in flight: this one goes
            }
            oldest->erase(at);
            --held;
        }
        pending[meter].push_back({taken++, Kind::Reading, std::move(payload)});
        ++held;
    }
    Wake();
}

PublishCounts TPublisher::Close(std::chrono::milliseconds patience, int stopFd)
{
    if (!sender.joinable()) {
        return Counts();
    }
    {
        const std::lock_guard guard(lock);
        closing = true;
        deadline = Clock::now() + patience;
        for (auto& q : pending) {
            q.push_back({taken++, Kind::Offline, OfflinePayload});
        }
    }
    Wake();
    pollfd p[2] = {{doneFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    while (::poll(p, stopFd >= 0 ? 2 : 1, -1) < 0 && errno == EINTR) {
    }
    if ((p[0].revents & POLLIN) == 0) {
        // Stopped once more: what has not gone stays undelivered.
        {
            const std::lock_guard guard(lock);
            deadline = Clock::now();
        }
        Wake();
    }
    sender.join();
    return Counts();
}

PublishCounts TPublisher::Counts() const
{
    const std::lock_guard guard(lock);
    PublishCounts c = counts;
    c.queued = held;
    return c;
}

BrokerState TPublisher::State() const
{
    const std::lock_guard guard(lock);
    return Aggregate(states);
}

BrokerState TPublisher::Aggregate(const std::vector<LinkState>& states)
{
    BrokerState b;
    b.settled = std::all_of(states.begin(), states.end(), [](auto& s) { return s.answered; });
    // The worst connection speaks for all.
    for (const auto kind :
         {BrokerState::Kind::Refused, BrokerState::Kind::Away, BrokerState::Kind::Connecting}) {
        for (const auto& s : states) {
            if (s.kind == kind) {
                b.kind = kind;
                b.text = kind == BrokerState::Kind::Connecting ? "connecting" : s.text;
                return b;
            }
        }
    }
    b.kind = BrokerState::Kind::Connected;
    b.text = "connected";
    return b;
}

void TPublisher::SetState(std::size_t index, BrokerState::Kind kind, std::string text)
{
    bool change = false;
    {
        const std::lock_guard guard(lock);
        const BrokerState before = Aggregate(states);
        states[index] = {kind, std::move(text), true};
        const BrokerState after = Aggregate(states);
        change = before.kind != after.kind || before.text != after.text ||
                 before.settled != after.settled;
    }
    if (change && changed) {
        changed();
    }
}

void TPublisher::Wake() const
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
}

void TPublisher::Connect(Link& link)
{
    link.phase = Link::Phase::Connecting;
    link.refusal = 0;
    link.tlsText.clear();
    errno = 0;
    // Non-blocking: a broker that does not answer keeps no one waiting.
    const int rc = link.tried ? mosquitto_reconnect_async(link.handle)
                              : mosquitto_connect_async(link.handle, options.host.c_str(),
                                                        options.port, KeepAliveSeconds);
    const int error = errno;
    link.tried = true;
    if (rc != MOSQ_ERR_SUCCESS) {
        Down(link, rc, error);
    }
}

void TPublisher::Down(Link& link, int rc, int error)
{
    const bool wasConnected = link.phase == Link::Phase::Connected;
    link.phase = Link::Phase::Idle;
    ++link.failures;
    link.nextAttempt = Clock::now() + Backoff(link.failures);
    if (rc == MOSQ_ERR_SUCCESS) {
        return; // our own DISCONNECT
    }
    BrokerState::Kind kind = BrokerState::Kind::Away;
    std::string text;
    if (link.refusal != 0) {
        kind = BrokerState::Kind::Refused;
        std::string answer = mosquitto_connack_string(link.refusal);
        if (const auto colon = answer.find(": "); colon != std::string::npos) {
            answer.erase(0, colon + 2);
        }
        text = "the broker refused the connection: " + Sentence(answer);
    } else if (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE) {
        kind = BrokerState::Kind::Refused;
        // "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed"
        std::string why = link.tlsText;
        if (const auto colon = why.rfind(':'); colon != std::string::npos) {
            why.erase(0, colon + 1);
        }
        text = "TLS failed: " + (why.empty() ? Sentence(mosquitto_strerror(rc)) : Sentence(why));
    } else if (rc == MOSQ_ERR_CONN_LOST) {
        text =
            wasConnected ? "connection lost" : "cannot connect: the broker closed the connection";
    } else {
        const std::string why =
            rc == MOSQ_ERR_ERRNO && error != 0 ? std::strerror(error) : mosquitto_strerror(rc);
        text = (wasConnected ? "connection lost: " : "cannot connect: ") + Sentence(why);
    }
    SetState(link.index, kind, std::move(text));
}

void TPublisher::Acknowledged(Link& link, int mid)
{
    const auto it = link.inflight.find(mid);
    if (it == link.inflight.end()) {
        return;
    }
    if (it->second == Kind::Reading) {
        const std::lock_guard guard(lock);
        ++counts.published;
        --held;
    }
    if (mid == link.offlineMid) {
        link.offlineAcknowledged = true;
    }
    link.inflight.erase(it);
}

void TPublisher::Send(Link& link, Kind kind, const std::string& payload)
{
    int mid = 0;
    const std::string& topic = kind == Kind::Reading ? link.readingTopic : link.statusTopic;
    const int rc =
        mosquitto_publish(link.handle, &mid, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), 1, kind != Kind::Reading);
    switch (rc) {
    case MOSQ_ERR_INVAL:
    case MOSQ_ERR_NOMEM:
    case MOSQ_ERR_PAYLOAD_SIZE:
    case MOSQ_ERR_MALFORMED_UTF8:
    case MOSQ_ERR_OVERSIZE_PACKET:
    case MOSQ_ERR_QOS_NOT_SUPPORTED:
    case MOSQ_ERR_RETAIN_NOT_SUPPORTED:
        // Refused before it was queued: it cannot go.
        if (kind == Kind::Reading) {
            const std::lock_guard guard(lock);
            ++counts.dropped;
            --held;
        }
        return;
    default:
        // Queued by libmosquitto, also when the connection broke meanwhile:
        // it goes again on the next one.
        break;
    }
    link.inflight[mid] = kind;
    if (kind != Kind::Reading) {
        link.lastStatus = payload;
    }
    if (kind == Kind::Offline) {
        link.offlineMid = mid;
    }
}

void TPublisher::HandOver(Link& link)
{
    if (link.statusDue) {
        // A new connection: the broker may have lost the status, or
        // published the last will since.
        link.statusDue = false;
        Send(link, link.lastStatus == OfflinePayload ? Kind::Offline : Kind::Online,
             link.lastStatus);
    }
    std::vector<Entry> batch;
    {
        const std::lock_guard guard(lock);
        auto& q = pending[link.index];
        while (!q.empty() && link.inflight.size() + batch.size() < Window &&
               link.phase == Link::Phase::Connected) {
            batch.push_back(std::move(q.front()));
            q.pop_front();
        }
    }
    for (const Entry& e : batch) {
        Send(link, e.kind, e.payload);
    }
}

void TPublisher::Step(Link& link)
{
    link.lastStep = Clock::now();
    errno = 0;
    const int rc = mosquitto_loop(link.handle, 0, 1);
    const int error = errno;
    // A failure the disconnect callback did not report: a TLS handshake
    // that failed inside the step, or a descriptor above select's limit,
    // which would otherwise be polled again at once (the next attempt
    // closes it).
    if (rc != MOSQ_ERR_SUCCESS && link.phase != Link::Phase::Idle &&
        (mosquitto_socket(link.handle) < 0 || rc == MOSQ_ERR_INVAL)) {
        Down(link, rc, error);
    }
}

bool TPublisher::Drained()
{
    for (const auto& link : links) {
        if (!link->inflight.empty()) {
            return false;
        }
    }
    // An offline status is owed only where an online one went out.
    const std::lock_guard guard(lock);
    for (std::size_t i = 0; i < pending.size(); ++i) {
        for (const Entry& e : pending[i]) {
            if (e.kind != Kind::Offline || !links[i]->lastStatus.empty()) {
                return false;
            }
        }
    }
    return true;
}

void TPublisher::Run()
{
    std::vector<pollfd> fds;
    std::vector<Link*> polled;
    for (;;) {
        Clock::time_point until = Clock::time_point::max();
        const bool ending = Ending(until);
        Tend(Clock::now());
        const auto now = Clock::now();
        if (ending && (now >= until || Drained())) {
            break;
        }
        Watch(fds, polled, until);
        if (!Wait(fds, until, now)) {
            break; // cannot happen with valid descriptors
        }
        const auto woken = Clock::now();
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if (fds[i + 1].revents != 0 || woken >= polled[i]->lastStep + StepPeriod) {
                Step(*polled[i]);
            }
        }
    }
    for (auto& link : links) {
        // Without a DISCONNECT the broker publishes the last will: offline
        // also when the offline status did not get through.
        if (link->phase == Link::Phase::Connected && link->offlineAcknowledged) {
            mosquitto_disconnect(link->handle);
        }
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(doneFd, &one, sizeof one);
}

bool TPublisher::Ending(Clock::time_point& until)
{
    const std::lock_guard guard(lock);
    if (closing) {
        until = deadline;
    }
    return closing;
}

void TPublisher::Tend(Clock::time_point now)
{
    for (auto& link : links) {
        if (link->phase == Link::Phase::Idle && now >= link->nextAttempt) {
            Connect(*link);
        }
        if (link->phase == Link::Phase::Connected) {
            HandOver(*link);
        }
    }
}

void TPublisher::Watch(std::vector<pollfd>& fds, std::vector<Link*>& polled,
                       Clock::time_point& until)
{
    fds.assign(1, {wakeFd, POLLIN, 0});
    polled.clear();
    for (auto& link : links) {
        const int socket = mosquitto_socket(link->handle);
        if (link->phase != Link::Phase::Idle && socket < 0) {
            Down(*link, MOSQ_ERR_NO_CONN, 0); // closed without a word
        }
        if (link->phase != Link::Phase::Idle) {
            const short events = POLLIN | (mosquitto_want_write(link->handle) ? POLLOUT : 0);
            fds.push_back({socket, events, 0});
            polled.push_back(link.get());
            until = std::min(until, link->lastStep + StepPeriod);
        } else {
            until = std::min(until, link->nextAttempt);
        }
    }
}

bool TPublisher::Wait(std::vector<pollfd>& fds, Clock::time_point until, Clock::time_point now)
{
    int timeout = -1;
    if (until != Clock::time_point::max()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
        timeout = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 60'000));
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
        return false;
    }
    if ((fds[0].revents & POLLIN) != 0) {
        std::uint64_t news = 0;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd, &news, sizeof news);
    }
    return true;
}

} // namespace vlog
