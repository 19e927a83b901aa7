#pragma once

// The device-control record: the line settings of a serial device in the
// layout the serial library works with (the fields and flag bits of the
// Windows record), mapped onto termios by SerialDevice.

#include <cstdint>

namespace platform {

// Flag word bits.
constexpr std::uint32_t DcbBinary = 0x0001;
constexpr std::uint32_t DcbParityCheck = 0x0002;
constexpr std::uint32_t DcbOutxCtsFlow = 0x0004;
constexpr std::uint32_t DcbOutxDsrFlow = 0x0008;
constexpr std::uint32_t DcbDtrControlMask = 0x0030;
constexpr std::uint32_t DcbDsrSensitivity = 0x0040;
constexpr std::uint32_t DcbTxContinueOnXoff = 0x0080;
constexpr std::uint32_t DcbOutX = 0x0100;
constexpr std::uint32_t DcbInX = 0x0200;
constexpr std::uint32_t DcbErrorChar = 0x0400;
constexpr std::uint32_t DcbNull = 0x0800;
constexpr std::uint32_t DcbRtsControlMask = 0x3000;
constexpr std::uint32_t DcbAbortOnError = 0x4000;

constexpr std::uint32_t DtrControlDisable = 0x0000;
constexpr std::uint32_t DtrControlEnable = 0x0010;
constexpr std::uint32_t DtrControlHandshake = 0x0020;
constexpr std::uint32_t RtsControlDisable = 0x0000;
constexpr std::uint32_t RtsControlEnable = 0x1000;
constexpr std::uint32_t RtsControlHandshake = 0x2000;
constexpr std::uint32_t RtsControlToggle = 0x3000;

constexpr std::uint8_t NoParity = 0;
constexpr std::uint8_t OddParity = 1;
constexpr std::uint8_t EvenParity = 2;
constexpr std::uint8_t MarkParity = 3;
constexpr std::uint8_t SpaceParity = 4;

constexpr std::uint8_t OneStopBit = 0;
constexpr std::uint8_t One5StopBits = 1;
constexpr std::uint8_t TwoStopBits = 2;

// The flow characters software flow control starts with.
constexpr std::uint8_t XonChar = 17;
constexpr std::uint8_t XoffChar = 19;

struct DeviceControl {
    std::uint32_t baudRate = 9600;
    std::uint32_t flags = DcbBinary | DtrControlEnable | RtsControlEnable;
    // Flow limits in bytes of the receive side (SerialDevice::SetupQueues):
    // held back when fewer than xoffLim are free, let go at xonLim held.
    std::uint16_t xonLim = 2048;
    std::uint16_t xoffLim = 512;
    std::uint8_t byteSize = 8; // 5..8
    std::uint8_t parity = NoParity;
    std::uint8_t stopBits = OneStopBit;
    std::uint8_t xonChar = 0x11;
    std::uint8_t xoffChar = 0x13;
    std::uint8_t errorChar = 0; // kept only
    std::uint8_t eofChar = 0;   // kept only
    std::uint8_t evtChar = 0;   // kept only

    bool operator==(const DeviceControl&) const = default;
};

} // namespace platform
