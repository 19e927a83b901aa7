#pragma once

// termios2 side of the device-control record. Kept apart because
// <asm/termbits.h>, which has termios2 and BOTHER, clashes with <termios.h>.

#include "platform/DeviceCalls.h"
#include "platform/DeviceControl.h"

struct termios2;

namespace platform::detail {

// Puts t into raw mode (no line discipline processing, reads never wait) and
// writes the record's line settings into it; other fields stay.
void EncodeLine(const DeviceControl& dcb, termios2& t);

// The record as t holds it. Fields termios has no room for come from kept;
// so do data bits and parity when lineless (a pseudo-terminal forces 8N).
DeviceControl DecodeLine(const termios2& t, const DeviceControl& kept, bool lineless);

// The device's termios as it was, to be put back as it was.
struct SavedLine {
    alignas(8) unsigned char bytes[64];
};

// All return 0 or an errno.
int SaveLine(const Driver& driver, SavedLine& saved);
int RestoreLine(const Driver& driver, const SavedLine& saved);
int ReadLine(const Driver& driver, const DeviceControl& kept, bool lineless, DeviceControl& out);
int WriteLine(const Driver& driver, const DeviceControl& dcb);

} // namespace platform::detail
