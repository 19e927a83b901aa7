#include "velmor-log/journal.h"

#include <cctype>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace vlog {

namespace {

bool JournalIsStandardError()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (stream == nullptr || *stream == '\0') {
        // A service whose standard error is a file or a socket of its own.
        const char* invocation = std::getenv("INVOCATION_ID");
        return invocation != nullptr && *invocation != '\0' && ::isatty(STDERR_FILENO) == 0;
    }
    // Inherited by whatever we started, so it counts only where it is true.
    struct stat st {};
    if (::fstat(STDERR_FILENO, &st) != 0) {
        return false;
    }
    const std::string ours = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    return ours == stream;
}

} // namespace

bool ToJournal()
{
    static const bool journal = JournalIsStandardError();
    return journal;
}

void Say(Priority priority, const std::string& text)
{
    std::string out;
    if (ToJournal()) {
        const std::string prefix = "<" + std::to_string(static_cast<int>(priority)) + ">";
        for (std::size_t start = 0; start < text.size();) {
            const auto end = text.find('\n', start);
            const std::size_t next = end == std::string::npos ? text.size() : end + 1;
            out += prefix + text.substr(start, next - start);
            start = next;
        }
    } else {
        out = text;
    }
    if (!out.empty() && out.back() != '\n') {
        out += '\n';
    }
    for (std::size_t done = 0; done < out.size();) {
        const ssize_t n = ::write(STDERR_FILENO, out.data() + done, out.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string Sentence(std::string text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '.')) {
        text.pop_back();
    }
    if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
        std::islower(static_cast<unsigned char>(text[1]))) {
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    }
    return text;
}

} // namespace vlog
