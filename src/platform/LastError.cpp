#include "platform/LastError.h"

#include <cerrno>
#include <utility>

namespace platform {

namespace {

thread_local std::uint32_t lastError = 0;
thread_local std::string lastDetail;
thread_local OpenRefusal lastRefusal;

} // namespace

std::uint32_t GetLastError()
{
    return lastError;
}

void SetLastError(std::uint32_t error)
{
    lastError = error;
}

std::string LastErrorDetail()
{
    return lastDetail;
}

void SetLastErrorDetail(std::string detail)
{
    lastDetail = std::move(detail);
}

OpenRefusal LastOpenRefusal()
{
    return lastRefusal;
}

void SetLastOpenRefusal(OpenRefusal refusal)
{
    lastRefusal = std::move(refusal);
}

std::uint32_t ErrorFromErrno(int error, ErrnoContext context)
{
    // One row per errno value: what it means on the open, device and file paths.
    struct Row {
        int error;
        std::uint32_t open, device, file;
    };
    static constexpr Row Rows[] = {
        // A file being written is created when missing, so a missing entry
        // is a directory on the way.
        {ENOENT, ErrorFileNotFound, ErrorGenFailure, ErrorPathNotFound},
        {ENODEV, ErrorFileNotFound, ErrorDeviceNotConnected, IoGeneralFailure},
        {ENXIO, ErrorFileNotFound, ErrorDeviceNotConnected, IoGeneralFailure},
        // On open, a ttyS node without a UART behind it.
        {EIO, ErrorFileNotFound, ErrorDeviceNotConnected, IoDeviceWriteError},
        {EPIPE, ErrorGenFailure, ErrorDeviceNotConnected, IoGeneralFailure},
        {ELOOP, ErrorFileNotFound, ErrorGenFailure, ErrorPathNotFound},
        {ENAMETOOLONG, ErrorFileNotFound, ErrorGenFailure, ErrorPathNotFound},
        {ENOTDIR, ErrorPathNotFound, ErrorGenFailure, ErrorPathNotFound},
        {EMFILE, ErrorTooManyOpenFiles, ErrorGenFailure, ErrorTooManyOpenFiles},
        {ENFILE, ErrorTooManyOpenFiles, ErrorGenFailure, ErrorTooManyOpenFiles},
        {EBUSY, ErrorAccessDenied, ErrorGenFailure, ErrorAccessDenied},
        // EWOULDBLOCK, on open flock's answer: another descriptor holds the device.
        {EAGAIN, ErrorAccessDenied, ErrorNotReady, IoGeneralFailure},
        // A device the user may not open says how to get permission.
        {EACCES, ErrorPermissionDenied, ErrorAccessDenied, ErrorAccessDenied},
        {EPERM, ErrorPermissionDenied, ErrorAccessDenied, ErrorAccessDenied},
        {EROFS, ErrorPermissionDenied, ErrorGenFailure, ErrorAccessDenied},
        {EISDIR, ErrorGenFailure, ErrorGenFailure, ErrorAccessDenied},
        {ETXTBSY, ErrorGenFailure, ErrorGenFailure, ErrorAccessDenied},
        {EBADF, ErrorGenFailure, ErrorInvalidHandle, ErrorInvalidHandle},
        {ENOMEM, ErrorNotEnoughMemory, ErrorNotEnoughMemory, ErrorNotEnoughMemory},
        {EINVAL, ErrorInvalidParameter, ErrorInvalidParameter, IoGeneralFailure},
        {ERANGE, ErrorGenFailure, ErrorInvalidParameter, IoGeneralFailure},
        {ENOTTY, ErrorGenFailure, ErrorBadCommand, IoGeneralFailure},
        {EOPNOTSUPP, ErrorGenFailure, ErrorBadCommand, IoGeneralFailure},
        {ECANCELED, ErrorGenFailure, ErrorOperationAborted, IoGeneralFailure},
        {ENOSPC, ErrorGenFailure, ErrorGenFailure, IoDiskFull},
        {EDQUOT, ErrorGenFailure, ErrorGenFailure, IoDiskFull},
        {EFBIG, ErrorGenFailure, ErrorGenFailure, IoDiskFull},
    };
    for (const Row& row : Rows) {
        if (row.error == error) {
            switch (context) {
            case ErrnoContext::Open:
                return row.open;
            case ErrnoContext::Device:
                return row.device;
            case ErrnoContext::File:
                return row.file;
            }
        }
    }
    return context == ErrnoContext::File ? IoGeneralFailure : ErrorGenFailure;
}

} // namespace platform
