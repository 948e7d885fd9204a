// Base of the objects a thread can wait on (Event, Semaphore, MessageQueue) and the waits over
// several of them. All waitable state in the process is guarded by one process-wide mutex
// (Waitable::StateLock()); a waiting thread registers a waker on each object it waits on, and a
// signal wakes only the threads registered on that object. Waits re-check the objects in list
// order, so when several are signalled the earliest-listed one wins.
#ifndef CAVIX_PLATFORM_WAITABLE_H
#define CAVIX_PLATFORM_WAITABLE_H

#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/Mutex.h"
#include "platform/Win32Constants.h"

class Waitable {
 public:
  Waitable() = default;
  virtual ~Waitable() = default;
  Waitable(const Waitable&) = delete;
  Waitable& operator=(const Waitable&) = delete;

  // Waits until the object is signalled (consuming it: an auto-reset event resets, a semaphore
  // count drops by one). true = signalled, false = timed out. timeoutMs may be INFINITE.
  bool Wait(DWORD timeoutMs);

  // Something that can be woken by a signal. Implementations live in Waitable.cpp.
  class Waker {
   public:
    virtual void Wake() = 0;  // called with StateLock() held

   protected:
    ~Waker() = default;
  };

 protected:
  // The process-wide lock that guards every waitable object's state.
  static Mutex& StateLock();
  // Called with StateLock() held: whether the object is signalled; when consume is true and it
  // is, takes the signal (reset an auto-reset event, decrement a semaphore).
  virtual bool TryAcquireLocked(bool consume) REQUIRES(StateLock()) = 0;
  // Called with StateLock() held after the object became signalled: wakes the registered waiters.
  void WakeWaitersLocked() REQUIRES(StateLock());

 private:
  friend DWORD WaitForAny(const std::vector<Waitable*>& objects, DWORD timeoutMs);
  friend int WaitForAnyOrFd(const std::vector<Waitable*>& objects, int fd, short pollEvents, DWORD timeoutMs);
  friend class WaitRegistration;
  std::vector<Waker*> wakers_ GUARDED_BY(StateLock());
};

// Waits until one of the objects is signalled and consumes that one. Returns WAIT_OBJECT_0 + the
// index of the earliest-listed signalled object, or WAIT_TIMEOUT. timeoutMs 0 checks once;
// INFINITE waits for ever. Throws std::invalid_argument for an empty list or a null entry.
DWORD WaitForAny(const std::vector<Waitable*>& objects, DWORD timeoutMs);

// As WaitForAny, with a file descriptor polled for pollEvents after the objects: returns the
// index of the signalled object, objects.size() when the descriptor is ready (nothing consumed),
// or -1 on time-out. Throws std::system_error when poll fails.
int WaitForAnyOrFd(const std::vector<Waitable*>& objects, int fd, short pollEvents, DWORD timeoutMs);

#endif
