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
        EXPECT_EQ(OpenErrorFromErrno(e), ErrorFileNotFound) << e;
    for (const int e : {EBUSY, EWOULDBLOCK})
        EXPECT_EQ(OpenErrorFromErrno(e), ErrorAccessDenied) << e;
    // Not allowed to open is not "busy": its own number, with its own advice.
    for (const int e : {EACCES, EPERM})
        EXPECT_EQ(OpenErrorFromErrno(e), ErrorPermissionDenied) << e;
    EXPECT_EQ(OpenErrorFromErrno(EMFILE), ErrorTooManyOpenFiles);
    EXPECT_EQ(OpenErrorFromErrno(ENFILE), ErrorTooManyOpenFiles);
    EXPECT_EQ(OpenErrorFromErrno(ENOMEM), ErrorNotEnoughMemory);
    EXPECT_EQ(OpenErrorFromErrno(ENOTDIR), ErrorPathNotFound);
    EXPECT_EQ(OpenErrorFromErrno(EOVERFLOW), ErrorGenFailure);

    for (const int e : {EIO, ENODEV, ENXIO})
        EXPECT_EQ(DeviceErrorFromErrno(e), ErrorDeviceNotConnected) << e;
    EXPECT_EQ(DeviceErrorFromErrno(EINVAL), ErrorInvalidParameter);
    EXPECT_EQ(DeviceErrorFromErrno(ENOTTY), ErrorBadCommand);
    EXPECT_EQ(DeviceErrorFromErrno(EBADF), ErrorInvalidHandle);
    EXPECT_EQ(DeviceErrorFromErrno(EOVERFLOW), ErrorGenFailure);
}
