#include "instrument-sim/comlink.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace sim {

namespace {

const char* NonEmptyEnv(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

} // namespace

fs::path ComDirectory()
{
    if (const char* dir = NonEmptyEnv("VELMOR_COM_DIR")) {
        return dir;
    }
    if (const char* config = NonEmptyEnv("XDG_CONFIG_HOME")) {
        return fs::path(config) / "velmor" / "com";
    }
    if (const char* home = NonEmptyEnv("HOME")) {
        return fs::path(home) / ".config" / "velmor" / "com";
    }
    throw std::runtime_error("no place for the COM port map: set VELMOR_COM_DIR or HOME");
}

ComLink::ComLink(const fs::path& directory, int number, const fs::path& target)
    : link_(directory / ("com" + std::to_string(number))), target_(target)
{
    std::error_code ec;
    fs::path missing = directory.has_filename() ? directory : directory.parent_path();
    for (; !missing.empty() && !fs::exists(fs::symlink_status(missing, ec));
         missing = missing.parent_path()) {
        created_.push_back(missing);
        if (missing == missing.root_path()) {
            break;
        }
    }
    fs::create_directories(directory, ec);
    if (ec) {
        throw std::system_error(ec, "cannot create " + directory.string());
    }
    const auto status = fs::symlink_status(link_, ec);
    if (fs::exists(status)) {
        if (!fs::is_symlink(status)) {
            throw std::runtime_error(link_.string() + " exists and is not a link");
        }
        if (fs::exists(link_, ec)) {
            throw std::runtime_error(link_.string() + " already links to " +
                                     fs::read_symlink(link_, ec).string() +
                                     "; choose another COM number");
        }
        fs::remove(link_, ec); // stale: its device is gone
    }
    fs::create_symlink(target_, link_, ec);
    if (ec) {
        throw std::system_error(ec, "cannot create " + link_.string());
    }
}

ComLink::~ComLink()
{
    // Leave it if someone has pointed it elsewhere meanwhile.
    std::error_code ec;
    if (fs::read_symlink(link_, ec) == target_ && !ec) {
        fs::remove(link_, ec);
    }
    // What the constructor created, as long as nothing else has come into it.
    for (const auto& directory : created_) {
        if (!fs::is_directory(fs::symlink_status(directory, ec)) || !fs::remove(directory, ec)) {
            break;
        }
    }
}

} // namespace sim
