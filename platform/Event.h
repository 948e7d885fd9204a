// An event: manual-reset (stays signalled until Reset) or auto-reset (a successful wait resets
// it; a Set wakes one waiter). Any thread may Set, Reset and wait. Operations throw
// std::system_error on failure of the underlying primitives.
#ifndef CAVIX_PLATFORM_EVENT_H
#define CAVIX_PLATFORM_EVENT_H

#include "platform/Waitable.h"

class Event : public Waitable {
 public:
  Event(bool manualReset, bool initialState);
  void Set();
  void Reset();
  // Whether signalled now, without consuming anything.
  bool IsSet() const;
  bool IsManualReset() const { return manualReset_; }

 protected:
  bool TryAcquireLocked(bool consume) override REQUIRES(StateLock());

 private:
  const bool manualReset_;
  bool signalled_ GUARDED_BY(StateLock());
};

#endif
