#include "platform/SystemMessage.h"

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
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {21, "The device is not ready."},
    {22, "The device does not recognize the command."},
    {31, "A device attached to the system is not functioning."},
    {65, "Permission denied: you may not open this serial port."},
    {87, "The parameter is incorrect."},
    {995, "The I/O operation has been aborted because of either a thread exit or an "
          "application request."},
    {997, "Overlapped I/O operation is in progress."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1167, "The device is not connected."},
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
