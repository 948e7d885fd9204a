#include "platform/Event.h"

Event::Event(bool manualReset, bool initialState) : manualReset_(manualReset), signalled_(initialState) {}

void Event::Set() {
  MutexLock lock(StateLock());
  signalled_ = true;
  WakeWaitersLocked();
}

void Event::Reset() {
  MutexLock lock(StateLock());
  signalled_ = false;
}

bool Event::IsSet() const {
  MutexLock lock(StateLock());
  return signalled_;
}

bool Event::TryAcquireLocked(bool consume) {
  if (!signalled_) return false;
  if (consume && !manualReset_) signalled_ = false;
  return true;
}
