#pragma once
// Helpers shared by the simulator's tests: a plain termios client and a
// temporary directory.

#include "instrument-sim/unique_fd.h"
#include "link/frames.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<std::uint8_t>;
// Safety bound for waits that normally end at once.
constexpr std::chrono::milliseconds Patience{5000};

inline Bytes Request(Command command, std::uint8_t parameter = 0)
{
    Frame frame{};
    frame[1] = parameter;
    const std::uint8_t length = BuildRequest(frame, command);
    return {frame.begin(), frame.begin() + length};
}

// The program's end of the line, opened the way a serial port is.
class Client {
public:
    explicit Client(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        EXPECT_TRUE(fd_.Valid()) << "cannot open " << path;
        termios tio{};
        if (fd_.Valid() && ::tcgetattr(fd_.Get(), &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(fd_.Get(), TCSANOW, &tio);
        }
    }

    int Fd() const { return fd_.Get(); }

    void Send(const Bytes& bytes)
    {
        ASSERT_EQ(::write(fd_.Get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }

    // Reads until `count` bytes came or the patience ran out.
    Bytes Read(std::size_t count)
    {
        Bytes got;
        const auto end = std::chrono::steady_clock::now() + Patience;
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{fd_.Get(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            std::uint8_t buffer[4096];
            const ssize_t n =
                ::read(fd_.Get(), buffer, std::min(sizeof buffer, count - got.size()));
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    Bytes Exchange(const Bytes& request, std::size_t replyLength)
    {
        Send(request);
        return Read(replyLength);
    }

    // True once the other end has gone away.
    bool WaitHangUp()
    {
        pollfd p{fd_.Get(), POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(Patience.count())) > 0 && (p.revents & POLLHUP);
    }

private:
    sim::UniqueFd fd_;
};

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmor-sim-XXXXXX");
        path_ = ::mkdtemp(pattern.data()) ? pattern : "";
        EXPECT_FALSE(path_.empty());
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace simtest
