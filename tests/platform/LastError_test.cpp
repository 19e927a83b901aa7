// Unit under test: LastError (per-thread last error, errno to Windows numbers).
#include "platform/LastError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

using namespace platform;

TEST(LastError, IsKeptPerThread)
{
    SetLastError(ErrorAccessDenied);
    std::uint32_t other = 1;
    std::thread t([&] {
        other = GetLastError();
        SetLastError(ErrorFileNotFound);
    });
    t.join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(GetLastError(), ErrorAccessDenied);
}

TEST(LastError, OpenFailuresMapToTheNumbersTheLibraryTellsApart)
{
    for (const int e : {ENOENT, ENODEV, ENXIO, EIO})
        EXPECT_EQ(ErrorFromErrno(e, ErrnoContext::Open), ErrorFileNotFound) << e;
    for (const int e : {EBUSY, EWOULDBLOCK})
        EXPECT_EQ(ErrorFromErrno(e, ErrnoContext::Open), ErrorAccessDenied) << e;
    // Not allowed to open is not "busy": its own number, with its own advice.
    for (const int e : {EACCES, EPERM})
        EXPECT_EQ(ErrorFromErrno(e, ErrnoContext::Open), ErrorPermissionDenied) << e;
    EXPECT_EQ(ErrorFromErrno(EMFILE, ErrnoContext::Open), ErrorTooManyOpenFiles);
    EXPECT_EQ(ErrorFromErrno(ENFILE, ErrnoContext::Open), ErrorTooManyOpenFiles);
    EXPECT_EQ(ErrorFromErrno(ENOMEM, ErrnoContext::Open), ErrorNotEnoughMemory);
    EXPECT_EQ(ErrorFromErrno(ENOTDIR, ErrnoContext::Open), ErrorPathNotFound);
    EXPECT_EQ(ErrorFromErrno(EOVERFLOW, ErrnoContext::Open), ErrorGenFailure);

    for (const int e : {EIO, ENODEV, ENXIO})
        EXPECT_EQ(ErrorFromErrno(e, ErrnoContext::Device), ErrorDeviceNotConnected) << e;
    EXPECT_EQ(ErrorFromErrno(EINVAL, ErrnoContext::Device), ErrorInvalidParameter);
    EXPECT_EQ(ErrorFromErrno(ENOTTY, ErrnoContext::Device), ErrorBadCommand);
    EXPECT_EQ(ErrorFromErrno(EBADF, ErrnoContext::Device), ErrorInvalidHandle);
    EXPECT_EQ(ErrorFromErrno(EOVERFLOW, ErrnoContext::Device), ErrorGenFailure);

    // A file's numbers are the runtime's: the texts say "Disk is full", not "General failure".
    EXPECT_EQ(ErrorFromErrno(ENOENT, ErrnoContext::File), ErrorPathNotFound);
    EXPECT_EQ(ErrorFromErrno(ENOSPC, ErrnoContext::File), IoDiskFull);
    EXPECT_EQ(ErrorFromErrno(EIO, ErrnoContext::File), IoDeviceWriteError);
    EXPECT_EQ(ErrorFromErrno(EOVERFLOW, ErrnoContext::File), IoGeneralFailure);
}
