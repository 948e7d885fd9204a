#include "platform/MessageQueue.h"

#include <chrono>

bool MessageQueue::Post(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  MutexLock lock(StateLock());
  if (closed_) return false;
  messages_.push_back(QueuedMessage{message, wParam, lParam});
  WakeWaitersLocked();
  return true;
}

bool MessageQueue::Get(QueuedMessage* msg, DWORD timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    {
      MutexLock lock(StateLock());
      if (closed_) return false;
      if (!messages_.empty()) {
        if (msg != nullptr) *msg = messages_.front();
        messages_.pop_front();
        return true;
      }
    }
    DWORD waitMs = timeoutMs;
    if (timeoutMs != INFINITE) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      waitMs = static_cast<DWORD>(left);
    }
    // Wakes when a message arrives or the queue closes; the loop takes the message.
    if (!Wait(waitMs)) return false;
  }
}

bool MessageQueue::Peek(QueuedMessage* msg, bool remove) {
  MutexLock lock(StateLock());
  if (messages_.empty()) return false;
  if (msg != nullptr) *msg = messages_.front();
  if (remove) messages_.pop_front();
  return true;
}

void MessageQueue::Close() {
  MutexLock lock(StateLock());
  closed_ = true;
  messages_.clear();
  WakeWaitersLocked();
}

bool MessageQueue::IsClosed() const {
  MutexLock lock(StateLock());
  return closed_;
}

size_t MessageQueue::Size() const {
  MutexLock lock(StateLock());
  return messages_.size();
}

bool MessageQueue::TryAcquireLocked(bool) { return closed_ || !messages_.empty(); }
