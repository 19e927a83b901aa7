// Unit under test: simulator (the simulated meter serving a pseudo-terminal).
#include "instrument-sim/simulator.h"

#include "SimTest.h"
#include "protocol/crc.h"
#include "protocol/float.h"

#include <linux/close_range.h>
#include <pty.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cmath>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;
using simtest::Bytes;
using simtest::Client;
using simtest::Request;

namespace {

bool Intact(const Bytes& b)
{
    return ReplyIntact(b.data(), static_cast<std::uint16_t>(b.size()));
}

Bytes Sealed(Bytes frame)
{
    PutCheckCode(frame.data(), static_cast<std::uint16_t>(frame.size()));
    return frame;
}

Bytes Head(const Bytes& b, std::size_t n)
{
    return {b.begin(), b.begin() + static_cast<std::ptrdiff_t>(std::min(n, b.size()))};
}

class SimulatorTest : public ::testing::Test {
protected:
    void StartWith(sim::Faults faults)
    {
        sim::Config config;
        config.faults = faults;
        config.seed = 42;
        simulator_.emplace(config);
        simulator_->Start();
        client_.emplace(simulator_->Path());
    }
    void TearDown() override
    {
        if (simulator_) {
            simulator_->Stop();
            EXPECT_EQ(simulator_->Error(), "");
        }
    }
    Bytes Measure() { return client_->Exchange(Request(Command::ReadMeasurement), 10); }

    std::optional<sim::Simulator> simulator_;
    std::optional<Client> client_;
};

} // namespace

TEST_F(SimulatorTest, RepliesCheckToZeroAndFollowTheSettingCommands)
{
    StartWith({});
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(client_->Exchange(Request(Command::SetMode, 3), 4),
              Request(Command::SetMode, 3)); // the acknowledgement echoes the request
    for (const auto& [command, parameter] :
         {std::pair{Command::SetVoltageRange, 5}, std::pair{Command::SetCurrentRange, 1}}) {
        const Bytes ack = client_->Exchange(Request(command, std::uint8_t(parameter)), 4);
        ASSERT_EQ(ack.size(), 4u);
        EXPECT_TRUE(Intact(ack));
        EXPECT_EQ(ack[1], parameter);
    }

    const Bytes m = Measure();
    ASSERT_EQ(m.size(), 10u);
    EXPECT_TRUE(Intact(m));
    EXPECT_EQ(Head(m, 4), (Bytes{0x41, 3, 5, 1}));
    EXPECT_LE(std::fabs(DecodeFloat(&m[4])), 450 * 2.5);
    EXPECT_EQ(client_->Exchange(Request(Command::ReadVoltageRange), 4).at(1), 5);
    const Bytes c = client_->Exchange(Request(Command::ReadCurrentRange), 4);
    EXPECT_TRUE(Intact(c));
    EXPECT_EQ(Head(c, 2), (Bytes{0x43, 1}));

    const auto state = simulator_->State();
    EXPECT_EQ(state.mode, 3);
    EXPECT_EQ(state.voltageRange, 5);
    EXPECT_EQ(state.currentRange, 1);

    const auto requests = simulator_->Requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[3].bytes, Request(Command::ReadMeasurement));
    auto previous = before;
    for (const auto& r : requests) {
        EXPECT_EQ(r.outcome, sim::RequestOutcome::Answered);
        EXPECT_GE(r.time, previous);
        previous = r.time;
    }
    EXPECT_LE(previous, std::chrono::steady_clock::now());
}

