#pragma once

// The pseudo-terminal every benchmark reads: the slave is linked as COM7 in a
// private COM map (VELMOR_COM_DIR), as the program would see it; the
// benchmark writes to the master.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace bench {

struct Pty {
    Pty()
    {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            std::perror("pseudo-terminal");
            std::exit(1);
        }
        slave = ::ptsname(master);
        std::string pattern =
            (std::filesystem::temp_directory_path() / "velmor-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        dir = pattern;
        std::filesystem::create_symlink(slave, std::filesystem::path(dir) / "com7");
        ::setenv("VELMOR_COM_DIR", dir.c_str(), 1);
    }
    ~Pty()
    {
        ::close(master);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void WriteAll(const char* data, std::size_t n) const
    {
        while (n > 0) {
            const ssize_t w = ::write(master, data, n);
            if (w > 0) {
                data += w;
                n -= static_cast<std::size_t>(w);
            } else if (w < 0 && errno == EAGAIN) {
                pollfd p{master, POLLOUT, 0};
                ::poll(&p, 1, 100);
            } else if (w < 0 && errno != EINTR) {
                std::perror("master write");
                return;
            }
        }
    }
    void Flush() const { ::tcflush(master, TCIOFLUSH); }

    int master = -1;
    std::string slave;
    std::string dir;
};

} // namespace bench
