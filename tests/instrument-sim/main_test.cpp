// Unit under test: main (the velmor-sim program).
#include "SimTest.h"
#include "protocol/crc.h"

#include <csignal>

namespace fs = std::filesystem;

namespace {

// velmor-sim as a child process.
class Program : public simtest::Child {
public:
    Program(std::vector<std::string> args, const fs::path& comDir)
        : Child(WithProgram(std::move(args)), comDir)
    {
    }

    // The first line of stdout, without its newline.
    std::string FirstLine()
    {
        std::string line;
        char c = 0;
        while (Wait(Out()) && ::read(Out(), &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }

    // Everything on stderr until the program closes it.
    std::string Errors()
    {
        std::string text;
        char buffer[512];
        ssize_t n = 0;
        while (Wait(Err()) && (n = ::read(Err(), buffer, sizeof buffer)) > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

private:
    static std::vector<std::string> WithProgram(std::vector<std::string> args)
    {
        args.insert(args.begin(), VELMOR_SIM_PROGRAM);
        return args;
    }

    static bool Wait(int fd)
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(simtest::Patience.count())) == 1;
    }
};

} // namespace

TEST(VelmorSim, LinksTheTerminalAndRemovesTheLinkOnSignals)
{
    for (const int signal : {SIGTERM, SIGINT}) {
        simtest::TempDir tmp;
        Program program({"--com", "7", "--mode", "3"}, tmp.Path());
        const std::string path = program.FirstLine();
        ASSERT_TRUE(path.starts_with("/dev/pts/")) << path;
        const fs::path link = tmp.Path() / "com7";
        EXPECT_EQ(fs::read_symlink(link), path);

        simtest::Client client(link.string());
        const auto reply = client.Exchange(simtest::Request(Command::ReadMeasurement), 10);
        ASSERT_EQ(reply.size(), 10u);
        EXPECT_EQ(Crc16(reply.data(), 10), 0);
        EXPECT_EQ(reply[1], 3);

        program.Signal(signal);
        EXPECT_EQ(program.Exit(), 0) << strsignal(signal);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link))) << strsignal(signal);
    }
}

TEST(VelmorSim, ServesOneMeterPerComNumberUntilOneSignal)
{
    simtest::TempDir tmp;
    Program program({"--com", "5", "--com", "3", "--mode", "2"}, tmp.Path());
    const std::string first = program.FirstLine();
    const std::string second = program.FirstLine();
    ASSERT_TRUE(first.starts_with("/dev/pts/")) << first;
    ASSERT_TRUE(second.starts_with("/dev/pts/")) << second;
    EXPECT_NE(first, second);
    EXPECT_EQ(fs::read_symlink(tmp.Path() / "com5"), first);
    EXPECT_EQ(fs::read_symlink(tmp.Path() / "com3"), second);

    // Each meter answers on its own, with the options given once for all.
    for (const char* link : {"com5", "com3"}) {
        simtest::Client client((tmp.Path() / link).string());
        const auto reply = client.Exchange(simtest::Request(Command::ReadMeasurement), 10);
        ASSERT_EQ(reply.size(), 10u) << link;
        EXPECT_EQ(Crc16(reply.data(), 10), 0) << link;
        EXPECT_EQ(reply[1], 2) << link;
    }

    program.Signal(SIGTERM);
    EXPECT_EQ(program.Exit(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmp.Path() / "com5")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmp.Path() / "com3")));
}

TEST(VelmorSim, EndsAfterHangingUp)
{
    simtest::TempDir tmp;
    Program program({"--com", "2", "--hangup-after", "1"}, tmp.Path());
    simtest::Client client(program.FirstLine());
    EXPECT_EQ(client.Exchange(simtest::Request(Command::ReadVoltageRange), 4).size(), 4u);
    EXPECT_TRUE(client.WaitHangUp());
    EXPECT_NE(program.Errors().find("hung up after 1 replies"), std::string::npos);
    EXPECT_EQ(program.Exit(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmp.Path() / "com2")));
}

TEST(VelmorSim, BadOptionsHelpAndVersion)
{
    simtest::TempDir tmp;
    Program bad({"--split", "0"}, tmp.Path());
    const std::string errors = bad.Errors();
    EXPECT_NE(errors.find("velmor-sim: --split needs a whole number"), std::string::npos) << errors;
    EXPECT_NE(errors.find("Try 'velmor-sim --help'"), std::string::npos);
    EXPECT_EQ(bad.Exit(), 2);

    Program busy({"--com", "1"}, tmp.Path());
    ASSERT_FALSE(busy.FirstLine().empty());
    Program second({"--com", "1"}, tmp.Path());
    EXPECT_NE(second.Errors().find("choose another COM number"), std::string::npos);
    EXPECT_EQ(second.Exit(), 1);

    Program help({"--help"}, tmp.Path());
    EXPECT_NE(help.FirstLine().find("Usage: velmor-sim"), std::string::npos);
    EXPECT_EQ(help.Exit(), 0);
    Program version({"--version"}, tmp.Path());
    EXPECT_EQ(version.FirstLine(), "velmor-sim " VELMOR_VERSION);
    EXPECT_EQ(version.Exit(), 0);
}
