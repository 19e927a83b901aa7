#pragma once

#include <csignal>

// SIGINT, SIGTERM and SIGHUP (a terminal's Ctrl+C, a kill, a session that
// logs out) end our programs through their ordinary shutdown: the signals are
// blocked and wait in the process until a descriptor reports them.

namespace platform {

sigset_t EndingSignalSet();

// Blocks the ending signals in the calling thread. Run it on the initial
// thread before any other thread exists, so that every thread inherits the
// mask and no thread is killed by them. Throws std::system_error.
void BlockEndingSignals();

// A non-blocking, close-on-exec descriptor that becomes readable when an
// ending signal arrives after BlockEndingSignals. The caller closes it.
// Throws std::system_error.
int OpenEndingSignals();

// Takes every ending signal waiting on the descriptor; true when one was.
bool TakeEndingSignals(int fd);

} // namespace platform
