#pragma once

// The door through which a serial device reaches its driver's ioctl calls.
// A device can be given calls of its own when it is made (SerialDevice's
// DeviceOptions): a test puts a UART with modem lines, exclusivity and
// RS-485 behind a pseudo-terminal there. Without them the system's run.

namespace platform {

class DeviceCalls {
public:
    virtual ~DeviceCalls() = default;
    virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
};

namespace detail {

// An open device's descriptor with the calls that reach its driver.
struct Driver {
    int fd = -1;
    DeviceCalls* calls = nullptr; // nullptr: the system's
    int Ioctl(unsigned long request, void* arg = nullptr) const;
};

} // namespace detail

} // namespace platform