TEST_F(SimulatorTest, InvalidRequestsGetNoAnswer)
{
    using sim::RequestOutcome;
    StartWith({});
    const std::pair<Bytes, RequestOutcome> invalid[] = {
        {{0x41, 0x7F, 0x71}, RequestOutcome::BadCheck},
        {Request(Command::SetMode, 0), RequestOutcome::BadParameter},
        {Request(Command::SetMode, 4), RequestOutcome::BadParameter},
        {Request(Command::SetVoltageRange, 7), RequestOutcome::BadParameter},
        {Request(Command::SetCurrentRange, 4), RequestOutcome::BadParameter},
        {Sealed({0x44, 0, 0}), RequestOutcome::UnknownCommand}, // intact, but no command
        {{0x41}, RequestOutcome::Incomplete},
    };
    std::size_t count = 0;
    for (const auto& [bytes, outcome] : invalid) {
        client_->Send(bytes);
        ASSERT_TRUE(simulator_->WaitForRequests(++count, simtest::Patience));
        EXPECT_EQ(simulator_->Requests().back().outcome, outcome) << count;
        // Unanswered requests count as well.
        EXPECT_EQ(simulator_->RequestCount(), count);
    }
    // Garbage after a broken frame goes with it.
    client_->Send({0x42, 0x00, 0x00, 0x41, 0x7F, 0x70});
    ASSERT_TRUE(simulator_->WaitForRequests(++count, simtest::Patience));
    EXPECT_EQ(simulator_->Requests().back().bytes.size(), 6u);

    // Nothing was sent: the first bytes back belong to the next valid request.
    const Bytes reply = client_->Exchange(Request(Command::ReadVoltageRange), 4);
    EXPECT_EQ(Head(reply, 2), (Bytes{0x42, 0}));
    EXPECT_TRUE(Intact(reply));
    EXPECT_EQ(simulator_->Sent().size(), 1u);
    EXPECT_EQ(simulator_->State().mode, 1);
}

TEST_F(SimulatorTest, TwoRequestsInOneWriteGetTwoReplies)
{
    StartWith({});
    Bytes both = Request(Command::ReadVoltageRange);
    const Bytes second = Request(Command::ReadCurrentRange);
    both.insert(both.end(), second.begin(), second.end());
    const Bytes replies = client_->Exchange(both, 8);
    ASSERT_EQ(replies.size(), 8u);
    EXPECT_TRUE(Intact(Head(replies, 4)));
    EXPECT_EQ(replies[4], 0x43);
}

TEST_F(SimulatorTest, DelayHoldsTheReplyBack)
{
    sim::Faults f;
    f.replyDelay = 150ms;
    StartWith(f);
    EXPECT_TRUE(Intact(Measure()));
    ASSERT_EQ(simulator_->Sent().size(), 1u);
    EXPECT_GE(simulator_->Sent()[0].time - simulator_->Requests()[0].time, 150ms);
}

TEST_F(SimulatorTest, SilenceAnswersNothing)
{
    sim::Faults f;
    f.silent = true;
    StartWith(f);
    client_->Send(Request(Command::SetMode, 2));
    ASSERT_TRUE(simulator_->WaitForRequests(1, simtest::Patience));
    EXPECT_EQ(simulator_->Requests()[0].outcome, sim::RequestOutcome::Silenced);
    EXPECT_EQ(simulator_->State().mode, 1); // not acted on either

    simulator_->SetFaults({});
    const Bytes m = Measure();
    EXPECT_TRUE(Intact(m));
    EXPECT_EQ(m.at(0), 0x41);
    EXPECT_EQ(simulator_->Sent().size(), 1u);
}

TEST_F(SimulatorTest, WrongCheckCodesWithTheirProbability)
{
    sim::Faults f;
    f.badCheckProbability = 1;
    StartWith(f);
    for (int i = 0; i < 5; ++i) {
        const Bytes m = Measure();
        ASSERT_EQ(m.size(), 10u);
        EXPECT_EQ(m[0], 0x41);
        EXPECT_FALSE(Intact(m));
    }
    f.badCheckProbability = 0.5;
    simulator_->SetFaults(f);
    int bad = 0;
    for (int i = 0; i < 40; ++i) {
        bad += !Intact(Measure());
    }
    EXPECT_GT(bad, 5);
    EXPECT_LT(bad, 35);
}

TEST_F(SimulatorTest, SplitRepliesComeInPiecesWithPauses)
{
    sim::Faults f;
    f.splitPieces = 3;
    f.splitPause = 30ms;
    StartWith(f);
    EXPECT_TRUE(Intact(Measure()));
    const auto sent = simulator_->Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].bytes.size() + sent[1].bytes.size() + sent[2].bytes.size(), 10u);
    EXPECT_GE(sent[1].time - sent[0].time, 30ms);
    EXPECT_GE(sent[2].time - sent[1].time, 30ms);
}

