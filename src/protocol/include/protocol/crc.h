#pragma once

#include <cstdint>

// CRC-16/MODBUS of the first length bytes, packed in transmission order:
// the byte sent first is the high half. An intact frame, check bytes
// included, gives 0. Pure; safe from any thread.
std::uint16_t Crc16(const std::uint8_t* data, std::uint16_t length);
