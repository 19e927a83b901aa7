// velmor: reads the meter on COM1 through the main window.
#include "ui/Startup.h"

#include <cstring>
#include <iostream>

int main(int argc, char** argv)
{
    // The program takes no options; a plain --help or --version is answered
    // as every program answers it, with or without a display.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::cout << "Usage: velmor\n"
                     "Reads a Velmor or Dranik meter on a serial port (COM1 at start) in a\n"
                     "window; it takes no options and needs a desktop session. In a terminal,\n"
                     "velmor-log logs the readings and velmor-sim simulates a meter.\n"
                     "See velmor(1).\n";
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "velmor " VELMOR_VERSION "\n";
        return 0;
    }
    return ProgramMain(argc, argv);
}