TEST_F(SimulatorTest, ExtraAndMissingBytes)
{
    sim::Faults f;
    f.extraBytes = 3;
    StartWith(f);
    Bytes m = client_->Exchange(Request(Command::ReadMeasurement), 13);
    ASSERT_EQ(m.size(), 13u);
    EXPECT_TRUE(Intact(Head(m, 10)));
    EXPECT_FALSE(Intact(m));

    f.extraBytes = 0;
    f.missingBytes = 4;
    simulator_->SetFaults(f);
    m = client_->Exchange(Request(Command::ReadMeasurement), 6);
    ASSERT_EQ(m.size(), 6u);
    EXPECT_EQ(m[0], 0x41);
    // The cut bytes never follow: the next reply comes whole and alone.
    simulator_->SetFaults({});
    const Bytes next = Measure();
    EXPECT_TRUE(Intact(next));
    EXPECT_EQ(next.at(0), 0x41);
}

TEST_F(SimulatorTest, NoiseBetweenReplies)
{
    sim::Faults f;
    f.noiseBytes = 5;
    f.noiseDelay = 20ms;
    StartWith(f);
    const Bytes got = client_->Exchange(Request(Command::ReadMeasurement), 15);
    ASSERT_EQ(got.size(), 15u);
    EXPECT_TRUE(Intact(Head(got, 10)));
    const auto sent = simulator_->Sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].bytes.size(), 5u);
    EXPECT_GE(sent[1].time - sent[0].time, 20ms);
}

TEST_F(SimulatorTest, BurstFollowsTheNextReplyOnce)
{
    sim::Faults f;
    f.burstBytes = 300;
    StartWith(f);
    const Bytes got = client_->Exchange(Request(Command::ReadMeasurement), 310);
    ASSERT_EQ(got.size(), 310u);
    EXPECT_TRUE(Intact(Head(got, 10)));
    EXPECT_EQ(simulator_->GetFaults().burstBytes, 0);
    EXPECT_TRUE(Intact(Measure()));
    ASSERT_EQ(simulator_->Sent().size(), 2u);
    EXPECT_EQ(simulator_->Sent()[1].bytes.size(), 10u);
}

TEST_F(SimulatorTest, ClearedRecordsStartAfreshWhileTheCountGoesOn)
{
    StartWith({});
    EXPECT_TRUE(Intact(Measure()));
    simulator_->ClearRecords();
    EXPECT_TRUE(simulator_->Requests().empty());
    EXPECT_TRUE(simulator_->Sent().empty());
    EXPECT_TRUE(Intact(Measure()));
    ASSERT_EQ(simulator_->Requests().size(), 1u);
    EXPECT_EQ(simulator_->Sent().size(), 1u);
    EXPECT_TRUE(simulator_->WaitForEnds(1, simtest::Patience))
        << "the reply after the clear is told of its end";
    EXPECT_EQ(simulator_->RepliesSent(), 2u);
}

TEST_F(SimulatorTest, HangsUpAfterItsReplies)
{
    sim::Faults f;
    f.hangUpAfter = 2;
    StartWith(f);
    EXPECT_TRUE(Intact(Measure()));
    EXPECT_FALSE(simulator_->HungUp());
    EXPECT_TRUE(Intact(Measure()));
    EXPECT_TRUE(client_->WaitHangUp());
    simulator_->Stop();
    EXPECT_TRUE(simulator_->HungUp());
    EXPECT_EQ(simulator_->RepliesSent(), 2u);
}

TEST_F(SimulatorTest, StopsWhileOutputIsStuck)
{
    sim::Faults f;
    f.burstBytes = 1 << 20; // far more than the terminal holds; nobody reads
    StartWith(f);
    client_->Send(Request(Command::ReadMeasurement));
    ASSERT_TRUE(simulator_->WaitForSent(1, simtest::Patience));
    simulator_->Stop(); // must not wait for the output to drain
}

