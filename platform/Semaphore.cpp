#include "platform/Semaphore.h"

#include <errno.h>

#include <system_error>

Semaphore::Semaphore(LONG initialCount, LONG maximumCount) : maximum_(maximumCount), count_(initialCount) {
  if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
    throw std::system_error(EINVAL, std::generic_category(), "Semaphore: bad initial or maximum count");
  }
}

LONG Semaphore::Release(LONG count) {
  MutexLock lock(StateLock());
  if (count <= 0) throw std::system_error(EINVAL, std::generic_category(), "Semaphore::Release: bad count");
  if (count > maximum_ - count_) {
    throw std::system_error(EOVERFLOW, std::generic_category(), "Semaphore::Release: above the maximum count");
  }
  LONG previous = count_;
  count_ += count;
  WakeWaitersLocked();
  return previous;
}

void Semaphore::Reset() {
  while (Wait(0)) {
  }
}

LONG Semaphore::Count() const {
  MutexLock lock(StateLock());
  return count_;
}

bool Semaphore::TryAcquireLocked(bool consume) {
  if (count_ == 0) return false;
  if (consume) --count_;
  return true;
}
