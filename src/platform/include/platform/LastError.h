#pragma once

// The calling thread's last error, as a Windows error number: the serial
// library passes these numbers on negated, and the system message texts
// exist for exactly the numbers below.

#include <cstdint>
#include <string>

namespace platform {

constexpr std::uint32_t ErrorFileNotFound = 2;          // no such device
constexpr std::uint32_t ErrorPathNotFound = 3;          // a directory on the way is missing
constexpr std::uint32_t ErrorTooManyOpenFiles = 4;      // out of descriptors
constexpr std::uint32_t ErrorAccessDenied = 5;          // held by another program or process
constexpr std::uint32_t ErrorInvalidHandle = 6;         // the device is not open
constexpr std::uint32_t ErrorNotEnoughMemory = 8;       // no memory
constexpr std::uint32_t ErrorNotReady = 21;             // the device is not ready
constexpr std::uint32_t ErrorBadCommand = 22;           // the device does not know the command
constexpr std::uint32_t ErrorGenFailure = 31;           // anything else the device reports
constexpr std::uint32_t ErrorPermissionDenied = 65;     // ours: may not open it (permissions)
constexpr std::uint32_t ErrorInvalidParameter = 87;     // a value the device cannot take
constexpr std::uint32_t ErrorOperationAborted = 995;    // cancelled by a flush or a close
constexpr std::uint32_t ErrorIoPending = 997;           // started, completes later
constexpr std::uint32_t ErrorIoDevice = 1117;           // an I/O error on the device
constexpr std::uint32_t ErrorDeviceNotConnected = 1167; // the device has gone

// The runtime's own input/output error numbers, which the error texts know
// beside the system's: what writing a file can fail with.
constexpr std::uint32_t IoDiskFull = 101;         // no room left (space or quota)
constexpr std::uint32_t IoDeviceWriteError = 160; // the medium failed the write
constexpr std::uint32_t IoGeneralFailure = 162;   // anything else

std::uint32_t GetLastError();
void SetLastError(std::uint32_t error);

// What the last failed open of this thread knows beyond the number: which
// device a COM name stands for, which process holds it, why it may not be
// opened. Empty after a successful open.
std::string LastErrorDetail();
void SetLastErrorDetail(std::string detail);

// What the last failed open of this thread found, for a program that words
// its own messages (velmor-log); None after a successful open.
enum class OpenFinding {
    None,
    Unmapped, // a COM number the map has no device for
    Missing,  // nothing at the path
    NotAPort, // something that is no serial port: a file, /dev/null, a directory
    Held,     // another program or process has it
    Terminal, // the controlling terminal of a process (a shell, a terminal tab)
    BadLock,  // something that is no lock file sits at its lock file's place
    Other,    // the number and the detail say it
};
struct OpenRefusal {
    OpenFinding finding = OpenFinding::None;
    // Held and Terminal: who, "process 812 (bash)", when known.
    std::string holder;
    // BadLock: the lock file's path, and what is there instead.
    std::string lockFile;
    std::string lockWhat;
};
OpenRefusal LastOpenRefusal();
void SetLastOpenRefusal(OpenRefusal refusal);

// Where an errno value comes from: the same value means different things
// there (EIO: a ttyS node without a UART, a device that has gone, a failed
// write to disk), and each path reports it as its callers' messages expect.
enum class ErrnoContext {
    Open,   // opening a device path
    Device, // an operation on an open device
    File,   // creating or writing a file (trace, log): the runtime's I/O numbers
};

// The error number for errno error on that path; an unknown value is the
// path's general failure (ErrorGenFailure, or IoGeneralFailure for files).
std::uint32_t ErrorFromErrno(int error, ErrnoContext context);

} // namespace platform
