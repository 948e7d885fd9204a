// The scanner lock of one session: keeps two clients from driving one scanner at the same time.
//
// Across processes it is a named lock of one unit (NamedLock: an flock that the kernel frees
// when its holder dies), named "Global\" + the device name's last backslash-separated component,
// so every process that opens a device with that last component contends for it. Inside the
// process it is a counted, re-entrant lock held either by the process (PROCESS: any thread may
// nest and unlock) or by one thread (THREAD: only that thread may).
//
// Threads: any thread. guard_ guards ownerProcess_, ownerThread_, lockCount_ and lockType_; the
// wait for the named lock happens outside guard_, so Unlock and the queries go on while a caller
// waits. Owns: the named lock (semaphore_) and a private log that every line of the lock,
// its trace scopes included, goes through. Held across the host's calls (and, as a PROCESS lock,
// given back by any thread), the scanner lock is no capability to the thread-safety analysis;
// guard_ is.
#ifndef CAVIX_DRIVER_CSCANNERLOCK2_H
#define CAVIX_DRIVER_CSCANNERLOCK2_H

#include <cstdint>
#include <memory>
#include <string>

#include "driver/CavixCom.h"
#include "platform/CCriticalSection2.h"

class CLog2;
class NamedLock;

constexpr int32_t kLockTypeNone = -1;
constexpr int32_t kLockTypeProcess = 0;
constexpr int32_t kLockTypeThread = 1;

class CScannerLock2 {
 public:
  // log: the log whose configuration name the private log takes (null: the private log is
  // named after the lock name without its prefix).
  CScannerLock2(CLog2* log, const char* deviceName);
  virtual ~CScannerLock2();

  CScannerLock2(const CScannerLock2&) = delete;
  CScannerLock2& operator=(const CScannerLock2&) = delete;

  // Takes the lock (type kLockTypeProcess or kLockTypeThread), nesting when the caller holds it
  // already; waits at most timeoutMs (INFINITE: for ever) for the named lock.
  bool Lock(int32_t type, DWORD timeoutMs);
  // Gives one level back; the last level releases the named lock.
  bool Unlock();
  bool IsLocked();
  // Held, and for a THREAD lock held by the calling thread.
  bool IsLockedByCaller();

  const std::string& Name() const { return name_; }
  uint32_t LockCount();
  int32_t LockType();

  // "Global\" followed by the text after the last backslash (the whole name without one).
  static std::string SemaphoreName(const char* deviceName);

 private:
  bool UnlockLocked() REQUIRES(guard_);

  std::string name_;
  std::unique_ptr<NamedLock> semaphore_;  // null when it could not be created
  uint32_t ownerProcess_ GUARDED_BY(guard_) = 0;
  uint32_t ownerThread_ GUARDED_BY(guard_) = 0;
  uint32_t lockCount_ GUARDED_BY(guard_) = 0;
  int32_t lockType_ GUARDED_BY(guard_) = kLockTypeNone;
  CCriticalSection2 guard_;
  std::unique_ptr<CLog2> log_;
};

#endif
