#pragma once

// Test helper: a device held by a process of its own, as another program
// holds a port.

#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testutil {

// The child takes the lock the serial device takes and keeps it until the
// holder is destroyed.
class PortHolder {
public:
    explicit PortHolder(const std::string& path)
    {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) {
            throw std::runtime_error("no pipe");
        }
        child = ::fork();
        if (child == 0) {
            // Only async-signal-safe calls from here on.
            ::close(ready[0]);
            ::close(release[1]);
            const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
            const char ok = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 1 : 0;
            (void)!::write(ready[1], &ok, 1);
            char byte;
            (void)!::read(release[0], &byte, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        releaseFd = release[1];
        char ok = 0;
        if (::read(ready[0], &ok, 1) != 1 || ok != 1) {
            ::close(ready[0]);
            throw std::runtime_error("the holder could not lock the device");
        }
        ::close(ready[0]);
    }
    ~PortHolder()
    {
        ::close(releaseFd);
        int status = 0;
        ::waitpid(child, &status, 0);
    }
    PortHolder(const PortHolder&) = delete;
    PortHolder& operator=(const PortHolder&) = delete;

private:
    pid_t child = -1;
    int releaseFd = -1;
};

} // namespace testutil
