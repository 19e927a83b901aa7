// Unit under test: velmor-log publishing to an MQTT broker: Debian's
// mosquitto, started here on a free port of 127.0.0.1 with a configuration
// of the test's own, and a subscriber on libmosquitto.
#include "LogTest.h"
#include "MqttSubscriber.h"

#include <mosquitto.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <set>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace logtest;

namespace {

// Runs a program to its end, its output dropped; true when it exits 0.
bool Run(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return spawned == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

sockaddr_in Loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

int FreePort()
{
    const platform::UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(0);
    socklen_t size = sizeof a;
    if (::bind(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&a), &size) != 0) {
        return 0;
    }
    return ntohs(a.sin_port);
}

bool Accepts(int port)
{
    const platform::UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = Loopback(port);
    return ::connect(s.Get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

bool BrokerInstalled()
{
#ifdef VELMOR_MOSQUITTO
    return fs::exists(VELMOR_MOSQUITTO);
#else
    return false;
#endif
}

#define SKIP_WITHOUT_BROKER()                                                                      \
    if (!BrokerInstalled()) {                                                                      \
        GTEST_SKIP() << "Debian's mosquitto is not installed (make test installs it)";             \
    }

// mosquitto on 127.0.0.1 at a free port, with its configuration, its log
// and its persistence (so that a subscriber's session outlives a restart)
// in dir/broker. password: one user from mosquitto_passwd; tls: a server
// certificate for 127.0.0.1 signed by a CA made here with openssl, and a
// second CA that signed nothing of it.
class Broker {
public:
    struct Config {
        bool password = false;
        bool tls = false;
        bool start = true;
    };
    static constexpr const char* User = "bench";
    static constexpr const char* Password = "two words";

    Broker(const fs::path& scratch, Config config) : dir(scratch / "broker"), config(config)
    {
        fs::create_directories(dir);
        if (config.password) {
            EXPECT_TRUE(Run(
                {"mosquitto_passwd", "-c", "-b", (dir / "passwords").string(), User, Password}));
        }
        if (config.tls) {
            MakeCertificates();
        }
        // A port another test took meanwhile: the next one.
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = FreePort();
            WriteConfiguration();
            if (!config.start || Start()) {
                return;
            }
        }
        ADD_FAILURE() << "mosquitto did not start; its log: " << (dir / "log").string();
    }
    ~Broker() { Stop(); }
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;

    // True once it accepts connections.
    bool Start()
    {
        std::string program = VELMOR_MOSQUITTO;
        std::string dash = "-c";
        std::string file = (dir / "mosquitto.conf").string();
        char* argv[] = {program.data(), dash.data(), file.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (dir / "log").c_str(),
                                         O_WRONLY | O_CREAT | O_APPEND, 0600);
        const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (spawned != 0) {
            pid = -1;
            return false;
        }
        for (auto end = std::chrono::steady_clock::now() + simtest::Patience;
             std::chrono::steady_clock::now() < end;) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return false; // the port was taken
            }
            if (Accepts(port)) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    // Takes effect at the next start.
    void ChangePassword(const std::string& password)
    {
        EXPECT_TRUE(Run({"mosquitto_passwd", "-b", (dir / "passwords").string(), User, password}));
    }
    // Ends it as a service stop does: it saves its persistence first.
    void Stop()
    {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }

    int Port() const { return port; }
    std::string Url(const std::string& scheme = "mqtt") const
    {
        return scheme + "://127.0.0.1:" + std::to_string(port);
    }
    bool HasPassword() const { return config.password; }
    bool HasTls() const { return config.tls; }
    std::string Ca() const { return (dir / "ca.crt").string(); }
    std::string OtherCa() const { return (dir / "other.crt").string(); }

private:
    void MakeCertificates()
    {
        const auto file = [&](const char* name) { return (dir / name).string(); };
        const std::vector<std::string> key = {"-newkey", "ec", "-pkeyopt",
                                              "ec_paramgen_curve:prime256v1", "-nodes"};
        const auto request = [&](std::vector<std::string> args) {
            args.insert(args.begin(), {"openssl", "req"});
            args.insert(args.end(), key.begin(), key.end());
            return Run(args);
        };
        std::ofstream(file("san")) << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
        EXPECT_TRUE(request({"-x509", "-days", "2", "-subj", "/CN=velmor test CA", "-keyout",
                             file("ca.key"), "-out", file("ca.crt")}));
        EXPECT_TRUE(request({"-x509", "-days", "2", "-subj", "/CN=velmor other CA", "-keyout",
                             file("other.key"), "-out", file("other.crt")}));
        EXPECT_TRUE(request(
            {"-subj", "/CN=localhost", "-keyout", file("server.key"), "-out", file("server.csr")}));
        EXPECT_TRUE(Run({"openssl", "x509", "-req", "-in", file("server.csr"), "-CA",
                         file("ca.crt"), "-CAkey", file("ca.key"), "-CAcreateserial", "-days", "2",
                         "-extfile", file("san"), "-out", file("server.crt")}));
    }

    void WriteConfiguration()
    {
        std::ofstream conf(dir / "mosquitto.conf");
        // As root it would become the mosquitto user, who may not read here.
        conf << "user root\n"
             << "listener " << port << " 127.0.0.1\n"
             << "persistence true\n"
             << "persistence_location " << (dir / "").string() << "\n"
             << "max_queued_messages 0\n";
        if (config.password) {
            conf << "allow_anonymous false\n"
                 << "password_file " << (dir / "passwords").string() << "\n";
        } else {
            conf << "allow_anonymous true\n";
        }
        if (config.tls) {
            conf << "certfile " << (dir / "server.crt").string() << "\n"
                 << "keyfile " << (dir / "server.key").string() << "\n";
        }
    }

    fs::path dir;
    Config config;
    int port = 0;
    pid_t pid = -1;
};

using mqtttest::Messages;

// A subscriber to the test's broker, with its password and CA where it has
// them; id: a persistent session under that id.
class Subscriber : public mqtttest::Subscriber {
public:
    Subscriber(const Broker& broker, std::string topic, const std::string& id = {})
        : mqtttest::Subscriber(Settings(broker, std::move(topic), id), simtest::Patience)
    {
        EXPECT_TRUE(Subscribed()) << "no subscription to " << Topic();
    }

    bool WaitFor(const std::function<bool(const Messages&)>& done,
                 std::chrono::milliseconds patience = simtest::Patience)
    {
        return mqtttest::Subscriber::WaitFor(done, patience);
    }

private:
    static mqtttest::SubscriberSettings Settings(const Broker& broker, std::string topic,
                                                 const std::string& id)
    {
        mqtttest::SubscriberSettings s{broker.Port(), std::move(topic), id, {}, {}, {}};
        if (broker.HasPassword()) {
            s.user = Broker::User;
            s.password = Broker::Password;
        }
        if (broker.HasTls()) {
            s.ca = broker.Ca();
        }
        return s;
    }
};

// The payloads on one topic, in the order they came.
std::vector<std::string> On(const Messages& messages, const std::string& topic)
{
    std::vector<std::string> payloads;
    for (const auto& m : messages) {
        if (m.topic == topic) {
            payloads.push_back(m.payload);
        }
    }
    return payloads;
}

// The first of each, in order: QoS 1 may bring one again after a broken
// connection.
std::vector<std::string> FirstOfEach(const std::vector<std::string>& payloads)
{
    std::set<std::string> seen;
    std::vector<std::string> first;
    for (const auto& p : payloads) {
        if (seen.insert(p).second) {
            first.push_back(p);
        }
    }
    return first;
}

// The lines of one port's readings.
std::vector<std::string> LinesOf(const std::vector<std::string>& lines, const std::string& port)
{
    std::vector<std::string> of;
    for (const auto& l : lines) {
        if (l.find("\"port\":\"" + port + "\"") != std::string::npos) {
            of.push_back(l);
        }
    }
    return of;
}

const std::string Offline = R"({"state":"offline"})";

} // namespace

TEST(VelmorLogMqtt, EveryReadingArrivesInOrderWithTheRetainedStatusAndTheLastWill)
{
    SKIP_WITHOUT_BROKER();
    simtest::TempDir tmp;
    Broker broker(tmp.Path(), {.password = true});
    Meter voltage(tmp.Path(), 1, State(1, 2, 0));
    Meter current(tmp.Path(), 2, State(2, 0, 3));
    const std::string device = current.simulator.Path();
    const std::string deviceTopic = "lab/bench1/" + fs::path(device).filename().string();
    const fs::path password = tmp.Path() / "password";
    std::ofstream(password) << Broker::Password << "\n";
    const fs::path file = tmp.Path() / "log.jsonl";
    Subscriber sub(broker, "lab/bench1/#");

    Log log({"--com",
             "1",
             "--device",
             device,
             "--count",
             "25",
             "--interval",
             "0",
             "--format",
             "jsonl",
             "--output",
             file.string(),
             "--mqtt",
             broker.Url(),
             "--mqtt-user",
             Broker::User,
             "--mqtt-password-file",
             password.string(),
             "--mqtt-topic",
             "lab/bench1/"},
            tmp.Path());
    ASSERT_EQ(log.Wait(), 0) << log.err;
    EXPECT_NE(log.err.find("MQTT " + broker.Url() + ": 50 published, 0 dropped, 0 not delivered"),
              std::string::npos)
        << log.err;
    const auto lines = FileLines(file);
    ASSERT_EQ(lines.size(), 50u);
    const auto statuses = [](const std::string& topic) {
        return [topic](const Messages& m) {
            const auto s = On(m, topic + "/status");
            return !s.empty() && s.back() == Offline;
        };
    };
    ASSERT_TRUE(sub.WaitFor(statuses("lab/bench1/COM1")));
    ASSERT_TRUE(sub.WaitFor(statuses(deviceTopic)));

    // Exactly the lines of the file, each port's in its order, QoS 1, not
    // retained; the status online with what the meter reports, then offline.
    const Messages got = sub.Got();
    for (const auto& [port, topic, shown] :
         {std::tuple{std::string("COM1"), std::string("lab/bench1/COM1"),
                     std::string(R"("mode":"voltage","vrange":"75V","crange":"1A")")},
          std::tuple{device, deviceTopic,
                     std::string(R"("mode":"current","vrange":"30V","crange":"10A")")}}) {
        EXPECT_EQ(On(got, topic + "/reading"), LinesOf(lines, port)) << port;
        // Online from the first reading, which tells the mode and ranges.
        const auto status = On(got, topic + "/status");
        EXPECT_EQ(status.front(), R"({"state":"online","model":"dranik",)" + shown + "}") << port;
    }
    for (const auto& m : got) {
        EXPECT_EQ(m.qos, 1) << m.topic;
        EXPECT_FALSE(m.retain) << m.topic; // none was there before
    }
    {
        // A subscriber that comes later is told at once.
        Subscriber late(broker, "lab/bench1/+/status");
        ASSERT_TRUE(late.WaitFor([](const Messages& m) { return m.size() == 2; }));
        for (const auto& m : late.Got()) {
            EXPECT_TRUE(m.retain && m.payload == Offline) << m.topic << " " << m.payload;
        }
    }

    // Killed, it cannot say offline: the broker's last will does. The
    // password from the environment; without --output no lines at all.
    Subscriber watch(broker, "lab/bench1/COM1/#");
    Log killed({"--com", "1", "--mqtt", broker.Url(), "--mqtt-user", Broker::User, "--mqtt-topic",
                "lab/bench1"},
               tmp.Path(), {}, {std::string("VELMOR_MQTT_PASSWORD=") + Broker::Password});
    ASSERT_TRUE(watch.WaitFor([](const Messages& m) {
        const auto s = On(m, "lab/bench1/COM1/status");
        return !s.empty() && s.back().starts_with(R"({"state":"online")") &&
               !On(m, "lab/bench1/COM1/reading").empty();
    })) << killed.err;
    killed.Signal(SIGKILL);
    EXPECT_EQ(killed.Wait(), -1);
    EXPECT_TRUE(watch.WaitFor([](const Messages& m) {
        const auto s = On(m, "lab/bench1/COM1/status");
        return !s.empty() && s.back() == Offline;
    }));
    EXPECT_TRUE(killed.out.empty()) << killed.out;
}

// Polling goes on while the broker is away; afterwards every reading
// arrives, each meter's in its order.
TEST(VelmorLogMqtt, TheBrokerStoppedForFiveSecondsLosesNoReading)
{
    SKIP_WITHOUT_BROKER();
    simtest::TempDir tmp;
    Broker broker(tmp.Path(), {});
    Meter first(tmp.Path(), 1);
    Meter second(tmp.Path(), 2, State(2, 0, 3));
    Subscriber sub(broker, "lab/+/reading", "restart-watcher");
    const fs::path file = tmp.Path() / "log.jsonl";
    Log log({"--com", "1", "--com", "2", "--interval", "20", "--format", "jsonl", "--output",
             file.string(), "--mqtt", broker.Url(), "--mqtt-topic", "lab"},
            tmp.Path());
    ASSERT_TRUE(sub.WaitFor([](const Messages& m) { return m.size() >= 10; })) << log.err;

    broker.Stop();
    const std::size_t before = FileLines(file).size();
    std::this_thread::sleep_for(5s);
    ASSERT_GT(FileLines(file).size(), before + 50) << "polling waited for the broker";
    ASSERT_TRUE(broker.Start());
    const std::size_t restarted = FileLines(file).size();
    // The logger retries at 1, 2, 4 s after the loss: within 3 s of the start.
    const auto distinct = [](const Messages& m) {
        std::set<std::string> payloads;
        for (const auto& message : m) {
            payloads.insert(message.payload);
        }
        return payloads.size();
    };
    ASSERT_TRUE(sub.WaitFor([&](const Messages& m) { return distinct(m) >= restarted + 10; },
                            2 * simtest::Patience))
        << log.err;
    log.Signal(SIGTERM);
    ASSERT_EQ(log.Wait(), 0);
    const auto lines = FileLines(file);
    ASSERT_TRUE(sub.WaitFor([&](const Messages& m) { return distinct(m) >= lines.size(); }));

    const Messages got = sub.Got();
    EXPECT_EQ(FirstOfEach(On(got, "lab/COM1/reading")), LinesOf(lines, "COM1"));
    EXPECT_EQ(FirstOfEach(On(got, "lab/COM2/reading")), LinesOf(lines, "COM2"));
    EXPECT_NE(log.err.find(broker.Url() + ": connection lost"), std::string::npos) << log.err;
    EXPECT_NE(log.err.find(broker.Url() + ": connected\n"), std::string::npos) << log.err;
    EXPECT_NE(log.err.find(" published, 0 dropped, 0 not delivered"), std::string::npos) << log.err;
}

// Away at the start and beyond the queue: the oldest readings are dropped
// and counted, and the newest still go once the broker is back, within the
// time the end gives them.
TEST(VelmorLogMqtt, AFullQueueDropsTheOldestAndTheRestGoOnceTheBrokerIsBack)
{
    SKIP_WITHOUT_BROKER();
    simtest::TempDir tmp;
    Broker broker(tmp.Path(), {});
    Meter meter(tmp.Path(), 1);
    {
        // A session the broker keeps for it while it is away.
        Subscriber sub(broker, "lab/COM1/reading", "queue-watcher");
    }
    broker.Stop();
    const fs::path file = tmp.Path() / "log.jsonl";
    Log log({"--com", "1", "--count", "20", "--interval", "0", "--mqtt-queue", "5", "--format",
             "jsonl", "--output", file.string(), "--mqtt", broker.Url(), "--mqtt-topic", "lab"},
            tmp.Path());
    ASSERT_TRUE(WaitForLines(file, 20)) << "polling waited for the broker";
    ASSERT_TRUE(broker.Start());
    ASSERT_EQ(log.Wait(), 0) << log.err;

    Subscriber sub(broker, "lab/COM1/reading", "queue-watcher");
    ASSERT_TRUE(sub.WaitFor([](const Messages& m) { return m.size() >= 5; })) << log.err;
    const auto lines = FileLines(file);
    EXPECT_EQ(On(sub.Got(), "lab/COM1/reading"),
              std::vector<std::string>(lines.end() - 5, lines.end()));
    // The system's words for the refusal follow the locale.
    EXPECT_NE(log.err.find("velmor-log: " + broker.Url() + ": cannot connect: "), std::string::npos)
        << log.err;
    EXPECT_NE(log.err.find("; readings are queued until it answers\n"), std::string::npos);
    EXPECT_NE(log.err.find("MQTT " + broker.Url() + ": 5 published, 15 dropped, 0 not delivered"),
              std::string::npos)
        << log.err;
}

// Refused at the start: one line with the broker's answer, exit 1, nothing
// logged. Then TLS with the right CA carries the readings, to the default
// topic.
TEST(VelmorLogMqtt, AWrongPasswordOrAnUntrustedCertificateIsRefusedInOneLine)
{
    SKIP_WITHOUT_BROKER();
    simtest::TempDir tmp;
    Broker broker(tmp.Path(), {.password = true, .tls = true});
    Meter meter(tmp.Path(), 1);
    const std::string url = broker.Url("mqtts");
    const fs::path file = tmp.Path() / "log.csv";
    struct Case {
        std::vector<std::string> args;
        std::string password;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{"--mqtt-ca", broker.Ca()}, "wrong", "the broker refused the connection: not authorised"},
        {{"--mqtt-ca", broker.OtherCa()},
         Broker::Password,
         "TLS failed: certificate verify failed"},
        // The system's CAs know nothing of it either.
        {{}, Broker::Password, "TLS failed: certificate verify failed"},
    };
    for (const auto& [args, password, line] : cases) {
        std::vector<std::string> all = {"--com",       "1",           "--count", "3",
                                        "--output",    file.string(), "--mqtt",  url,
                                        "--mqtt-user", Broker::User};
        all.insert(all.end(), args.begin(), args.end());
        Log log(all, tmp.Path(), {}, {"VELMOR_MQTT_PASSWORD=" + password});
        EXPECT_EQ(log.Wait(), 1) << line;
        EXPECT_EQ(log.err, "velmor-log: " + url + ": " + line + "\n");
        EXPECT_TRUE(FileLines(file).empty()) << line;
    }

