#pragma once
// Helpers shared by the simulator's tests and the programs' end-to-end tests:
// a plain termios client, a temporary directory and a child process.

#include "TempDir.h"
#include "platform/UniqueFd.h"
#include "protocol/frames.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern char** environ;

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
    platform::UniqueFd fd_;
};

using ::TempDir;

// A program as a child process with its stdout and stderr on pipes, seeing
// VELMOR_COM_DIR=comDir and the variables in env ("NAME=value") over this
// process's environment. Killed and reaped if a test leaves it running.
class Child {
public:
    Child(std::vector<std::string> args, const std::filesystem::path& comDir,
          std::vector<std::string> env = {})
    {
        int out[2];
        int err[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
        out_.Reset(out[0]);
        err_.Reset(err[0]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        env.insert(env.begin(), "VELMOR_COM_DIR=" + comDir.string());
        const auto overridden = [&env](std::string_view variable) {
            for (const auto& e : env) {
                if (variable.substr(0, variable.find('=') + 1) == e.substr(0, e.find('=') + 1)) {
                    return true;
                }
            }
            return false;
        };
        for (char** e = environ; *e != nullptr; ++e) {
            if (!overridden(*e)) {
                env.emplace_back(*e);
            }
        }
        std::vector<char*> envp;
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
    }
    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int Out() const { return out_.Get(); }
    int Err() const { return err_.Get(); }
    pid_t Pid() const { return pid_; }

    void Signal(int signal) { ::kill(pid_, signal); }

    // The exit status; -1 if it did not end normally.
    int Exit()
    {
        int status = 0;
        ::waitpid(std::exchange(pid_, -1), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    platform::UniqueFd out_;
    platform::UniqueFd err_;
};

} // namespace simtest
