#include "image/SpinWait.h"

#include <chrono>
#include <thread>

namespace {

bool SpinningHelps() {
  static const bool helps = std::thread::hardware_concurrency() > 1;
  return helps;
}

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

}  // namespace

bool SpinWait::UntilChanged(const std::atomic<uint32_t>& counter, uint32_t seen) {
  if (counter.load(std::memory_order_acquire) != seen) return true;
  if (!SpinningHelps()) return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(kSpinMicroseconds);
  for (;;) {
    // The clock is read once per round of checks: it costs more than a check.
    for (int i = 0; i < 64; ++i) {
      if (counter.load(std::memory_order_acquire) != seen) return true;
      CpuRelax();
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}