    Subscriber sub(broker, "velmor/+/COM1/reading");
    const fs::path json = tmp.Path() / "log.jsonl";
    Log log({"--com", "1", "--count", "3", "--format", "jsonl", "--output", json.string(), "--mqtt",
             url, "--mqtt-ca", broker.Ca(), "--mqtt-user", Broker::User},
            tmp.Path(), {}, {std::string("VELMOR_MQTT_PASSWORD=") + Broker::Password});
    ASSERT_EQ(log.Wait(), 0) << log.err;
    ASSERT_TRUE(sub.WaitFor([](const Messages& m) { return m.size() == 3; }));
    EXPECT_EQ(sub.Got()[0].payload, FileLines(json)[0]);

    // Refused later, on a reconnect: the file goes on, and stderr says so.
    const fs::path longer = tmp.Path() / "longer.csv";
    Log running({"--com", "1", "--output", longer.string(), "--mqtt", url, "--mqtt-ca", broker.Ca(),
                 "--mqtt-user", Broker::User},
                tmp.Path(), {}, {std::string("VELMOR_MQTT_PASSWORD=") + Broker::Password});
    ASSERT_TRUE(sub.WaitFor([](const Messages& m) { return m.size() > 3; }));
    broker.Stop();
    broker.ChangePassword("another one");
    ASSERT_TRUE(broker.Start());
    const std::string refusal = "velmor-log: " + url +
                                ": the broker refused the connection: not authorised; readings "
                                "are queued, retrying\n";
    ASSERT_TRUE(running.WaitForError(refusal)) << running.err;
    const std::size_t refused = FileLines(longer).size();
    ASSERT_TRUE(WaitForLines(longer, refused + 5));
    // A second signal ends the wait for the broker at the end.
    running.Signal(SIGTERM);
    ASSERT_TRUE(running.WaitForError("queued readings to " + url + " (up to 5 s)\n"));
    const auto stopped = std::chrono::steady_clock::now();
    running.Signal(SIGTERM);
    EXPECT_EQ(running.Wait(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 4s);
    EXPECT_NE(running.err.find("velmor-log: " + url + ": connection lost"), std::string::npos)
        << running.err;
    EXPECT_EQ(running.err.find(" 0 not delivered"), std::string::npos) << running.err;
}
