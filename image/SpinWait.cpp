#include "image/SpinWait.h"

#include <thread>

bool SpinWait::SpinningHelps() {
  static const bool helps = std::thread::hardware_concurrency() > 1;
  return helps;
}

bool SpinWait::UntilChanged(const std::atomic<uint32_t>& counter, uint32_t seen) {
  return Until([&counter, seen] { return counter.load(std::memory_order_acquire) != seen; }, kSpinMicroseconds);
}
