#include "platform/Event.h"

Event::Event(bool manualReset, bool initialState) : manualReset_(manualReset), signalled_(initialState) {}

void Event::Set() {
  std::lock_guard<std::mutex> lock(StateLock());
  signalled_ = true;
  WakeWaitersLocked();
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(StateLock());
  signalled_ = false;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> lock(StateLock());
  return signalled_;
}

bool Event::TryAcquireLocked(bool consume) {
  if (!signalled_) return false;
  if (consume && !manualReset_) signalled_ = false;
  return true;
}
