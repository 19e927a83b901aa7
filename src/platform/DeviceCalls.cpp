#include "platform/DeviceCalls.h"

#include "Hooks.h"
#include "platform/Mutex.h"

#include <sys/ioctl.h>
#include <utility>

namespace platform::detail {

namespace {

Mutex defaultsMutex;
DeviceOptions defaults GUARDED_BY(defaultsMutex);

} // namespace

int Driver::Ioctl(unsigned long request, void* arg) const
{
    return calls != nullptr ? calls->Ioctl(fd, request, arg) : ::ioctl(fd, request, arg);
}

DeviceOptions SetDefaultDeviceOptions(DeviceOptions options)
{
    const LockGuard lock(defaultsMutex);
    return std::exchange(defaults, std::move(options));
}

DeviceOptions DefaultDeviceOptions()
{
    const LockGuard lock(defaultsMutex);
    return defaults;
}

} // namespace platform::detail
