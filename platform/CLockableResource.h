// Guards a resource shared between processes (the log file) with a named cross-process lock of
// one unit. Never throws: when the lock cannot be made or taken, Lock returns false and the
// caller goes on without it. Lock and Unlock are made by the same thread, around one use of
// the resource; the object's state is guarded by mutex_. Since the caller may go on without
// it, the named lock is no capability to the thread-safety analysis; only mutex_ is.
#ifndef CAVIX_PLATFORM_CLOCKABLERESOURCE_H
#define CAVIX_PLATFORM_CLOCKABLERESOURCE_H

#include <memory>
#include <mutex>
#include <string>

#include "platform/Mutex.h"
#include "platform/NamedLock.h"

class CLockableResource {
 public:
  // name: the lock's name (sanitised into a lock file name by NamedLock).
  explicit CLockableResource(const std::string& name);
  ~CLockableResource();
  CLockableResource(const CLockableResource&) = delete;
  CLockableResource& operator=(const CLockableResource&) = delete;

  // true when the lock was taken within timeoutMs.
  bool Lock(DWORD timeoutMs = INFINITE);
  // Releases it if this object holds it.
  void Unlock();
  bool IsLocked() const;
  const std::string& Name() const { return name_; }

 private:
  std::string name_;
  mutable Mutex mutex_;
  std::unique_ptr<NamedLock> lock_ GUARDED_BY(mutex_);  // made on first Lock
};

#endif
