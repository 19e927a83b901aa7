#pragma once

// The calling thread's identity and name, and thread priorities in the serial
// library's seven steps, on nice values of single threads. Lowering always
// works; raising above the process's own level needs CAP_SYS_NICE (or
// RLIMIT_NICE) and is reported, not forced.

namespace platform {

enum class ThreadPriority : int { Idle, Lowest, Lower, Normal, Higher, Highest, TimeCritical };

using ThreadId = int;

// The kernel's id of the calling thread, for SetThreadPriority from elsewhere.
ThreadId CurrentThreadId();

// Names the calling thread, so that top -H, perf and debuggers tell threads
// apart; the system keeps at most 15 characters of it.
void SetCurrentThreadName(const char* name);

// True on the process's initial thread (the one main ran on).
bool IsInitialThread();

// The nice value a step stands for; steps outside Idle..TimeCritical are clamped.
int NiceForPriority(int step);

// False with GetLastError() 5 when not permitted, 6 for no such thread.
bool SetThreadPriority(ThreadId thread, int step);
inline bool SetThreadPriority(ThreadId thread, ThreadPriority step)
{
    return SetThreadPriority(thread, static_cast<int>(step));
}

} // namespace platform
