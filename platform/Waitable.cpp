#include "platform/Waitable.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <stdexcept>
#include <system_error>

namespace {

using Clock = std::chrono::steady_clock;

// Wakes a thread blocked on its own condition variable.
class CondWaker : public Waitable::Waker {
 public:
  void Wake() override { cv.notify_one(); }
  std::condition_variable cv;
};

// Wakes a thread blocked in poll through an eventfd.
class FdWaker : public Waitable::Waker {
 public:
  explicit FdWaker(int fd) : fd_(fd) {}
  void Wake() override {
    uint64_t one = 1;
    // A full counter (never in practice) still leaves the fd readable; nothing to do on failure.
    ssize_t n = write(fd_, &one, sizeof one);
    (void)n;
  }

 private:
  int fd_;
};

void CheckList(const std::vector<Waitable*>& objects) {
  if (objects.empty()) throw std::invalid_argument("WaitForAny: no objects");
  for (Waitable* w : objects) {
    if (w == nullptr) throw std::invalid_argument("WaitForAny: null object");
  }
}

}  // namespace

// Adds a waker to each object for the time of one wait, and takes it off again. Both with
// Waitable::StateLock() held.
class WaitRegistration {
 public:
  static void Add(const std::vector<Waitable*>& objects, Waitable::Waker* waker) REQUIRES(Waitable::StateLock()) {
    for (Waitable* w : objects) w->wakers_.push_back(waker);
  }
  static void Remove(const std::vector<Waitable*>& objects, Waitable::Waker* waker)
      REQUIRES(Waitable::StateLock()) {
    for (Waitable* w : objects) {
      auto& list = w->wakers_;
      list.erase(std::remove(list.begin(), list.end(), waker), list.end());
    }
  }
};

Mutex& Waitable::StateLock() {
  // Never destroyed: objects may be signalled from static destructors.
  static Mutex* lock = new Mutex;
  return *lock;
}

void Waitable::WakeWaitersLocked() {
  for (Waker* w : wakers_) w->Wake();
}

bool Waitable::Wait(DWORD timeoutMs) { return WaitForAny({this}, timeoutMs) == WAIT_OBJECT_0; }

namespace {

// With the lock held: index of the first signalled object (consumed), or -1.
int AcquireFirst(const std::vector<Waitable*>& objects, bool (*tryAcquire)(Waitable*)) {
  for (size_t i = 0; i < objects.size(); ++i) {
    if (tryAcquire(objects[i])) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

DWORD WaitForAny(const std::vector<Waitable*>& objects, DWORD timeoutMs) {
  CheckList(objects);
  auto tryAcquire = [](Waitable* w) REQUIRES(Waitable::StateLock()) { return w->TryAcquireLocked(true); };
  MutexUniqueLock lock(Waitable::StateLock());
  int index = AcquireFirst(objects, tryAcquire);
  if (index >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(index);
  if (timeoutMs == 0) return WAIT_TIMEOUT;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  CondWaker waker;
  WaitRegistration::Add(objects, &waker);
  while (true) {
    bool timedOut = false;
    if (timeoutMs == INFINITE) {
      waker.cv.wait(lock.Native());
    } else {
      timedOut = waker.cv.wait_until(lock.Native(), deadline) == std::cv_status::timeout;
    }
    index = AcquireFirst(objects, tryAcquire);
    if (index >= 0 || timedOut) {
      WaitRegistration::Remove(objects, &waker);
      return index >= 0 ? WAIT_OBJECT_0 + static_cast<DWORD>(index) : WAIT_TIMEOUT;
    }
  }
}

int WaitForAnyOrFd(const std::vector<Waitable*>& objects, int fd, short pollEvents, DWORD timeoutMs) {
  for (Waitable* w : objects) {
    if (w == nullptr) throw std::invalid_argument("WaitForAnyOrFd: null object");
  }
  auto tryAcquire = [](Waitable* w) REQUIRES(Waitable::StateLock()) { return w->TryAcquireLocked(true); };
  {
    MutexLock lock(Waitable::StateLock());
    int index = AcquireFirst(objects, tryAcquire);
    if (index >= 0) return index;
  }
  int efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (efd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  FdWaker waker(efd);
  MutexUniqueLock lock(Waitable::StateLock());
  // A signal that came after the first look found no waker to wake: it is taken here, under
  // the same lock hold as the registration, or the poll below would wait for a wake that
  // already went by.
  int first = AcquireFirst(objects, tryAcquire);
  if (first >= 0) {
    lock.Unlock();
    close(efd);
    return first;
  }
  WaitRegistration::Add(objects, &waker);
  lock.Unlock();

  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int result = -1;
  int error = 0;
  while (true) {
    int waitMs = -1;
    if (timeoutMs != INFINITE) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      waitMs = left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
    }
    struct pollfd fds[2] = {{fd, pollEvents, 0}, {efd, POLLIN, 0}};
    int n = poll(fds, 2, waitMs);
    if (n < 0 && errno != EINTR) {
      error = errno;
      break;
    }
    lock.Lock();
    int index = AcquireFirst(objects, tryAcquire);
    lock.Unlock();
    if (index >= 0) {
      result = index;
      break;
    }
    if (n > 0 && (fds[0].revents & (pollEvents | POLLERR | POLLHUP | POLLNVAL)) != 0) {
      result = static_cast<int>(objects.size());
      break;
    }
    if (n > 0 && (fds[1].revents & POLLIN) != 0) {
      uint64_t count;
      ssize_t r = read(efd, &count, sizeof count);
      (void)r;
    }
    if (n == 0 && waitMs == 0) break;  // timed out
  }
  lock.Lock();
  WaitRegistration::Remove(objects, &waker);
  lock.Unlock();
  close(efd);
  if (error != 0) throw std::system_error(error, std::generic_category(), "poll");
  return result;
}
