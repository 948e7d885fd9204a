// A plain (not re-entrant) process-local lock and its scope guards, annotated for the
// thread-safety analysis (platform/ThreadSafety.h), which knows nothing of std::mutex and
// std::lock_guard in libstdc++. Same behaviour as std::mutex, std::lock_guard and
// std::unique_lock; no cost beyond them.
// Any thread; a guard is used on the thread that made it.
#ifndef CAVIX_PLATFORM_MUTEX_H
#define CAVIX_PLATFORM_MUTEX_H

#include <mutex>

#include "platform/ThreadSafety.h"

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  friend class MutexUniqueLock;
  std::mutex mutex_;
};

// Holds a Mutex for its scope (std::lock_guard).
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() RELEASE() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Holds a Mutex for its scope (std::unique_lock) and lends the std::unique_lock that a
// std::condition_variable waits with: cv.wait(lock.Native(), pred). A wait gives the mutex
// back and takes it again before it returns, so to the analysis it stays held; a predicate
// that reads guarded members is a lambda marked REQUIRES(the mutex). Unlock and Lock drop and
// retake it within the scope.
class SCOPED_CAPABILITY MutexUniqueLock {
 public:
  explicit MutexUniqueLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexUniqueLock() RELEASE() {}
  MutexUniqueLock(const MutexUniqueLock&) = delete;
  MutexUniqueLock& operator=(const MutexUniqueLock&) = delete;

  void Unlock() RELEASE() { lock_.unlock(); }
  void Lock() ACQUIRE() { lock_.lock(); }
  std::unique_lock<std::mutex>& Native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

#endif
