// Opens a serial device in a process of its own, for the exclusivity and
// permission tests. Exit status: 0 opened, else the Windows error number;
// 100 bad arguments, 101 privileges could not be dropped.
#include "platform/LastError.h"
#include "platform/SerialDevice.h"

#include <grp.h>
#include <string_view>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 100;
    if (argc > 2 && std::string_view(argv[2]) == "--as-nobody") {
        constexpr uid_t nobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)
            return 101;
    }
    platform::SerialDevice device;
    if (device.Open(argv[1]))
        return 0;
    return static_cast<int>(platform::GetLastError() & 0xFF);
}
