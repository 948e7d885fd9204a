// A process-local re-entrant lock: the owning thread may Enter again; each Enter needs a Leave.
// Any thread. Leave by a thread that does not own it is a programming error (undefined, as on
// Windows).
#ifndef CAVIX_PLATFORM_CCRITICALSECTION2_H
#define CAVIX_PLATFORM_CCRITICALSECTION2_H

#include <mutex>

class CCriticalSection2 {
 public:
  CCriticalSection2() = default;
  CCriticalSection2(const CCriticalSection2&) = delete;
  CCriticalSection2& operator=(const CCriticalSection2&) = delete;

  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  bool TryEnter() { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

#endif
