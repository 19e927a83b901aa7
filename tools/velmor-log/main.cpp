// velmor-log: a meter's readings to a file from the command line, one meter
// or several on one clock.
#include "startup/Utf8Locale.h"
#include "velmor-log/logger.h"
#include "velmor-log/options.h"

#include <QCoreApplication>

#include <iostream>

int main(int argc, char** argv)
{
    vlog::Options options;
    try {
        options = vlog::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const vlog::OptionError& e) {
        std::cerr << "velmor-log: " << e.what() << " (velmor-log --help lists the options)\n";
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
        // The options are ours alone: Qt sees the program name only.
        int qtArgc = 1;
        QCoreApplication app(qtArgc, argv);
        vlog::TLogger logger(options);
        return logger.Run();
    } catch (const std::exception& e) {
        std::cerr << "velmor-log: " << e.what() << '\n';
        return vlog::ExitFailure;
    }
}
