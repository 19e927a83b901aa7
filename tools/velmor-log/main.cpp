// velmor-log: a meter's readings to a file from the command line, one meter
// or several on one clock.
#include "startup/Utf8Locale.h"
#include "velmor-log/config.h"
#include "velmor-log/journal.h"
#include "velmor-log/logger.h"
#include "velmor-log/options.h"
#include "velmor-log/service.h"

#include "platform/System.h"

#include <QCoreApplication>

#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace {

// Standard input, output or error closed by the caller would be taken by the
// next descriptor opened, the port's among them, and lines written there:
// /dev/null holds their places. True when standard output was closed.
bool FillStandardDescriptors()
{
    bool outputClosed = false;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1) {
            continue;
        }
        outputClosed = outputClosed || fd == STDOUT_FILENO;
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
    return outputClosed;
}

} // namespace

int main(int argc, char** argv)
{
    const bool outputClosed = FillStandardDescriptors();
    // Each port takes several descriptors: many meters must not meet a soft
    // limit below what the system allows.
    platform::RaiseDescriptorLimit();
    vlog::Options options;
    try {
        options =
            vlog::ParseOptions(vlog::ExpandConfig(std::vector<std::string>(argv + 1, argv + argc)));
    } catch (const vlog::OptionError& e) {
        vlog::Say(vlog::Priority::Error, std::string("velmor-log: ") + e.what() +
                                             " (velmor-log --help lists the options)\n");
        return vlog::ExitBadInput;
    }
    if (outputClosed && options.toOutput && options.output.empty() && !options.help &&
        !options.version) {
        vlog::Say(vlog::Priority::Error,
                  "velmor-log: standard output is closed: give --output FILE\n");
        return vlog::ExitBadInput;
    }
    if (options.help) {
        std::cout << vlog::HelpText();
        return vlog::ExitOk;
    }
    if (options.version) {
        std::cout << "velmor-log " VELMOR_VERSION "\n";
        return vlog::ExitOk;
    }
    try {
        startup::ChooseUtf8Locale();
        vlog::BlockEndingSignals();
        vlog::BlockReopenSignal();
        // The options are ours alone: Qt sees the program name only.
        int qtArgc = 1;
        QCoreApplication app(qtArgc, argv);
        vlog::TLogger logger(options);
        return logger.Run();
    } catch (const std::exception& e) {
        vlog::Say(vlog::Priority::Error, std::string("velmor-log: ") + e.what() + "\n");
        return vlog::ExitFailure;
    }
}
