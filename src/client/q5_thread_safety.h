// Lock annotations for clang's -Wthread-safety; nothing under other
// compilers. A lock type is a Q5_CAPABILITY, a member it guards is
// Q5_GUARDED_BY(lock), a function that needs the lock held Q5_REQUIRES(lock).
#pragma once

#if defined(__clang__)
#define Q5_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define Q5_THREAD_ATTRIBUTE(x)
#endif

#define Q5_CAPABILITY(name) Q5_THREAD_ATTRIBUTE(capability(name))
#define Q5_SCOPED_CAPABILITY Q5_THREAD_ATTRIBUTE(scoped_lockable)
#define Q5_GUARDED_BY(lock) Q5_THREAD_ATTRIBUTE(guarded_by(lock))
#define Q5_PT_GUARDED_BY(lock) Q5_THREAD_ATTRIBUTE(pt_guarded_by(lock))
#define Q5_REQUIRES(...) Q5_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define Q5_REQUIRES_SHARED(...) Q5_THREAD_ATTRIBUTE(requires_shared_capability(__VA_ARGS__))
#define Q5_ACQUIRE(...) Q5_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define Q5_ACQUIRE_SHARED(...) Q5_THREAD_ATTRIBUTE(acquire_shared_capability(__VA_ARGS__))
#define Q5_RELEASE(...) Q5_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define Q5_RELEASE_SHARED(...) Q5_THREAD_ATTRIBUTE(release_shared_capability(__VA_ARGS__))
#define Q5_RELEASE_GENERIC(...) Q5_THREAD_ATTRIBUTE(release_generic_capability(__VA_ARGS__))
#define Q5_EXCLUDES(...) Q5_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define Q5_NO_THREAD_SAFETY_ANALYSIS Q5_THREAD_ATTRIBUTE(no_thread_safety_analysis)

#include <windows.h>

namespace q5dm {

// A slim reader/writer lock that the annotations know as a lock.
class Q5_CAPABILITY("mutex") CSrwLock {
public:
    CSrwLock() noexcept = default;
    CSrwLock(const CSrwLock&) = delete;
    CSrwLock& operator=(const CSrwLock&) = delete;
    void Lock() Q5_ACQUIRE() { AcquireSRWLockExclusive(&m_lock); }
    void Unlock() Q5_RELEASE() { ReleaseSRWLockExclusive(&m_lock); }
    void LockShared() Q5_ACQUIRE_SHARED() { AcquireSRWLockShared(&m_lock); }
    void UnlockShared() Q5_RELEASE_SHARED() { ReleaseSRWLockShared(&m_lock); }
    // Releases the lock while it waits on `cv`, and holds it again on return.
    // False when dwMs passed first.
    bool Sleep(CONDITION_VARIABLE& cv, DWORD dwMs) Q5_REQUIRES(this)
    {
        return SleepConditionVariableSRW(&cv, &m_lock, dwMs, 0) != 0;
    }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};

class Q5_SCOPED_CAPABILITY CExclusiveLock {
public:
    explicit CExclusiveLock(CSrwLock& lock) Q5_ACQUIRE(lock) : m_lock(lock) { m_lock.Lock(); }
    ~CExclusiveLock() Q5_RELEASE() { m_lock.Unlock(); }
    CExclusiveLock(const CExclusiveLock&) = delete;
    CExclusiveLock& operator=(const CExclusiveLock&) = delete;

private:
    CSrwLock& m_lock;
};

class Q5_SCOPED_CAPABILITY CSharedLock {
public:
    explicit CSharedLock(CSrwLock& lock) Q5_ACQUIRE_SHARED(lock) : m_lock(lock) { m_lock.LockShared(); }
    ~CSharedLock() Q5_RELEASE() { m_lock.UnlockShared(); }
    CSharedLock(const CSharedLock&) = delete;
    CSharedLock& operator=(const CSharedLock&) = delete;

private:
    CSrwLock& m_lock;
};

}  // namespace q5dm
