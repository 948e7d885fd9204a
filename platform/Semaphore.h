// A counting semaphore (maximum 2147483647 by default). A wait takes one unit; Release adds
// units. Release beyond the maximum, or a negative or out-of-range initial count, throws
// std::system_error (EINVAL / EOVERFLOW) and changes nothing. Any thread.
#ifndef CAVIX_PLATFORM_SEMAPHORE_H
#define CAVIX_PLATFORM_SEMAPHORE_H

#include "platform/Waitable.h"

class Semaphore : public Waitable {
 public:
  static constexpr LONG kMaximum = 2147483647;
  explicit Semaphore(LONG initialCount = 0, LONG maximumCount = kMaximum);
  // Adds count units (count >= 1); returns the previous count.
  LONG Release(LONG count = 1);
  // Takes every available unit: waits with a zero time-out until a wait fails.
  void Reset();
  LONG Count() const;

 protected:
  bool TryAcquireLocked(bool consume) override REQUIRES(StateLock());

 private:
  const LONG maximum_;
  LONG count_ GUARDED_BY(StateLock());
};

#endif
