#include "platform/PortLock.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::mutex directoryMutex;
std::string directoryOverride;

std::vector<std::string> LockDirectories()
{
    {
        const std::lock_guard lock(directoryMutex);
        if (!directoryOverride.empty())
            return {directoryOverride};
    }
    // /var/lock is mostly a link to /run/lock: look at each once.
    std::vector<std::string> dirs;
    for (const char* dir : {"/var/lock", "/run/lock"}) {
        std::error_code ec;
        const auto real = std::filesystem::canonical(dir, ec);
        if (!ec && std::filesystem::is_directory(real, ec) &&
            std::find(dirs.begin(), dirs.end(), real.string()) == dirs.end())
            dirs.push_back(real.string());
    }
    return dirs;
}

// LCK..ttyUSB0; a device below /dev/ keeps its sub-path with '_' for '/'.
std::string LockName(const std::string& devicePath)
{
    std::string name = devicePath.starts_with("/dev/")
                           ? devicePath.substr(5)
                           : std::filesystem::path(devicePath).filename().string();
    std::replace(name.begin(), name.end(), '/', '_');
    return "LCK.." + name;
}

// The pid in a lock file: ten ASCII digits, or four binary bytes of old.
pid_t ReadLockPid(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.size() == sizeof(std::int32_t) && text.find_first_of(" \n") == std::string::npos) {
        std::int32_t pid = 0;
        std::copy(text.begin(), text.end(), reinterpret_cast<char*>(&pid));
        return pid;
    }
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return 0;
    int pid = 0;
    const auto [end, error] = std::from_chars(text.data() + first, text.data() + text.size(), pid);
    return error == std::errc() ? pid : 0;
}

bool Alive(pid_t pid)
{
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

std::string ProcessName(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

} // namespace

void SetLockDirectory(std::string directory)
{
    const std::lock_guard lock(directoryMutex);
    directoryOverride = std::move(directory);
}

bool PortLock::Acquire(const std::string& devicePath, PortHolder& holder)
{
    Release();
    const std::string name = LockName(devicePath);
    const auto dirs = LockDirectories();
    for (const auto& dir : dirs) {
        const std::string file = dir + "/" + name;
        const pid_t pid = ReadLockPid(file);
        if (pid == 0 && ::access(file.c_str(), F_OK) != 0)
            continue;
        if (Alive(pid)) {
            holder = {pid, ProcessName(pid)};
            return false;
        }
        ::unlink(file.c_str()); // stale: its process is gone
    }
    if (dirs.empty())
        return true;
    // Written whole under another name and linked into place, so that no
    // one reads a half-written file.
    const std::string file = dirs.front() + "/" + name;
    const std::string temp = dirs.front() + "/LTMP." + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return true; // not ours to write: the device goes unlocked
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    const bool written = ::write(fd, text, static_cast<std::size_t>(length)) == length;
    ::close(fd);
    const bool linked = written && ::link(temp.c_str(), file.c_str()) == 0;
    const int linkError = errno;
    ::unlink(temp.c_str());
    if (linked) {
        file_ = file;
        return true;
    }
    if (written && linkError == EEXIST) {
        // Another program locked it just now.
        const pid_t pid = ReadLockPid(file);
        holder = {pid, pid > 0 ? ProcessName(pid) : std::string()};
        return false;
    }
    return true;
}

void PortLock::Release()
{
    if (!file_.empty() && ReadLockPid(file_) == ::getpid())
        ::unlink(file_.c_str());
    file_.clear();
}

std::vector<PortHolder> ProcessesHolding(dev_t rdev, int exceptFd)
{
    std::vector<PortHolder> holders;
    const pid_t self = ::getpid();
    std::error_code ec;
    for (const auto& process : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string pidText = process.path().filename().string();
        pid_t pid = 0;
        const auto [end, error] =
            std::from_chars(pidText.data(), pidText.data() + pidText.size(), pid);
        if (error != std::errc() || end != pidText.data() + pidText.size())
            continue;
        std::error_code fdError;
        for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", fdError)) {
            struct stat st {};
            if (::stat(fd.path().c_str(), &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != rdev)
                continue;
            if (pid == self && fd.path().filename() == std::to_string(exceptFd))
                continue;
            holders.push_back({pid, ProcessName(pid)});
            break;
        }
    }
    return holders;
}

} // namespace platform
