#pragma once

// Locks that the compiler checks. Under clang, -Wthread-safety reads the
// annotations below: a field GUARDED_BY a lock is touched only with it
// held, a function that REQUIRES a lock is called only with it held and
// one that EXCLUDES it only without. The clang build (make clang, make lint)
// turns a finding into an error. Other compilers see empty macros and the
// plain standard types underneath.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define VELMOR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VELMOR_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) VELMOR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY VELMOR_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) VELMOR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) VELMOR_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) VELMOR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) VELMOR_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) VELMOR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) VELMOR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) VELMOR_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) VELMOR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) VELMOR_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) VELMOR_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VELMOR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) VELMOR_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) VELMOR_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VELMOR_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace platform {

// std::mutex, as a capability.
class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
    // For a condition variable's wait, which unlocks and locks it again.
    std::mutex& Native() { return m_; }

private:
    std::mutex m_;
};

// std::recursive_mutex, as a capability. The analysis treats it as plain:
// it reports a second acquisition it can see, so that every nesting is
// written out as REQUIRES. A platform operation the dispatcher calls with
// a lock held may still come back through the base class (a driver's
// ReadErrors asks the transmit ring's count), which the recursion allows.
class CAPABILITY("mutex") RecursiveMutex {
public:
    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }

private:
    std::recursive_mutex m_;
};

// std::shared_mutex, as a capability that can be held shared.
class CAPABILITY("mutex") SharedMutex {
public:
    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    void lock_shared() ACQUIRE_SHARED() { m_.lock_shared(); }
    void unlock_shared() RELEASE_SHARED() { m_.unlock_shared(); }

private:
    std::shared_mutex m_;
};

// Holds a lock for a scope.
template <class M> class SCOPED_CAPABILITY LockGuard {
public:
    explicit LockGuard(M& m) ACQUIRE(m) : m_(m) { m_.lock(); }
    ~LockGuard() RELEASE() { m_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    M& m_;
};

// Holds a shared lock for a scope.
class SCOPED_CAPABILITY SharedLockGuard {
public:
    explicit SharedLockGuard(SharedMutex& m) ACQUIRE_SHARED(m) : m_(m) { m_.lock_shared(); }
    ~SharedLockGuard() RELEASE() { m_.unlock_shared(); }
    SharedLockGuard(const SharedLockGuard&) = delete;
    SharedLockGuard& operator=(const SharedLockGuard&) = delete;

private:
    SharedMutex& m_;
};

// std::condition_variable over a Mutex the caller holds. The waits take no
// predicate: a lambda is analysed apart from the lock its caller holds, so
// the caller loops over its condition itself.
class ConditionVariable {
public:
    void NotifyOne() { cv_.notify_one(); }
    void NotifyAll() { cv_.notify_all(); }
    void Wait(Mutex& m) REQUIRES(m)
    {
        std::unique_lock<std::mutex> held(m.Native(), std::adopt_lock);
        cv_.wait(held);
        held.release();
    }
    // False when the time point passed.
    template <class Clock, class Duration>
    bool WaitUntil(Mutex& m, const std::chrono::time_point<Clock, Duration>& until) REQUIRES(m)
    {
        std::unique_lock<std::mutex> held(m.Native(), std::adopt_lock);
        const bool woken = cv_.wait_until(held, until) == std::cv_status::no_timeout;
        held.release();
        return woken;
    }

private:
    std::condition_variable cv_;
};

// A thread that state belongs to instead of a lock: a field GUARDED_BY a
// role is touched only in functions that REQUIRES it, or after Assume() in
// a function that only that thread runs. Nothing at run time.
class CAPABILITY("role") ThreadRole {
public:
    void Assume() const ASSERT_CAPABILITY(this) {}
};

} // namespace platform
