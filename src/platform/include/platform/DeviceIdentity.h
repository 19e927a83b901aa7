#pragma once

// Which device a port name stands for, to tell whether a device that went
// away is back: the same adapter, not whatever has taken its path since.

#include <string>
#include <string_view>
#include <sys/types.h>

namespace platform {

struct DeviceIdentity {
    std::string path;     // the device node the name leads to now; empty: none
    bool present = false; // something is there
    dev_t rdev = 0;       // a character device's number, else 0
    bool pseudoTerminal = false;
    // A USB adapter: vendor, product, serial number (or, without one, the
    // USB port it is plugged into) and interface, from sysfs.
    std::string hardware;
    // A pinned COM number: its link itself (inode, change time, target), so
    // that a link made anew tells from one left behind.
    std::string link;
};

// name as SerialDevice::Open takes it: "\\.\COMn" or an absolute path.
DeviceIdentity IdentifyDevice(std::string_view name);

// Whether a port lost as `lost` may be taken up again as `now`: a COM link
// made anew says the meter is there; else a USB adapter by its identity; a
// pseudo-terminal that hung up never comes back by its path, since its
// number goes to the next terminal anyone opens; other devices by number.
bool MayResume(const DeviceIdentity& lost, const DeviceIdentity& now);

} // namespace platform
