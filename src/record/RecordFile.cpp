#include "record/RecordFile.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace record {

namespace {

// A writer is not told when a program opens a FIFO to read it: it looks
// again this often.
constexpr int ReaderLookMs = 100;
// Another writer holds the file's lock for one append; one that holds it
// longer is not waited for beyond this.
constexpr int LockLookMs = 10;
constexpr std::chrono::seconds LockPatience{5};
// The first line is looked for within this much of the file.
constexpr std::size_t FirstLineMax = 4096;
constexpr char JsonLineStart[] = "{\"time\":";

bool IsFifo(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// True once fd (-1: never) reports, within timeoutMs.
bool Reports(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    int n = 0;
    do {
        n = ::poll(&p, fd >= 0 ? 1 : 0, timeoutMs);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

class Unlock {
public:
    explicit Unlock(int fd) : fd_(fd) {}
    ~Unlock() { ::flock(fd_, LOCK_UN); }
    Unlock(const Unlock&) = delete;
    Unlock& operator=(const Unlock&) = delete;

private:
    int fd_;
};

} // namespace

TRecordFile::~TRecordFile()
{
    Close();
}

std::string TRecordFile::Fail(Trouble kind, std::string text)
{
    trouble = kind;
    return text;
}

std::string TRecordFile::Open(const std::string& name, Format how)
{
    Close();
    path = name;
    format = how;
    trouble = Trouble::None;
    if (path.empty()) {
        fd = STDOUT_FILENO;
    } else {
        // Never blocking in open(): a FIFO without a reader, or a terminal
        // waiting for its carrier, would hold the program there deaf to
        // the signals that end it.
        for (;;) {
            fd = ::open(path.c_str(),
                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
            if (fd >= 0)
                break;
            if (errno == EINTR)
                continue;
            if (errno != ENXIO || !IsFifo(path))
                return Fail(Trouble::Failed, "cannot open " + path + ": " + std::strerror(errno));
            if (stopFd < 0)
                return Fail(Trouble::Failed, "cannot open " + path + ": no program reads it");
            if (Reports(stopFd, ReaderLookMs))
                return Fail(Trouble::Stopped,
                            "stopped while waiting for a program to read " + path);
        }
        owned = true;
    }
    struct stat st {};
    regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    headerDue = format == Format::Csv && !regular;
    // Standard output is the caller's to fill: what it held before is not
    // judged, only a file named to be the record is.
    firstChecked = path.empty();
    if (regular) {
        // The file as written to, for reading its first and last lines
        // (standard output and a path alike are opened for writing only).
        readFd = ::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
        if (!Lock()) {
            const std::string error = "cannot open " + path + ": another program keeps it locked";
            const Trouble kind = trouble == Trouble::Stopped ? Trouble::Stopped : Trouble::Failed;
            Close();
            return Fail(kind, error);
        }
        std::string error;
        {
            const Unlock unlock(fd);
            if (!firstChecked)
                error = CheckFirstLine();
        }
        if (!error.empty()) {
            Close();
            return Fail(Trouble::Refused, error);
        }
    }
    return {};
}

std::string TRecordFile::CheckFirstLine()
{
    char head[FirstLineMax];
    ssize_t n = 0;
    do {
        n = readFd >= 0 ? ::pread(readFd, head, sizeof head, 0) : 0;
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return {}; // empty: the first append decides
    const std::string_view text(head, static_cast<std::size_t>(n));
    const std::string_view line = text.substr(0, text.find('\n'));
    const std::string header = CsvHeader();
    const bool ours = format == Format::Csv
                          ? line == std::string_view(header).substr(0, header.size() - 1)
                          : line.starts_with(JsonLineStart);
    if (!ours)
        return Name() + " holds something else: its first line is not " +
               (format == Format::Csv ? "the CSV header" : "a JSON line of readings");
    firstChecked = true;
    return {};
}

bool TRecordFile::Lock()
{
    const auto end = std::chrono::steady_clock::now() + LockPatience;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return true; // a file system without locks: written unlocked
        if (std::chrono::steady_clock::now() >= end)
            return false;
        if (Reports(stopFd, LockLookMs)) {
            trouble = Trouble::Stopped;
            return false;
        }
    }
}

std::string TRecordFile::Append(const Reading& reading)
{
    trouble = Trouble::None;
    if (fd < 0)
        return Fail(Trouble::Failed, "cannot write " + Name() + ": it is not open");
    const std::string line = FormatReading(reading, format);
    return regular ? AppendToFile(line) : AppendToStream(line);
}

std::string TRecordFile::AppendToFile(std::string text)
{
    if (!Lock())
        return Fail(trouble == Trouble::Stopped ? Trouble::Stopped : Trouble::Failed,
                    "cannot write " + Name() + ": another program keeps it locked");
    const Unlock unlock(fd);
    // Another program may have begun the file since it was opened.
    if (!firstChecked) {
        if (std::string error = CheckFirstLine(); !error.empty())
            return Fail(Trouble::Refused, error);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    struct stat st {};
    const off_t start = (flags & O_APPEND) != 0 ? (::fstat(fd, &st) == 0 ? st.st_size : -1)
                                                : ::lseek(fd, 0, SEEK_CUR);
    if (flags < 0 || start < 0)
        return Fail(Trouble::Failed, "cannot write " + Name() + ": " + std::strerror(errno));
    char last = '\n';
    if (start == 0 && format == Format::Csv)
        text = CsvHeader() + text;
    else if (start > 0 && readFd >= 0 && ::pread(readFd, &last, 1, start - 1) == 1 && last != '\n')
        text = "\n" + text; // a line cut short by another program
    if (!WriteAll(text)) {
        const int error = errno;
        // Taken back whole: a part of a line would glue the next one to it.
        if (::ftruncate(fd, start) == 0 && (flags & O_APPEND) == 0)
            ::lseek(fd, start, SEEK_SET);
        return Fail(Trouble::Failed, "cannot write " + Name() + ": " + std::strerror(error));
    }
    firstChecked = true;
    return {};
}

std::string TRecordFile::AppendToStream(std::string text)
{
    if (headerDue)
        text = CsvHeader() + text;
    if (!WriteAll(text)) {
        if (trouble == Trouble::Stopped)
            return Fail(Trouble::Stopped, "stopped while waiting to write " + Name());
        return Fail(Trouble::Failed, "cannot write " + Name() + ": " + std::strerror(errno));
    }
    headerDue = false;
    return {};
}

bool TRecordFile::WaitForRoom()
{
    pollfd p[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
    int n = 0;
    do {
        n = ::poll(p, stopFd >= 0 ? 2 : 1, -1);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    if (stopFd >= 0 && p[1].revents != 0) {
        trouble = Trouble::Stopped;
        return false;
    }
    return true; // room, or a reader gone, which the write reports
}

bool TRecordFile::WriteAll(const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        // A stream is waited on, not written into blindly: a pipe whose
        // reader stopped reading would block the write for ever.
        if (!regular && stopFd >= 0 && !WaitForRoom())
            return false;
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            if (!WaitForRoom())
                return false;
            continue;
        }
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string TRecordFile::Reopen()
{
    if (!owned || !regular)
        return {};
    // Only a file, or none: what put a FIFO or a device in its place would
    // have the logging wait for it, or write into it.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return Fail(Trouble::Failed, "cannot reopen " + path + ": not a regular file");
    } else if (errno != ENOENT) {
        return Fail(Trouble::Failed, "cannot reopen " + path + ": " + std::strerror(errno));
    }
    // Kept until the new file is open: nothing may be lost between the two.
    const int oldFd = std::exchange(fd, -1);
    const int oldReadFd = std::exchange(readFd, -1);
    const bool oldFirstChecked = firstChecked;
    owned = false;
    if (std::string error = Open(path, format); !error.empty()) {
        fd = oldFd;
        readFd = oldReadFd;
        owned = true;
        regular = true;
        firstChecked = oldFirstChecked;
        headerDue = false;
        return error;
    }
    if (oldReadFd >= 0)
        ::close(oldReadFd);
    ::close(oldFd);
    return {};
}

void TRecordFile::Close()
{
    if (readFd >= 0)
        ::close(readFd);
    readFd = -1;
    if (owned)
        ::close(fd);
    fd = -1;
    owned = false;
    regular = false;
}

std::string TRecordFile::Name() const
{
    return path.empty() ? "the output" : path;
}

} // namespace record
