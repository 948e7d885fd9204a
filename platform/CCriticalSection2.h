// A process-local re-entrant lock: the owning thread may Enter again; each Enter needs a Leave.
// Any thread. Leave by a thread that does not own it is a programming error (undefined, as on
// Windows).
// A lock to the thread-safety analysis (platform/ThreadSafety.h), which does not model
// re-entry: code that enters a section it already holds says so (NO_THREAD_SAFETY_ANALYSIS).
#ifndef CAVIX_PLATFORM_CCRITICALSECTION2_H
#define CAVIX_PLATFORM_CCRITICALSECTION2_H

#include <mutex>

#include "platform/ThreadSafety.h"

class CAPABILITY("mutex") CCriticalSection2 {
 public:
  CCriticalSection2() = default;
  CCriticalSection2(const CCriticalSection2&) = delete;
  CCriticalSection2& operator=(const CCriticalSection2&) = delete;

  void Enter() ACQUIRE() { mutex_.lock(); }
  void Leave() RELEASE() { mutex_.unlock(); }
  bool TryEnter() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

#endif
