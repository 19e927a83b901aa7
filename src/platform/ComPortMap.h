#pragma once

// The COM port map: which device a port number ("\\.\COM3") stands for.
//  1. A symbolic link comN in the link directory pins number N to its
//     target, present or not.
//  2. The free numbers go, in ascending order, to the serial devices
//     present: /dev/ttyS* with a UART behind them, then /dev/ttyUSB*, then
//     /dev/ttyACM*, each in numeric order.
// The link directory is ${XDG_CONFIG_HOME:-~/.config}/velmor/com. When
// VELMOR_COM_DIR is set, only the links there count and nothing is detected.

#include "platform/DeviceIdentity.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct ComPort {
    unsigned number = 0;
    std::string path;    // the device (a pinned link's target, made absolute)
    bool exists = false; // the path is there now
    bool pinned = false; // given by a link, not by detection
};

// Where the map comes from; tests point it at a fake tree.
struct ComPortSources {
    std::string linkDir;
    bool detect = true;
    std::string devDir = "/dev";
    std::string sysTtyDir = "/sys/class/tty";
};

// The sources the environment gives.
ComPortSources DefaultComPortSources();

// Every mapped number, ascending.
std::vector<ComPort> ListComPorts(const ComPortSources& sources = DefaultComPortSources());

// The number in "\\.\COMn" or "COMn" (any case); nothing for other names or 0.
std::optional<unsigned> ParseComName(std::string_view name);

// The device path for a COM name, or an absolute path as it stands; empty
// when the name maps to nothing.
std::string ResolveDeviceName(std::string_view name,
                              const ComPortSources& sources = DefaultComPortSources());

// IdentifyDevice with the map's sources and the sysfs tree to look in.
DeviceIdentity IdentifyDevice(std::string_view name, const ComPortSources& sources);

} // namespace platform
