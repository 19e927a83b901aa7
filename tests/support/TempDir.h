#pragma once

// A scratch directory for a test (or a benchmark).

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

// A fresh directory, unique per run (a second user's run, or one left over
// from a crash, cannot collide with it), removed afterwards. Named after the
// running test, or after `name` where there is none (a benchmark).
class TempDir {
public:
    explicit TempDir(const std::string& name = {})
    {
        std::string stem = name;
        if (stem.empty()) {
            const auto* info = testing::UnitTest::GetInstance()->current_test_info();
            stem = info != nullptr ? std::string(info->test_suite_name()) + "-" + info->name()
                                   : "scratch";
        }
        std::string pattern =
            (std::filesystem::temp_directory_path() / ("velmor-" + stem + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::filesystem::filesystem_error(
                "mkdtemp", pattern, std::error_code(errno, std::generic_category()));
        }
        path = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return (path / name).string(); }
    const std::filesystem::path& Path() const { return path; }

private:
    std::filesystem::path path;
};