TEST(Simulator, ServesAGivenDevice)
{
    int master = -1;
    int slave = -1;
    char name[128];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    const platform::UniqueFd masterFd(master);
    const platform::UniqueFd slaveFd(slave);

    sim::Config config;
    config.device = name;
    config.state.mode = 2;
    config.baud = 9600; // line time kept: 1.04 ms a byte, 8N1
    sim::Simulator simulator(config);
    EXPECT_EQ(simulator.Path(), name);
    termios line{};
    ASSERT_EQ(::tcgetattr(slave, &line), 0);
    EXPECT_EQ(::cfgetospeed(&line), static_cast<speed_t>(B9600));
    simulator.Start();
    const Bytes request = Request(Command::ReadMeasurement);
    const auto asked = std::chrono::steady_clock::now();
    ASSERT_EQ(::write(master, request.data(), request.size()), 3);
    std::uint8_t reply[10];
    std::size_t got = 0;
    while (got < sizeof reply) {
        pollfd p{master, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, static_cast<int>(simtest::Patience.count())), 1);
        const ssize_t n = ::read(master, reply + got, sizeof reply - got);
        ASSERT_GT(n, 0);
        got += static_cast<std::size_t>(n);
    }
    // No sooner than ten bytes' line time: the reply is paced, not dumped.
    constexpr auto lineTime = 10 * 10'000'000'000ns / 9600; // ten bytes of ten bits
    EXPECT_GE(std::chrono::steady_clock::now() - asked, lineTime);
    // Its end is when the last byte went, after all ten bytes' line time.
    ASSERT_TRUE(simulator.WaitForEnds(1, simtest::Patience));
    const auto sent = simulator.Sent();
    EXPECT_GE(sent.at(0).end - sent.at(0).time, lineTime);
    EXPECT_EQ(Crc16(reply, 10), 0);
    EXPECT_EQ(reply[1], 2);
    simulator.Stop();
}

TEST(Simulator, AMissingDeviceOrOneThatIsNoPortIsRefused)
{
    sim::Config config;
    config.device = "/nonexistent/ttyUSB9";
    try {
        sim::Simulator simulator(config);
        FAIL() << "opened a missing device";
    } catch (const std::system_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/ttyUSB9"), std::string::npos);
        EXPECT_EQ(e.code().value(), ENOENT);
    }
    // No client could ever reach it.
    simtest::TempDir tmp;
    for (const std::string& device : {std::string("/dev/null"), tmp / "file"}) {
        std::ofstream(tmp / "file") << "x";
        config.device = device;
        try {
            sim::Simulator simulator(config);
            ADD_FAILURE() << "serves " << device;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), device + " is not a serial port");
        }
    }
}

namespace {

// Whether the slave at path carries TIOCEXCL: a user's open is refused,
// root's shows it.
bool Exclusive(const std::string& path)
{
    const platform::UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) {
        return errno == EBUSY;
    }
    int exclusive = 0;
    return ::ioctl(fd.Get(), TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

} // namespace

// A client killed outright leaves its TIOCEXCL on the pair, and every later
// open would be refused: the simulator, which holds the pair, clears it
// once no process has the slave, and not before.
TEST(Simulator, ClearsTheExclusiveClaimOfAClientThatWasKilled)
{
    sim::Simulator simulator({});
    simulator.Start();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t client = ::fork();
    if (client == 0) {
        // Another program: none of the test's descriptors, the pair's master among them.
        ::dup2(ready[1], 100);
        ::close_range(3, 99, 0);
        const int fd = ::open(simulator.Path().c_str(), O_RDWR | O_NOCTTY);
        ::ioctl(fd, TIOCEXCL);
        const Bytes query = Request(Command::ReadMeasurement);
        (void)!::write(fd, query.data(), query.size());
        (void)!::write(100, "x", 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    // Answered after the simulator looked at the claim.
    ASSERT_TRUE(simulator.WaitForSent(1, simtest::Patience));
    EXPECT_TRUE(Exclusive(simulator.Path())) << "a live client's claim was cleared";
    ::kill(client, SIGKILL);
    ::waitpid(client, nullptr, 0);
    bool cleared = false;
    for (auto end = std::chrono::steady_clock::now() + simtest::Patience;
         !cleared && std::chrono::steady_clock::now() < end;) {
        cleared = !Exclusive(simulator.Path());
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(cleared);
}
