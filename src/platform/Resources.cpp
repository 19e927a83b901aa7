#include "platform/Resources.h"

#include <map>
#include <mutex>
#include <string>

namespace platform {

namespace {

struct Registry {
    std::mutex lock;
    std::map<std::string, ResourceBytes, std::less<>> entries;
};

// Never destroyed: a lookup made while static objects are torn down at exit
// must still find the registry alive.
Registry& TheRegistry()
{
    static Registry* registry = new Registry;
    return *registry;
}

} // namespace

bool RegisterResource(std::string_view name, ResourceBytes bytes)
{
    Registry& registry = TheRegistry();
    const std::lock_guard guard(registry.lock);
    return registry.entries.emplace(std::string(name), bytes).second;
}

std::optional<ResourceBytes> FindResource(std::string_view name)
{
    Registry& registry = TheRegistry();
    const std::lock_guard guard(registry.lock);
    const auto found = registry.entries.find(name);
    if (found == registry.entries.end()) {
        return std::nullopt;
    }
    return found->second;
}

} // namespace platform
