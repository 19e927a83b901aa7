#pragma once

// A file system that fills up: a tmpfs of a few pages mounted on a scratch
// directory, for as long as it lives. Mounting needs root (and a system
// that lets it): Mounted() says whether it is there.

#include "TempDir.h"

#include <sys/mount.h>

#include <string>

class SmallTmpfs {
public:
    explicit SmallTmpfs(std::size_t bytes) : dir_("tmpfs")
    {
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0700";
        mounted_ = ::mount("velmor-test", dir_.Path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                           options.c_str()) == 0;
    }
    ~SmallTmpfs()
    {
        if (mounted_)
            ::umount2(dir_.Path().c_str(), MNT_DETACH);
    }
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;

    bool Mounted() const { return mounted_; }
    const std::filesystem::path& Path() const { return dir_.Path(); }

private:
    TempDir dir_;
    bool mounted_ = false;
};
