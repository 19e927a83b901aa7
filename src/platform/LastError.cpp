#include "platform/LastError.h"

#include <cerrno>
#include <utility>

namespace platform {

namespace {

thread_local std::uint32_t lastError = 0;
thread_local std::string lastDetail;

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

std::uint32_t OpenErrorFromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO: // a ttyS node without a UART behind it
    case ELOOP:
    case ENAMETOOLONG:
        return ErrorFileNotFound;
    case ENOTDIR:
        return ErrorPathNotFound;
    case EMFILE:
    case ENFILE:
        return ErrorTooManyOpenFiles;
    case EBUSY:
    case EWOULDBLOCK: // flock: another descriptor holds the device
        return ErrorAccessDenied;
    case EACCES:
    case EPERM:
    case EROFS:
        return ErrorPermissionDenied;
    case ENOMEM:
        return ErrorNotEnoughMemory;
    case EINVAL:
        return ErrorInvalidParameter;
    default:
        return ErrorGenFailure;
    }
}

std::uint32_t DeviceErrorFromErrno(int error)
{
    switch (error) {
    case EIO:
    case ENODEV:
    case ENXIO:
    case EPIPE:
        return ErrorDeviceNotConnected;
    case EBADF:
        return ErrorInvalidHandle;
    case ENOMEM:
        return ErrorNotEnoughMemory;
    case EINVAL:
    case ERANGE:
        return ErrorInvalidParameter;
    case ENOTTY:
    case EOPNOTSUPP:
        return ErrorBadCommand;
    case EACCES:
    case EPERM:
        return ErrorAccessDenied;
    case EAGAIN:
        return ErrorNotReady;
    case ECANCELED:
        return ErrorOperationAborted;
    default:
        return ErrorGenFailure;
    }
}

} // namespace platform
