// Unit under test: PortLock (UUCP lock files in a world-writable directory).
#include "PtyPair.h"
#include "TempDir.h"

#include "platform/PortLock.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string Contents(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

// Someone else may write into the lock directory: what they plant there is
// never followed, and the lock meets other programs' under the node's name.
TEST(PortLock, IsMadeWithoutFollowingPlantedLinksAndNamedAfterTheDeviceNode)
{
    testutil::PtyPair pty;
    const TempDir locks("lock");
    TempDir tmp;
    const fs::path victim = tmp.Path() / "victim";
    std::ofstream(victim) << "keep";
    // The old fixed temporary name, and the next pids, all pointing at it.
    for (int pid = ::getpid(); pid < ::getpid() + 3; ++pid)
        fs::create_symlink(victim, locks.Path() / ("LTMP." + std::to_string(pid)));
    const fs::path byName = tmp.Path() / "myport"; // a by-id link, or ~/myport
    fs::create_symlink(pty.SlavePath(), byName);
    const fs::path lockFile =
        locks.Path() / ("LCK.." + fs::path(pty.SlavePath()).filename().string());

    const mode_t umask = ::umask(077);
    platform::PortLock lock(locks.Path().string());
    platform::LockRefusal why;
    const bool taken = lock.Acquire(byName.string(), why);
    ::umask(umask);
    ASSERT_TRUE(taken);
    EXPECT_EQ(Contents(victim), "keep");
    char expected[16];
    std::snprintf(expected, sizeof expected, "%10d\n", static_cast<int>(::getpid()));
    EXPECT_EQ(Contents(lockFile), expected);
    struct stat st {};
    ASSERT_EQ(::stat(lockFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "others cannot read the pid";
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(locks.Path()))
        ++entries;
    EXPECT_EQ(entries, 4u) << "a temporary file was left";

    // The same device by its own path meets the lock.
    platform::PortLock second(locks.Path().string());
    EXPECT_FALSE(second.Acquire(pty.SlavePath(), why));
    EXPECT_EQ(why.holder.pid, ::getpid());
    lock.Release();
    EXPECT_FALSE(fs::exists(lockFile));

    // A live pid in four digits without a newline is read as digits.
    std::ofstream(lockFile, std::ios::binary) << "0001";
    EXPECT_FALSE(second.Acquire(pty.SlavePath(), why));
    EXPECT_EQ(why.holder.pid, 1);
    EXPECT_TRUE(fs::exists(lockFile)) << "a live lock was taken for stale";
    fs::remove(lockFile);

    // What is no lock file refuses the port and is named, never removed.
    const std::pair<std::function<void()>, std::string> squatters[] = {
        {[&] { fs::create_directory(lockFile); }, "a directory"},
        {[&] { fs::create_symlink(tmp.Path() / "nowhere", lockFile); }, "a symbolic link"},
        {[&] { fs::create_symlink(victim, lockFile); }, "a symbolic link"},
    };
    for (const auto& [plant, what] : squatters) {
        plant();
        why = {};
        EXPECT_FALSE(second.Acquire(pty.SlavePath(), why)) << what;
        EXPECT_EQ(why.badFile, lockFile.string());
        EXPECT_EQ(why.what, what);
        EXPECT_TRUE(fs::exists(fs::symlink_status(lockFile))) << what;
        fs::remove(lockFile);
    }
    EXPECT_EQ(Contents(victim), "keep");
}
