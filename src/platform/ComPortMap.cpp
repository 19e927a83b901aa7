#include "ComPortMap.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <pwd.h>
#include <set>
#include <system_error>
#include <unistd.h>

namespace platform {

namespace fs = std::filesystem;

namespace {

// The number after prefix in name, when the rest is a plain decimal number
// without leading zeros.
std::optional<unsigned> NumberAfter(std::string_view name, std::string_view prefix)
{
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    const std::string_view digits = name.substr(prefix.size());
    if (digits.size() > 1 && digits.front() == '0')
        return std::nullopt;
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

std::string HomeDir()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    passwd pw{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->pw_dir;
    return "/";
}

std::string Canonical(const fs::path& p)
{
    std::error_code ec;
    const fs::path c = fs::weakly_canonical(p, ec);
    return ec ? p.lexically_normal().string() : c.string();
}

// numbers → link targets, for links named comN.
std::map<unsigned, std::string> PinnedLinks(const std::string& dir)
{
    std::map<unsigned, std::string> pinned;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const auto number = NumberAfter(it->path().filename().string(), "com");
        if (!number || *number == 0 || !it->is_symlink(ec))
            continue;
        std::error_code readError;
        fs::path target = fs::read_symlink(it->path(), readError);
        if (readError)
            continue;
        if (target.is_relative())
            target = fs::path(dir) / target;
        pinned.emplace(*number, target.lexically_normal().string());
    }
    return pinned;
}

// A ttyS node is there for every possible UART; only those with a port
// found behind them count. The serial core reports the UART type (0 for
// none); other drivers are taken when bound to the node.
bool HasUart(const ComPortSources& sources, const std::string& name)
{
    const fs::path node = fs::path(sources.sysTtyDir) / name;
    std::ifstream typeFile(node / "type");
    if (typeFile) {
        long type = 0;
        return static_cast<bool>(typeFile >> type) && type != 0;
    }
    std::error_code ec;
    return fs::exists(node / "device" / "driver", ec);
}

std::vector<std::string> Detected(const ComPortSources& sources)
{
    std::map<unsigned, std::string> byKind[3];
    static constexpr std::string_view kinds[3] = {"ttyS", "ttyUSB", "ttyACM"};
    std::error_code ec;
    for (fs::directory_iterator it(sources.devDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        for (int k = 0; k < 3; ++k) {
            const auto number = NumberAfter(name, kinds[k]);
            if (!number)
                continue;
            if (k == 0 && !HasUart(sources, name))
                break;
            byKind[k].emplace(*number, it->path().string());
            break;
        }
    }
    std::vector<std::string> devices;
    for (const auto& kind : byKind)
        for (const auto& [number, path] : kind)
            devices.push_back(path);
    return devices;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

} // namespace

ComPortSources DefaultComPortSources()
{
    ComPortSources sources;
    if (const char* dir = std::getenv("VELMOR_COM_DIR"); dir != nullptr) {
        sources.linkDir = dir;
        sources.detect = false;
        return sources;
    }
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const fs::path base =
        config != nullptr && *config != '\0' ? fs::path(config) : fs::path(HomeDir()) / ".config";
    sources.linkDir = (base / "velmor" / "com").string();
    return sources;
}

std::vector<ComPort> ListComPorts(const ComPortSources& sources)
{
    std::vector<ComPort> ports;
    std::set<std::string> taken;
    std::set<unsigned> numbers;
    std::error_code ec;
    for (const auto& [number, path] : PinnedLinks(sources.linkDir)) {
        ports.push_back(ComPort{number, path, fs::exists(path, ec), true});
        taken.insert(Canonical(path));
        numbers.insert(number);
    }
    if (sources.detect) {
        unsigned next = 1;
        for (const std::string& device : Detected(sources)) {
            if (taken.contains(Canonical(device)))
                continue; // already pinned to its own number
            while (numbers.contains(next))
                ++next;
            ports.push_back(ComPort{next, device, true, false});
            numbers.insert(next);
        }
    }
    std::sort(ports.begin(), ports.end(),
              [](const ComPort& a, const ComPort& b) { return a.number < b.number; });
    return ports;
}

std::optional<unsigned> ParseComName(std::string_view name)
{
    if (name.starts_with("\\\\.\\"))
        name.remove_prefix(4);
    if (name.size() <= 3 || !EqualsIgnoringCase(name.substr(0, 3), "com"))
        return std::nullopt;
    const auto number = NumberAfter(name, name.substr(0, 3));
    if (!number || *number == 0)
        return std::nullopt;
    return number;
}

std::string ResolveDeviceName(std::string_view name, const ComPortSources& sources)
{
    if (name.starts_with('/'))
        return std::string(name);
    const auto number = ParseComName(name);
    if (!number)
        return {};
    for (const ComPort& port : ListComPorts(sources))
        if (port.number == *number)
            return port.path;
    return {};
}

} // namespace platform
