#pragma once

#include "record/Reading.h"

#include <cstdint>
#include <string>

namespace record {

// A record file opened for appending, one line per reading, each written
// straight to the descriptor so that a finished line is never left in a
// buffer. A file holds one format: a CSV file starts with its header, a
// file named to be the record whose first line is another format's is not
// appended to (standard output is the caller's, and not judged). Each
// append to a file holds a lock on it (flock), so that two programs
// writing into one file give it one header and whole lines; an append that
// does not fit (a full disk) is taken back whole, and a file that does not
// end in a newline gets one before the next line.
class TRecordFile {
public:
    TRecordFile() = default;
    ~TRecordFile();
    TRecordFile(const TRecordFile&) = delete;
    TRecordFile& operator=(const TRecordFile&) = delete;

    // What went wrong last.
    enum class Trouble {
        None,
        Refused, // the file holds another format (its first line says so)
        Stopped, // the stop descriptor ended a wait
        Failed,  // the system's error
    };

    // A descriptor that, once readable, ends a wait: for a program to read
    // a FIFO, for room in a pipe or a terminal. Without one such an output
    // is refused or waited for, as the system would. -1: none.
    void SetStop(int fd) { stopFd = fd; }

    // path empty: standard output, which stays open at Close. Returns an
    // empty string, or the line that says why not. A FIFO that no program
    // reads yet is waited for while a stop descriptor is set, else refused.
    std::string Open(const std::string& path, Format format);
    // The reading's line. Returns an empty string, or the line that says
    // why it could not be written; then nothing of it is in the file.
    std::string Append(const Reading& reading);
    void Close();
    // The path opened anew, for a file that was moved away (log rotation):
    // lines go on into a new file, a CSV one beginning with its header. On
    // a failure the lines go on where they went, and the line that says why
    // is returned. Standard output and what is no regular file stay as they are.
    std::string Reopen();

    bool IsOpen() const { return fd >= 0; }
    // The path, or "the output" for standard output.
    std::string Name() const;
    Trouble LastTrouble() const { return trouble; }

private:
    std::string Fail(Trouble kind, std::string text);
    // Whether the file's first line is this format's; empty text: yes.
    std::string CheckFirstLine();
    // Waits until the descriptor takes bytes or the stop descriptor
    // reports; false when stopped or failed.
    bool WaitForRoom();
    bool Lock();
    std::string AppendToFile(std::string text);
    std::string AppendToStream(std::string text);
    bool WriteAll(const std::string& text);

    std::string path;
    Format format = Format::Csv;
    int fd = -1;
    int readFd = -1; // the same file, to read its first line and its end
    int stopFd = -1;
    bool owned = false;
    bool regular = false;      // a file that can be locked, looked at and cut back
    bool firstChecked = false; // the first line of a file is this format's
    bool headerDue = false;    // a stream (pipe, terminal) still wants the header
    Trouble trouble = Trouble::None;
};

} // namespace record
