#pragma once

// Who else has a serial device: UUCP lock files (LCK..ttyUSB0 in /var/lock
// or /run/lock, the convention terminal programs share).

#include "platform/Holders.h"

#include <string>
#include <utility>

namespace platform {

// Why a device's lock file keeps it from being opened.
struct LockRefusal {
    PortHolder holder;   // the live process whose lock file it is
    std::string badFile; // or: the lock file's place holds something else
    std::string what;    // ... which is this ("a symbolic link", "a directory")
};

// A lock file of ours for one device, removed when it goes. The file is
// named after the device node (LCK..ttyUSB0 also for a by-id link to it),
// holds the pid as ten ASCII digits and a newline, and is readable by all.
class PortLock {
public:
    // directory: where the lock files go; empty: /var/lock and /run/lock.
    explicit PortLock(std::string directory = {}) : directory_(std::move(directory)) {}
    ~PortLock() { Release(); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    // False when a live process holds the device's lock file, or something
    // that is no lock file sits in its place (why tells which); a stale one,
    // whose process is gone, is removed. Where no lock directory can be
    // written the device goes unlocked.
    bool Acquire(const std::string& devicePath, LockRefusal& why);
    void Release();

    // False when the device's lock file keeps it from being opened, as for
    // Acquire; nothing is written or removed.
    static bool Free(const std::string& devicePath, LockRefusal& why,
                     const std::string& directory = {});
    const std::string& Directory() const { return directory_; }

private:
    std::string directory_;
    std::string file_;
};

} // namespace platform
