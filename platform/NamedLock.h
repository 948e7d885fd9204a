// A named cross-process lock of one unit: an advisory flock on "<lock dir>/<sanitised name>",
// lock dir = $CAVIX_LOCK_DIR else /run/lock/cavix (created with mode 1777; lock files 0666),
// checked before use by SharedDirectory and the file opened relative to it. The kernel frees
// it when the holding process dies. Each object opens the file itself, so two
// objects of one name exclude each other even within one process. Like a semaphore of one unit,
// the lock is not tied to a thread: any thread may Release what another acquired, and an Acquire
// on an object that already holds it waits for that Release. Any thread; the object's own state
// is guarded by mutex_. Not tied to a thread or a scope, the lock itself is no capability to the
// thread-safety analysis; only mutex_ is.
// Fair: waiters are served in the order they came, across threads and processes, so a waiter
// gets the lock within one hold of the current holder whatever the holder does next (a holder
// that releases and at once acquires again queues behind it). In the process, the threads
// waiting on one object queue in queue_ and only the first of them goes further; across
// processes, that thread draws a ticket from a counter kept in the lock file's first bytes and
// marks it with a read lock on one byte of the file (an open-file-description lock, dropped by
// the kernel when its holder dies), and takes the flock only when no earlier ticket is marked.
// A waiter that crashes or gives up leaves no mark behind, so it never holds up the others.
// Waits still poll with a short back-off; fairness does not depend on its timing.
#ifndef CAVIX_PLATFORM_NAMEDLOCK_H
#define CAVIX_PLATFORM_NAMEDLOCK_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "platform/Mutex.h"
#include "platform/Win32Constants.h"

class NamedLock {
 public:
  // Opens (creating when missing) the lock directory and file. Throws std::system_error; for a
  // lock directory that is not to be trusted, EPERM with a text naming it and what is wrong.
  explicit NamedLock(const std::string& name);
  ~NamedLock();  // releases when held
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;

  // Takes the lock: 0 = try once, INFINITE = wait for ever, else poll with a short back-off up
  // to timeoutMs. true when taken; false on time-out. Throws std::system_error when flock fails.
  bool Acquire(DWORD timeoutMs);
  // Gives the lock back. Throws std::system_error (EPERM) when not held.
  void Release();
  bool IsHeld() const;
  // Whether threads are waiting in Acquire on this object.
  bool HasWaiters() const;

  const std::string& Name() const { return name_; }
  const std::string& FilePath() const { return path_; }

  // Letters, digits, '.', '_' and '-' kept; every other byte becomes '_'.
  static std::string SanitizeName(const std::string& name);
  // $CAVIX_LOCK_DIR if set and not empty, else /run/lock/cavix.
  static std::string Directory();

 private:
  // The flock, not waiting: true when taken. Throws when flock fails otherwise.
  bool TryLockFile();
  // Draws the next ticket and marks it: 1; 0 when another waiter is drawing one (tried again
  // later); -1 when the file does not allow it (opened read only, or no record locks): the
  // waiter then polls without a place in the queue.
  int TakeTicket(uint64_t& ticket);
  void DropTicket(uint64_t ticket);
  // Whether a ticket of another waiter, of any process, is marked below `below` (any at all
  // with UINT64_MAX).
  bool TicketMarkedBelow(uint64_t below);

  std::string name_;
  std::string path_;
  int fd_ = -1;
  mutable Mutex mutex_;
  std::condition_variable released_;  // signalled on Release
  bool held_ GUARDED_BY(mutex_) = false;
  std::deque<uint64_t> queue_ GUARDED_BY(mutex_);  // this object's waiting threads, in order
  uint64_t nextWaiter_ GUARDED_BY(mutex_) = 0;
};

#endif
