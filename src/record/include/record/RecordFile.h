#pragma once

#include "record/Reading.h"

#include <string>

namespace record {

// A record file opened for appending, one line per reading, each written
// straight to the descriptor so that a finished line is never left in a
// buffer. A CSV file gets its header when it holds nothing yet.
class TRecordFile {
public:
    TRecordFile() = default;
    ~TRecordFile();
    TRecordFile(const TRecordFile&) = delete;
    TRecordFile& operator=(const TRecordFile&) = delete;

    // path empty: standard output, which stays open at Close. Returns an
    // empty string, or the line that says why not.
    std::string Open(const std::string& path, Format format);
    // The reading's line. Returns an empty string, or the line that says
    // why it could not be written.
    std::string Append(const Reading& reading);
    void Close();

    bool IsOpen() const { return fd >= 0; }
    // The path, or "the output" for standard output.
    std::string Name() const;

private:
    bool Write(const std::string& text);

    std::string path;
    Format format = Format::Csv;
    int fd = -1;
    bool owned = false;
    bool headerDue = false;
};

} // namespace record
