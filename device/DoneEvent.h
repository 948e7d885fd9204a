// The answer a host-side operation waits for after posting a message synchronously, as the
// worker's handler receives it: an event and the handler's result code beside it. The poster
// and the handler share the answer, so a handler that signals after the poster has given up
// (time-out) signals a live object, not a closed one, and the result reaches the poster that
// asked for it without passing through a slot that other calls also write.
// Threads: made by the posting thread, signalled by the worker; an empty DoneEvent stands for a
// message posted without one. Each answer serves one message; its event is manual-reset so that
// the worker can tell whether it was signalled after the poster's wait consumed nothing. The
// result is written before the event is set and read after the wait saw it set.
#ifndef CAVIX_DEVICE_DONEEVENT_H
#define CAVIX_DEVICE_DONEEVENT_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/Event.h"

class DoneEvent {
 public:
  struct Answer {
    Event event{true, false};
    std::atomic<uint32_t> result{0};  // CAVIX_ERRORS code of the handler; 0: succeeded
  };

  DoneEvent() = default;
  explicit DoneEvent(std::shared_ptr<Answer> answer) : answer_(std::move(answer)) {}
  // A fresh answer nobody waits on yet.
  static DoneEvent Make() { return DoneEvent(std::make_shared<Answer>()); }

  // Whether the message came with a done event.
  explicit operator bool() const { return answer_ != nullptr; }

  // Whether the handler has signalled it already (the event is manual-reset: it stays set).
  bool Signalled() const { return answer_ && answer_->event.IsSet(); }

  // The result the handler signalled with (0 before it signalled).
  uint32_t Result() const { return answer_ ? answer_->result.load() : 0; }

  // Stores the handler's result and wakes the waiting poster; false when there is no event or
  // signalling failed.
  bool Signal(uint32_t result = 0) {
    if (!answer_) return false;
    answer_->result.store(result);
    try {
      answer_->event.Set();
      return true;
    } catch (...) {
      return false;
    }
  }

 private:
  std::shared_ptr<Answer> answer_;
};

#endif
