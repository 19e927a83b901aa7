#pragma once

// The one door through which the serial device reaches its driver's ioctl
// calls. A test can put a UART with modem lines, exclusivity and RS-485
// behind a pseudo-terminal here; without one the system's own call runs.

namespace platform::detail {

class DeviceCalls {
public:
    virtual ~DeviceCalls() = default;
    virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
};

// nullptr puts the system's calls back. Set it while no device is open.
void SetDeviceCalls(DeviceCalls* calls);

int Ioctl(int fd, unsigned long request, void* arg = nullptr);

} // namespace platform::detail
