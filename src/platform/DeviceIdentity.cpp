#include "platform/DeviceIdentity.h"

#include "ComPortMap.h"
#include "platform/Holders.h"

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace platform {

namespace fs = std::filesystem;

namespace {

std::string FirstLine(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// The USB adapter behind a tty in sysfs: its device directory (the one
// with idVendor) lies a few levels above the tty's, below it the interface.
std::string UsbHardware(const ComPortSources& sources, const std::string& ttyName)
{
    std::error_code ec;
    fs::path at = fs::canonical(fs::path(sources.sysTtyDir) / ttyName / "device", ec);
    if (ec)
        return {};
    fs::path interface;
    for (int up = 0; up < 8 && at.has_relative_path(); ++up) {
        if (fs::exists(at / "idVendor", ec)) {
            const std::string serial = FirstLine(at / "serial");
            const std::string name = interface.filename().string();
            return "usb " + FirstLine(at / "idVendor") + ":" + FirstLine(at / "idProduct") +
                   (serial.empty() ? " at " + at.filename().string() : " serial " + serial) +
                   " interface " + name.substr(name.find(':') + 1);
        }
        interface = at;
        at = at.parent_path();
    }
    return {};
}

std::string LinkIdentity(const fs::path& link)
{
    struct stat st {};
    if (::lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return {};
    std::error_code ec;
    return std::to_string(st.st_ino) + " " + std::to_string(st.st_ctim.tv_sec) + "." +
           std::to_string(st.st_ctim.tv_nsec) + " " + fs::read_symlink(link, ec).string();
}

} // namespace

DeviceIdentity IdentifyDevice(std::string_view name, const ComPortSources& sources)
{
    DeviceIdentity id;
    std::string path;
    if (const auto number = ParseComName(name)) {
        for (const ComPort& port : ListComPorts(sources)) {
            if (port.number != *number)
                continue;
            path = port.path;
            if (port.pinned)
                id.link =
                    LinkIdentity(fs::path(sources.linkDir) / ("com" + std::to_string(*number)));
        }
    } else if (name.starts_with('/')) {
        path = std::string(name);
    }
    if (path.empty())
        return id;
    std::error_code ec;
    const fs::path node = fs::canonical(path, ec);
    id.path = ec ? path : node.string();
    struct stat st {};
    id.present = ::stat(id.path.c_str(), &st) == 0;
    if (id.present && S_ISCHR(st.st_mode)) {
        id.rdev = st.st_rdev;
        id.pseudoTerminal = IsPseudoTerminalSlave(st.st_rdev) || major(st.st_rdev) == 3;
    }
    if (id.present && !id.pseudoTerminal)
        id.hardware = UsbHardware(sources, fs::path(id.path).filename().string());
    return id;
}

DeviceIdentity IdentifyDevice(std::string_view name)
{
    return IdentifyDevice(name, DefaultComPortSources());
}

bool MayResume(const DeviceIdentity& lost, const DeviceIdentity& now)
{
    if (!now.present)
        return false;
    if (!lost.link.empty() && !now.link.empty() && now.link != lost.link)
        return true;
    if (!lost.hardware.empty())
        return now.hardware == lost.hardware;
    if (lost.pseudoTerminal)
        return false;
    return now.rdev == lost.rdev && now.path == lost.path;
}

} // namespace platform
