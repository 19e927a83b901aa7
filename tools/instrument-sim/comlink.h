#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace sim {

// The COM port map's directory of pinned numbers: $VELMOR_COM_DIR when set,
// else ${XDG_CONFIG_HOME:-~/.config}/velmor/com. Throws std::runtime_error
// when neither that variable nor HOME gives a place.
std::filesystem::path ComDirectory();

// The link comN -> target in a COM map directory, for as long as this object
// lives. Creates the directory if needed, and removes what it created when it
// is left empty. A leftover link whose target is gone (from a simulator that
// was killed) is replaced; a live one is an error.
class ComLink {
public:
    ComLink(const std::filesystem::path& directory, int number,
            const std::filesystem::path& target);
    ~ComLink();
    ComLink(const ComLink&) = delete;
    ComLink& operator=(const ComLink&) = delete;

    const std::filesystem::path& Path() const { return link_; }

private:
    std::filesystem::path link_;
    std::filesystem::path target_;
    std::vector<std::filesystem::path> created_; // deepest first
};

} // namespace sim
