#include "record/RecordFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace record {

TRecordFile::~TRecordFile()
{
    Close();
}

std::string TRecordFile::Open(const std::string& name, Format how)
{
    Close();
    path = name;
    format = how;
    if (path.empty()) {
        fd = STDOUT_FILENO;
    } else {
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            return "cannot open " + path + ": " + std::strerror(errno);
        }
        owned = true;
    }
    // A file that already holds lines has its header.
    struct stat st {};
    headerDue =
        format == Format::Csv && !(::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0);
    return {};
}

std::string TRecordFile::Append(const Reading& reading)
{
    std::string text = FormatReading(reading, format);
    if (headerDue) {
        text = CsvHeader() + text;
        headerDue = false;
    }
    if (!Write(text)) {
        return "cannot write " + Name() + ": " + std::strerror(errno);
    }
    return {};
}

void TRecordFile::Close()
{
    if (owned) {
        ::close(fd);
    }
    fd = -1;
    owned = false;
}

std::string TRecordFile::Name() const
{
    return path.empty() ? "the output" : path;
}

bool TRecordFile::Write(const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace record
