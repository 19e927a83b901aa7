#pragma once

// Who has a terminal device, from /proc: the processes that hold it open,
// the other end of a pseudo-terminal, the process whose controlling
// terminal it is.

#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

struct PortHolder {
    pid_t pid = 0;    // 0: not known
    std::string name; // the process's name, when known
};

// "process 812 (bash)", or "another program" when pid is 0.
std::string DescribeHolder(const PortHolder& holder);
// The holders with a known pid, joined by ", "; empty when there is none.
std::string DescribeHolders(const std::vector<PortHolder>& holders);

std::string ProcessName(pid_t pid);
// pid is a live process (also one of another user).
bool ProcessAlive(pid_t pid);

// A Unix98 pseudo-terminal's slave (major 136 to 143).
bool IsPseudoTerminalSlave(dev_t rdev);

// The processes that have the character device rdev open, except the
// descriptor exceptFd of this process (-1: none). For a pseudo-terminal's
// slave, other processes that also hold its master are left out: they are
// its other end (a simulated meter) and keep the slave open on purpose.
std::vector<PortHolder> ProcessesHolding(dev_t rdev, int exceptFd);

// The process whose controlling terminal rdev is, preferring the session's
// leader (the login shell); pid 0 when it is nobody's.
PortHolder TerminalOwner(dev_t rdev);

} // namespace platform
