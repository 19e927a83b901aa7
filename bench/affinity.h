#pragma once

// A run with every thread on one processor, beside the usual run: on a
// virtual machine a wake that crosses to an idle processor waits for the
// hypervisor to run it, which neither program chooses. Pinned, what is left
// is the programs' own cost. For the benchmarks' diagnosis only.

#include <sched.h>

namespace bench {

// While it lives, the calling thread, and the threads and processes it
// starts, run on the processor it is on now; then the old set is back.
class OneProcessor {
public:
    OneProcessor()
    {
        const int cpu = ::sched_getcpu();
        pinned_ = cpu >= 0 && ::sched_getaffinity(0, sizeof old_, &old_) == 0;
        if (pinned_) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            pinned_ = ::sched_setaffinity(0, sizeof one, &one) == 0;
        }
    }
    ~OneProcessor()
    {
        if (pinned_) {
            ::sched_setaffinity(0, sizeof old_, &old_);
        }
    }
    OneProcessor(const OneProcessor&) = delete;
    OneProcessor& operator=(const OneProcessor&) = delete;

    // False when the system would not pin (the run is then the usual one).
    bool Pinned() const { return pinned_; }

private:
    cpu_set_t old_{};
    bool pinned_ = false;
};

} // namespace bench
