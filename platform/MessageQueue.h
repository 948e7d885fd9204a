// A worker thread's message queue: first in, first out, with two pointer-size parameters per
// message. Any thread may Post; the owning thread gets or peeks. Close (when the thread ends)
// makes later posts fail and drops what is queued. It is waitable (signalled while not empty;
// a wait does not remove a message), so a thread can wait for a message or an event together.
#ifndef CAVIX_PLATFORM_MESSAGEQUEUE_H
#define CAVIX_PLATFORM_MESSAGEQUEUE_H

#include <cstdint>
#include <deque>

#include "platform/Waitable.h"

struct QueuedMessage {
  uint32_t message = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

class MessageQueue : public Waitable {
 public:
  MessageQueue() = default;
  // false when the queue is closed.
  bool Post(uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);
  // Removes the oldest message, waiting up to timeoutMs (INFINITE by default). false on time-out
  // or when the queue is (or gets) closed.
  bool Get(QueuedMessage* msg, DWORD timeoutMs = INFINITE);
  // Looks at the oldest message without waiting; remove takes it off the queue. false if empty.
  bool Peek(QueuedMessage* msg, bool remove = false);
  void Close();
  bool IsClosed() const;
  size_t Size() const;

 protected:
  bool TryAcquireLocked(bool consume) override REQUIRES(StateLock());

 private:
  std::deque<QueuedMessage> messages_ GUARDED_BY(StateLock());
  bool closed_ GUARDED_BY(StateLock()) = false;
};

#endif
