#include "platform/SystemMessage.h"

#include "platform/LastError.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace platform {

namespace {

struct Message {
    std::uint32_t code;
    std::string_view text;
};

constexpr std::array<Message, 15> Messages = {{
    {ErrorFileNotFound, "The system cannot find the file specified."},
    {ErrorPathNotFound, "The system cannot find the path specified."},
    {ErrorTooManyOpenFiles, "The system cannot open the file."},
    {ErrorAccessDenied, "Access is denied."},
    {ErrorInvalidHandle, "The handle is invalid."},
    {ErrorNotEnoughMemory, "Not enough memory resources are available to process this command."},
    {ErrorNotReady, "The device is not ready."},
    {ErrorBadCommand, "The device does not recognize the command."},
    {ErrorGenFailure, "A device attached to the system is not functioning."},
    {ErrorPermissionDenied, "Permission denied: you may not open this serial port."},
    {ErrorInvalidParameter, "The parameter is incorrect."},
    {ErrorOperationAborted,
     "The I/O operation has been aborted because of either a thread exit or an "
     "application request."},
    {ErrorIoPending, "Overlapped I/O operation is in progress."},
    {ErrorIoDevice, "The request could not be performed because of an I/O device error."},
    {ErrorDeviceNotConnected, "The device is not connected."},
}};

} // namespace

std::string SystemMessage(std::uint32_t code)
{
    const auto found = std::find_if(Messages.begin(), Messages.end(),
                                    [code](const Message& m) { return m.code == code; });
    if (found == Messages.end()) {
        return {};
    }
    std::string text(found->text);
    text += "\r\n";
    return text;
}

} // namespace platform
