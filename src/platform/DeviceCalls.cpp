#include "platform/DeviceCalls.h"

#include <atomic>
#include <sys/ioctl.h>

namespace platform::detail {

namespace {

std::atomic<DeviceCalls*> injected{nullptr};

} // namespace

void SetDeviceCalls(DeviceCalls* calls)
{
    injected.store(calls);
}

int Ioctl(int fd, unsigned long request, void* arg)
{
    if (DeviceCalls* calls = injected.load(std::memory_order_acquire))
        return calls->Ioctl(fd, request, arg);
    return ::ioctl(fd, request, arg);
}

} // namespace platform::detail
