// velmor: reads the meter on COM1 through the main window.
#include "ui/Startup.h"

int main(int argc, char** argv)
{
    return ProgramMain(argc, argv);
}
