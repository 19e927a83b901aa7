#pragma once

// The layer's process-wide hooks. The programs leave them alone; tests set
// them where what they test makes the device or the window for them. Each
// setter returns the hook it replaces, for the caller to put back.

#include "platform/MessageWindow.h"
#include "platform/SerialDevice.h"

#include <exception>
#include <functional>

namespace platform::detail {

// The options a device made without its own takes as it opens, and Probe.
DeviceOptions SetDefaultDeviceOptions(DeviceOptions options);
DeviceOptions DefaultDeviceOptions();

// Where exceptions thrown by window procedures of the calling thread go;
// without a guard they are dropped.
using ExceptionGuard = std::function<void(std::exception_ptr)>;
ExceptionGuard SetExceptionGuard(ExceptionGuard guard);

} // namespace platform::detail
