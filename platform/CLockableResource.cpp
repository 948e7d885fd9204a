#include "platform/CLockableResource.h"

#include <exception>

CLockableResource::CLockableResource(const std::string& name) : name_(name) {}

CLockableResource::~CLockableResource() = default;  // NamedLock releases a held lock

bool CLockableResource::Lock(DWORD timeoutMs) {
  NamedLock* named;
  {
    MutexLock lock(mutex_);
    if (!lock_) {
      try {
        lock_ = std::make_unique<NamedLock>(name_);
      } catch (const std::exception&) {
        return false;
      }
    }
    named = lock_.get();  // lives until destruction
  }
  // Waited for without mutex_, so that Unlock from another thread is not blocked.
  try {
    return named->Acquire(timeoutMs);
  } catch (const std::exception&) {
    return false;
  }
}

void CLockableResource::Unlock() {
  NamedLock* named;
  {
    MutexLock lock(mutex_);
    named = lock_.get();
  }
  if (named == nullptr) return;
  try {
    if (named->IsHeld()) named->Release();
  } catch (const std::exception&) {
    // Released by another thread in between: nothing left to do.
  }
}

bool CLockableResource::IsLocked() const {
  MutexLock lock(mutex_);
  return lock_ && lock_->IsHeld();
}
