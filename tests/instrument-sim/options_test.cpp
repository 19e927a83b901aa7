// Unit under test: options (velmor-sim's command line).
#include "instrument-sim/options.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

TEST(Options, EveryOptionInBothForms)
{
    const auto o = sim::ParseOptions({"--device",
                                      "/dev/ttyUSB0",
                                      "--com=3",
                                      "--baud",
                                      "9600",
                                      "--mode",
                                      "2",
                                      "--voltage-range=6",
                                      "--current-range",
                                      "3",
                                      "--signal",
                                      "sine",
                                      "--level=-0.25",
                                      "--period",
                                      "500",
                                      "--seed",
                                      "9",
                                      "--delay",
                                      "120",
                                      "--silent",
                                      "--bad-check",
                                      "0.5",
                                      "--split",
                                      "4",
                                      "--split-pause=15",
                                      "--extra",
                                      "2",
                                      "--missing",
                                      "1",
                                      "--noise",
                                      "7",
                                      "--noise-delay",
                                      "80",
                                      "--burst",
                                      "256",
                                      "--hangup-after",
                                      "5",
                                      "-v"});
    const auto& c = o.config;
    EXPECT_EQ(c.device, "/dev/ttyUSB0");
    EXPECT_EQ(o.com, std::vector<int>{3});
    EXPECT_EQ(c.baud, 9600u);
    EXPECT_EQ(c.state.mode, 2);
    EXPECT_EQ(c.state.voltageRange, 6);
    EXPECT_EQ(c.state.currentRange, 3);
    EXPECT_EQ(c.signal.waveform, sim::Waveform::Sine);
    EXPECT_EQ(c.signal.level, -0.25);
    EXPECT_EQ(c.signal.period, 500ms);
    EXPECT_EQ(c.seed, 9u);
    EXPECT_EQ(c.faults.replyDelay, 120ms);
    EXPECT_TRUE(c.faults.silent);
    EXPECT_EQ(c.faults.badCheckProbability, 0.5);
    EXPECT_EQ(c.faults.splitPieces, 4);
    EXPECT_EQ(c.faults.splitPause, 15ms);
    EXPECT_EQ(c.faults.extraBytes, 2);
    EXPECT_EQ(c.faults.missingBytes, 1);
    EXPECT_EQ(c.faults.noiseBytes, 7);
    EXPECT_EQ(c.faults.noiseDelay, 80ms);
    EXPECT_EQ(c.faults.burstBytes, 256);
    EXPECT_EQ(c.faults.hangUpAfter, 5);
    EXPECT_TRUE(o.verbose);
    EXPECT_FALSE(o.help);

    const auto defaults = sim::ParseOptions({});
    EXPECT_TRUE(defaults.com.empty());
    EXPECT_TRUE(defaults.config.device.empty());
    EXPECT_FALSE(defaults.config.faults.silent);
    EXPECT_TRUE(sim::ParseOptions({"--help"}).help);
}

TEST(Options, BadOptionsAreExplained)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--delay"}, "--delay needs a value"},
        {{"--delay", "fast"}, "--delay needs a whole number from 0 to 3600000, not 'fast'"},
        {{"--delay", "12ms"}, "not '12ms'"},
        {{"--mode", "4"}, "--mode needs a whole number from 1 to 3"},
        {{"--voltage-range=7"}, "--voltage-range needs a whole number from 0 to 6"},
        {{"--com", "0"}, "--com needs a whole number from 1 to 255"},
        {{"--com", "4", "--com", "5", "--com=4"}, "--com 4 is given twice"},
        {{"--device", "/dev/ttyUSB0", "--com", "1", "--com", "2"}, "--device is one meter"},
        {{"--bad-check", "1.5"}, "--bad-check needs a number from 0 to 1, not '1.5'"},
        {{"--level", "nan"}, "--level needs a number from -1 to 1"},
        {{"--signal", "square"}, "--signal is one of constant, sine, noise, ramp"},
        {{"--silent=yes"}, "--silent takes no value"},
        {{"--device="}, "--device needs a path"},
        {{"--split", "0"}, "--split needs a whole number from 1 to 64"},
        {{"--hangup-after", "0"}, "--hangup-after needs a whole number from 1 to"},
    };
    for (const auto& [args, message] : cases) {
        try {
            sim::ParseOptions(args);
            ADD_FAILURE() << "accepted " << args[0];
        } catch (const sim::OptionError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos)
                << e.what() << " lacks: " << message;
        }
    }
}

TEST(Options, HelpSaysInvalidRequestsGetNoAnswer)
{
    const std::string help = sim::HelpText();
    EXPECT_NE(help.find("invalid parameter\nget no answer"), std::string::npos);
    for (const char* option :
         {"--device", "--com", "--signal", "--delay", "--silent", "--bad-check", "--split",
          "--extra", "--missing", "--noise", "--burst", "--hangup-after"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
    }
}
