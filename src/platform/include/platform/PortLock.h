#pragma once

// Who else has a serial device: UUCP lock files (LCK..ttyUSB0 in /var/lock
// or /run/lock, the convention terminal programs share) and, for messages,
// the processes that have the device open.

#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

struct PortHolder {
    pid_t pid = 0;    // 0: not known
    std::string name; // the process's name, when known
};

// The lock file directory; empty gives back the system's. Tests point it at
// a private directory.
void SetLockDirectory(std::string directory);

// A lock file of ours for one device, removed when it goes.
class PortLock {
public:
    PortLock() = default;
    ~PortLock() { Release(); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    // False when a live process holds the device's lock file (holder tells
    // which); a stale one, whose process is gone, is removed. Where no lock
    // directory can be written the device goes unlocked.
    bool Acquire(const std::string& devicePath, PortHolder& holder);
    void Release();

private:
    std::string file_;
};

// The processes that have the character device rdev open, except the
// descriptor exceptFd of this process (-1: none); from /proc.
std::vector<PortHolder> ProcessesHolding(dev_t rdev, int exceptFd);

} // namespace platform
