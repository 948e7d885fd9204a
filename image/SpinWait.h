// A short busy wait of the page stream's reader before it blocks. Rows arrive a few
// microseconds apart while a page is being delivered; a reader that goes to sleep between
// them costs the writer a wake-up (a system call and an interrupt to the other processor) per
// row, which is more than the row's copy. Spinning briefly on a counter the writer raises
// after each signal lets the reader find the next row without sleeping and the writer signal
// it without a wake-up. The spin ends after kSpinMicroseconds, and never happens on a machine
// with one processor, where it would only hold up the writer.
// Any thread; no state of its own.
#ifndef CAVIX_IMAGE_SPINWAIT_H
#define CAVIX_IMAGE_SPINWAIT_H

#include <atomic>
#include <cstdint>

class SpinWait {
 public:
  static constexpr uint32_t kSpinMicroseconds = 50;

  // Spins until `counter` differs from `seen` or the spin time has passed; true when it moved.
  static bool UntilChanged(const std::atomic<uint32_t>& counter, uint32_t seen);
};

#endif
