#pragma once

// Test helpers: a pseudo-terminal pair, a temporary COM link directory, and
// a count of this process's open descriptors.

#include "TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unistd.h>

namespace testutil {

class PtyPair {
public:
    PtyPair()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        slave_ = ::ptsname(master_);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() { CloseMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slave_; }
    void CloseMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    void Write(std::string_view bytes) const
    {
        while (!bytes.empty()) {
            const ssize_t n = ::write(master_, bytes.data(), bytes.size());
            if (n > 0)
                bytes.remove_prefix(static_cast<std::size_t>(n));
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                throw std::runtime_error("master write failed");
        }
    }

    // Reads until count bytes have come (or the side is closed).
    std::string Read(std::size_t count) const
    {
        std::string got;
        while (got.size() < count) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0)
                break;
            char buffer[4096];
            const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
            if (n > 0)
                got.append(buffer, static_cast<std::size_t>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                break;
        }
        return got;
    }

    // Reads whatever comes until the other side stops writing for a moment;
    // for draining only.
    void Drain() const
    {
        char buffer[65536];
        for (;;) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0 || ::read(master_, buffer, sizeof buffer) <= 0)
                return;
        }
    }

private:
    int master_ = -1;
    std::string slave_;
};

// A directory of comN links, put into VELMOR_COM_DIR for the test's life.
class ComDir {
public:
    ComDir() : dir_("com")
    {
        std::filesystem::permissions(dir_.Path(), std::filesystem::perms(0755));
        ::setenv("VELMOR_COM_DIR", dir_.Path().c_str(), 1);
    }
    ~ComDir() { ::unsetenv("VELMOR_COM_DIR"); }
    ComDir(const ComDir&) = delete;
    ComDir& operator=(const ComDir&) = delete;

    void Link(unsigned number, const std::string& target) const
    {
        std::filesystem::create_symlink(target, Path() / ("com" + std::to_string(number)));
    }
    std::filesystem::path Path() const { return dir_.Path(); }

private:
    TempDir dir_;
};

inline int OpenDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

} // namespace testutil
