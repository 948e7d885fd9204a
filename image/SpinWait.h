// Short busy waits of the page stream's reader. Rows arrive a few microseconds apart while a
// page is being delivered; a reader that goes to sleep between them costs the writer a wake-up
// (a system call and an interrupt to the other processor) per row, and a reader that takes
// every row as it comes costs both threads the stream's locks per row, which together come to
// more than the row's copy. The reader therefore spins briefly for what it waits for before
// it sleeps (and the pad-line stream lets rows gather before its reader takes them). A spin
// only changes when the reader looks: every outcome is one a busy reader could meet. Spins
// are bounded in time and never happen on a machine with one processor, where they would
// only hold up the writer.
// Any thread; no state of its own.
#ifndef CAVIX_IMAGE_SPINWAIT_H
#define CAVIX_IMAGE_SPINWAIT_H

#include <atomic>
#include <chrono>
#include <cstdint>

#include <sched.h>

class SpinWait {
 public:
  // How long a reader spins for the next signal before it sleeps.
  static constexpr uint32_t kSpinMicroseconds = 50;

  // Spins until `counter` differs from `seen` or kSpinMicroseconds have passed; true when it
  // moved.
  static bool UntilChanged(const std::atomic<uint32_t>& counter, uint32_t seen);

  // Spins until done() is true or `microseconds` have passed; returns done()'s last answer.
  template <typename Done>
  static bool Until(Done done, uint32_t microseconds) {
    if (done()) return true;
    if (!SpinningHelps()) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
    for (;;) {
      // The clock is read once per round of checks: it costs more than a check.
      for (int i = 0; i < 32; ++i) {
        if (done()) return true;
        CpuRelax();
      }
      if (std::chrono::steady_clock::now() >= deadline) return done();
      // On a busy machine the thread being waited for may be queued on this very processor:
      // let it run.
      sched_yield();
    }
  }

 private:
  static bool SpinningHelps();
  static inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
  }
};

#endif
