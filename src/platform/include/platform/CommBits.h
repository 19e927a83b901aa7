#pragma once

// The bit constants of the serial device interface, one set for the device
// and the serial library above it: port events, driver error bits, modem
// lines, escape functions and purge flags, with the Windows values the
// library was written for.

#include <cstdint>

namespace platform {

// Event mask bits (SetMask, WaitEvent).
constexpr std::uint32_t EvRxChar = 0x0001;
constexpr std::uint32_t EvRxFlag = 0x0002;  // accepted, never reported
constexpr std::uint32_t EvTxEmpty = 0x0004; // accepted, never reported
constexpr std::uint32_t EvCts = 0x0008;
constexpr std::uint32_t EvDsr = 0x0010;
constexpr std::uint32_t EvRlsd = 0x0020;
constexpr std::uint32_t EvBreak = 0x0040;
constexpr std::uint32_t EvErr = 0x0080;
constexpr std::uint32_t EvRing = 0x0100;
constexpr std::uint32_t EvRingTrailingEdge = 0x2000;

// Error bits (ClearErrors).
constexpr std::uint32_t CeRxOver = 0x01;
constexpr std::uint32_t CeOverrun = 0x02;
constexpr std::uint32_t CeRxParity = 0x04;
constexpr std::uint32_t CeFrame = 0x08;
constexpr std::uint32_t CeBreak = 0x10;
// The line errors above, together.
constexpr std::uint32_t CeLineErrors = 0x1F;

// Modem status bits (GetModemStatus).
constexpr std::uint32_t MsCtsOn = 0x10;
constexpr std::uint32_t MsDsrOn = 0x20;
constexpr std::uint32_t MsRingOn = 0x40;
constexpr std::uint32_t MsRlsdOn = 0x80;

// Escape functions.
constexpr std::uint32_t EscSetXoff = 1;
constexpr std::uint32_t EscSetXon = 2;
constexpr std::uint32_t EscSetRts = 3;
constexpr std::uint32_t EscClrRts = 4;
constexpr std::uint32_t EscSetDtr = 5;
constexpr std::uint32_t EscClrDtr = 6;
constexpr std::uint32_t EscSetBreak = 8;
constexpr std::uint32_t EscClrBreak = 9;

// Purge flags.
constexpr std::uint32_t PurgeTxAbort = 0x1;
constexpr std::uint32_t PurgeRxAbort = 0x2;
constexpr std::uint32_t PurgeTxClear = 0x4;
constexpr std::uint32_t PurgeRxClear = 0x8;

} // namespace platform
