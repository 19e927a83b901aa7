#include "platform/PortLock.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

std::vector<std::string> LockDirectories(const std::string& chosen)
{
    if (!chosen.empty())
        return {chosen};
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

// LCK..ttyUSB0: the device node's own name, whatever link led to it, so
// that every program that locks the device meets the same file.
std::string LockName(const std::string& devicePath)
{
    std::error_code ec;
    const auto node = std::filesystem::canonical(devicePath, ec);
    const auto name =
        ec ? std::filesystem::path(devicePath).lexically_normal().filename() : node.filename();
    return "LCK.." + name.string();
}

// What sits at a lock file's place.
struct LockFile {
    bool present = false;
    pid_t pid = 0;    // 0: none that can be read (a stale or broken file)
    std::string what; // not empty: no lock file at all, but this
};

// The pid is ten ASCII digits (spaces before, a newline after, either may
// be missing), or four binary bytes of old when the bytes are not digits.
pid_t ParsePid(const std::string& text)
{
    const bool ascii =
        !text.empty() && text.find_first_not_of("0123456789 \n") == std::string::npos;
    if (ascii) {
        const auto first = text.find_first_not_of(' ');
        const auto last = text.find_first_of(" \n", first);
        if (first == std::string::npos || first == last)
            return 0;
        int pid = 0;
        const auto digits = std::string_view(text).substr(first, last - first);
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), pid);
        return error == std::errc() && end == digits.data() + digits.size() ? pid : 0;
    }
    if (text.size() == sizeof(std::int32_t)) {
        std::int32_t pid = 0;
        std::memcpy(&pid, text.data(), sizeof pid);
        return pid;
    }
    return 0;
}

// Never follows a link: in a world-writable directory a link may point
// anywhere.
LockFile Inspect(const std::string& file)
{
    LockFile lock;
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0)
        return lock;
    lock.present = true;
    if (S_ISLNK(st.st_mode)) {
        lock.what = "a symbolic link";
        return lock;
    }
    if (S_ISDIR(st.st_mode)) {
        lock.what = "a directory";
        return lock;
    }
    if (!S_ISREG(st.st_mode)) {
        lock.what = "no plain file";
        return lock;
    }
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return lock;
    char text[64];
    const ssize_t n = ::read(fd, text, sizeof text);
    ::close(fd);
    if (n > 0)
        lock.pid = ParsePid(std::string(text, static_cast<std::size_t>(n)));
    return lock;
}

// False when a lock file keeps the device from being opened; a stale one
// is removed when removeStale.
bool Check(const std::string& name, const std::vector<std::string>& dirs, LockRefusal& why,
           bool removeStale)
{
    for (const auto& dir : dirs) {
        const std::string file = dir + "/" + name;
        const LockFile lock = Inspect(file);
        if (!lock.present)
            continue;
        if (!lock.what.empty()) {
            why = {{}, file, lock.what};
            return false;
        }
        if (ProcessAlive(lock.pid)) {
            why = {{lock.pid, ProcessName(lock.pid)}, {}, {}};
            return false;
        }
        if (removeStale)
            ::unlink(file.c_str()); // stale: its process is gone
    }
    return true;
}

} // namespace

bool PortLock::Free(const std::string& devicePath, LockRefusal& why, const std::string& directory)
{
    return Check(LockName(devicePath), LockDirectories(directory), why, false);
}

bool PortLock::Acquire(const std::string& devicePath, LockRefusal& why)
{
    Release();
    const std::string name = LockName(devicePath);
    const auto dirs = LockDirectories(directory_);
    if (!Check(name, dirs, why, true))
        return false;
    if (dirs.empty())
        return true;
    // Written whole under a name no one can foresee, created anew (never
    // through a link someone planted), then linked into place, so that no
    // one reads a half-written file. Readable by all whatever the umask:
    // other programs read the pid.
    const std::string file = dirs.front() + "/" + name;
    std::string temp = dirs.front() + "/LTMP.XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return true; // not ours to write: the device goes unlocked
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
    const bool written =
        ::fchmod(fd, 0644) == 0 && ::write(fd, text, static_cast<std::size_t>(length)) == length;
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
        if (Check(name, {dirs.front()}, why, false))
            why = {};
        return false;
    }
    return true;
}

void PortLock::Release()
{
    if (!file_.empty() && Inspect(file_).pid == ::getpid())
        ::unlink(file_.c_str());
    file_.clear();
}

} // namespace platform
