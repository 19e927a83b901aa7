#include "platform/Holders.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr unsigned PtySlaveMajorFirst = 136;
constexpr unsigned PtySlaveMajorLast = 143;
constexpr unsigned PtmxMajor = 5;
constexpr unsigned PtmxMinor = 2;

// A small file of /proc whole, or nothing.
std::optional<std::string> ReadSmall(const std::string& file)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char buffer[1024];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > 65536)
            break;
    }
    ::close(fd);
    return text;
}

template <typename T> std::optional<T> Number(std::string_view text)
{
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Calls visit(pid) for every process in /proc.
template <typename F> void ForEachProcess(F visit)
{
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        if (const auto pid = Number<pid_t>(entry->d_name); pid && *pid > 0)
            visit(*pid);
    }
    ::closedir(dir);
}

// Calls visit(fd number, the file's status) for every descriptor of pid
// that can be looked at.
template <typename F> void ForEachDescriptor(pid_t pid, F visit)
{
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(fdDir.c_str());
    if (dir == nullptr)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        const auto fd = Number<int>(entry->d_name);
        struct stat st {};
        if (fd && ::stat((fdDir + "/" + entry->d_name).c_str(), &st) == 0)
            visit(*fd, st);
    }
    ::closedir(dir);
}

// The slave index of the pseudo-terminal whose master pid holds as fd.
std::optional<unsigned> MasterIndex(pid_t pid, int fd)
{
    const auto info = ReadSmall("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    if (!info)
        return std::nullopt;
    constexpr std::string_view key = "tty-index:";
    const auto at = info->find(key);
    if (at == std::string::npos)
        return std::nullopt;
    const auto first = info->find_first_not_of(" \t", at + key.size());
    const auto last = info->find('\n', first);
    if (first == std::string::npos)
        return std::nullopt;
    return Number<unsigned>(std::string_view(*info).substr(first, last - first));
}

unsigned SlaveIndex(dev_t rdev)
{
    return ((major(rdev) - PtySlaveMajorFirst) << 8) + minor(rdev);
}

} // namespace

std::string DescribeHolder(const PortHolder& holder)
{
    if (holder.pid <= 0)
        return "another program";
    return "process " + std::to_string(holder.pid) +
           (holder.name.empty() ? "" : " (" + holder.name + ")");
}

std::string DescribeHolders(const std::vector<PortHolder>& holders)
{
    std::string who;
    for (const auto& h : holders) {
        if (h.pid <= 0)
            continue;
        who += (who.empty() ? "" : ", ") + DescribeHolder(h);
    }
    return who;
}

std::string ProcessName(pid_t pid)
{
    auto name = ReadSmall("/proc/" + std::to_string(pid) + "/comm").value_or("");
    while (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

bool ProcessAlive(pid_t pid)
{
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

bool IsPseudoTerminalSlave(dev_t rdev)
{
    return major(rdev) >= PtySlaveMajorFirst && major(rdev) <= PtySlaveMajorLast;
}

std::vector<PortHolder> ProcessesHolding(dev_t rdev, int exceptFd)
{
    std::vector<PortHolder> holders;
    const pid_t self = ::getpid();
    const bool pty = IsPseudoTerminalSlave(rdev);
    ForEachProcess([&](pid_t pid) {
        bool slave = false;
        bool master = false;
        ForEachDescriptor(pid, [&](int fd, const struct stat& st) {
            if (!S_ISCHR(st.st_mode))
                return;
            if (st.st_rdev == rdev && !(pid == self && fd == exceptFd))
                slave = true;
            else if (pty && major(st.st_rdev) == PtmxMajor && minor(st.st_rdev) == PtmxMinor &&
                     MasterIndex(pid, fd) == SlaveIndex(rdev))
                master = true;
        });
        if (slave && !(master && pid != self))
            holders.push_back({pid, ProcessName(pid)});
    });
    return holders;
}

PortHolder TerminalOwner(dev_t rdev)
{
    PortHolder owner;
    bool leader = false;
    ForEachProcess([&](pid_t pid) {
        if (leader)
            return;
        const auto stat = ReadSmall("/proc/" + std::to_string(pid) + "/stat");
        if (!stat)
            return;
        // pid (comm) state ppid pgrp session tty_nr ...; comm may hold
        // spaces and parentheses of its own.
        const auto open = stat->find('(');
        const auto close = stat->rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open)
            return;
        int session = 0;
        unsigned ttyNr = 0;
        char state = 0;
        int parent = 0;
        int group = 0;
        if (std::sscanf(stat->c_str() + close + 1, " %c %d %d %d %u", &state, &parent, &group,
                        &session, &ttyNr) != 5 ||
            ttyNr == 0)
            return;
        // The kernel's encoding: minor's low byte, major, minor's high bits.
        const unsigned ttyMajor = (ttyNr >> 8) & 0xFFF;
        const unsigned ttyMinor = (ttyNr & 0xFF) | ((ttyNr >> 12) & 0xFFF00);
        if (ttyMajor != major(rdev) || ttyMinor != minor(rdev))
            return;
        if (owner.pid == 0 || session == pid) {
            owner = {pid, stat->substr(open + 1, close - open - 1)};
            leader = session == pid;
        }
    });
    return owner;
}

} // namespace platform
