// The core's three locks. Each has a flag telling whether the core currently
// considers it to exist (created by CoreStart, deleted by CoreStop), but the
// mutex behind it is allocated once and never freed: a worker that outlives
// the core's bounded stop wait can still lock it safely, and nothing is torn
// down under a thread that holds it.
#pragma once

#include <atomic>
#include <mutex>

struct CoreLock {
    std::atomic<bool> exists{false};
    std::mutex* mutex = new std::mutex;  // process lifetime, never deleted
};

extern CoreLock gBurstLock;
extern CoreLock gConfigLock;
extern CoreLock gWatchSetLock;

inline void CreateCoreLock(CoreLock& lock) { lock.exists.store(true); }
inline void DeleteCoreLock(CoreLock& lock) { lock.exists.store(false); }

// Holds the lock's mutex for a scope. The mutex is always valid, so taking it
// whether or not the lock "exists" is safe and keeps readers and writers of
// the guarded state from ever racing.
class CoreLockGuard {
public:
    explicit CoreLockGuard(CoreLock& lock) : mutex_(*lock.mutex) { mutex_.lock(); }
    ~CoreLockGuard() { mutex_.unlock(); }
    CoreLockGuard(const CoreLockGuard&) = delete;
    CoreLockGuard& operator=(const CoreLockGuard&) = delete;

private:
    std::mutex& mutex_;
};
