// Unit under test: ThreadPriority (priority steps on per-thread nice values).
#include "platform/LastError.h"
#include "platform/ThreadPriority.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/resource.h>
#include <thread>

using platform::ThreadPriority;

TEST(ThreadPriority, StepsAreOrderedAndClamped)
{
    // Steps around Normal are relative to the process's own nice value, so
    // under `nice make test` the low steps meet at 19: ordered, not strictly.
    const int base = ::getpriority(PRIO_PROCESS, 0);
    int previous = 19;
    for (int step = 0; step <= 6; ++step) {
        const int nice = platform::NiceForPriority(step);
        EXPECT_LE(nice, previous) << step;
        EXPECT_GE(nice, -20);
        previous = nice;
    }
    EXPECT_EQ(platform::NiceForPriority(static_cast<int>(ThreadPriority::Normal)), base);
    EXPECT_EQ(platform::NiceForPriority(static_cast<int>(ThreadPriority::Idle)), 19);
    EXPECT_EQ(platform::NiceForPriority(static_cast<int>(ThreadPriority::TimeCritical)), -20);
    EXPECT_EQ(platform::NiceForPriority(-3), platform::NiceForPriority(0));
    EXPECT_EQ(platform::NiceForPriority(9), platform::NiceForPriority(6));
}

TEST(ThreadPriority, ChangesOnlyTheChosenThread)
{
    const int processNice = ::getpriority(PRIO_PROCESS, 0);
    int seen = 0;
    bool lowered = false;
    bool restored = false;
    std::uint32_t restoreError = 0;
    std::thread t([&] {
        const platform::ThreadId self = platform::CurrentThreadId();
        lowered = platform::SetThreadPriority(self, ThreadPriority::Lower);
        errno = 0;
        seen = ::getpriority(PRIO_PROCESS, static_cast<id_t>(self));
        // Raising back needs privileges that a test run may not have.
        restored = platform::SetThreadPriority(self, ThreadPriority::Normal);
        restoreError = platform::GetLastError();
    });
    t.join();
    EXPECT_TRUE(lowered);
    EXPECT_EQ(seen, platform::NiceForPriority(static_cast<int>(ThreadPriority::Lower)));
    if (!restored) {
        EXPECT_EQ(restoreError, platform::ErrorAccessDenied);
    }
    EXPECT_EQ(::getpriority(PRIO_PROCESS, 0), processNice); // the main thread is untouched

    EXPECT_FALSE(platform::SetThreadPriority(0x7FFFFFF0, ThreadPriority::Lower));
    EXPECT_EQ(platform::GetLastError(), platform::ErrorInvalidHandle);
}
