// The event a host-side operation waits on after posting a message synchronously, as the
// worker's handler receives it. The poster and the handler share the event, so a handler that
// signals after the poster has given up (time-out) signals a live object, not a closed one.
// Threads: made by the posting thread, signalled by the worker; an empty DoneEvent stands for a
// message posted without one. Each event serves one message; it is manual-reset so that the
// worker can tell whether it was signalled after the poster's wait consumed nothing.
#ifndef CAVIX_DEVICE_DONEEVENT_H
#define CAVIX_DEVICE_DONEEVENT_H

#include <memory>

#include "platform/Event.h"

class DoneEvent {
 public:
  DoneEvent() = default;
  explicit DoneEvent(std::shared_ptr<Event> event) : event_(std::move(event)) {}

  // Whether the message came with a done event.
  explicit operator bool() const { return event_ != nullptr; }

  // Whether the handler has signalled it already (the event is manual-reset: it stays set).
  bool Signalled() const { return event_ && event_->IsSet(); }

  // Wakes the waiting poster; false when there is no event or signalling failed.
  bool Signal() {
    if (!event_) return false;
    try {
      event_->Set();
      return true;
    } catch (...) {
      return false;
    }
  }

 private:
  std::shared_ptr<Event> event_;
};

#endif
