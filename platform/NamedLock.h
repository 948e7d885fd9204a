// A named cross-process lock of one unit: an advisory flock on "<lock dir>/<sanitised name>",
// lock dir = $CAVIX_LOCK_DIR else /run/lock/cavix (created with mode 1777; lock files 0666). The
// kernel frees it when the holding process dies. Each object opens the file itself, so two
// objects of one name exclude each other even within one process. Like a semaphore of one unit,
// the lock is not tied to a thread: any thread may Release what another acquired, and an Acquire
// on an object that already holds it waits for that Release. Any thread; the object's own state
// is guarded by mutex_.
#ifndef CAVIX_PLATFORM_NAMEDLOCK_H
#define CAVIX_PLATFORM_NAMEDLOCK_H

#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/Win32Constants.h"

class NamedLock {
 public:
  // Opens (creating when missing) the lock directory and file. Throws std::system_error.
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

  const std::string& Name() const { return name_; }
  const std::string& FilePath() const { return path_; }

  // Letters, digits, '.', '_' and '-' kept; every other byte becomes '_'.
  static std::string SanitizeName(const std::string& name);
  // $CAVIX_LOCK_DIR if set and not empty, else /run/lock/cavix.
  static std::string Directory();

 private:
  std::string name_;
  std::string path_;
  int fd_ = -1;
  mutable std::mutex mutex_;
  std::condition_variable released_;  // signalled on Release
  bool held_ = false;                 // guarded by mutex_
};

#endif
