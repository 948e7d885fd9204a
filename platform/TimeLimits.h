// Time limits of the module's waits, in milliseconds, kept in one place. The members hold the
// shipped values; tests shorten them so that no test waits a real minute. Any thread may read
// or change them (atomics); a wait reads its limit when it starts.
#ifndef CAVIX_PLATFORM_TIMELIMITS_H
#define CAVIX_PLATFORM_TIMELIMITS_H

#include <atomic>
#include <cstdint>

struct TimeLimits {
  std::atomic<uint32_t> doneEventMs{90000};       // a synchronous message's done event
  std::atomic<uint32_t> idleMs{60000};            // the idle handshake with a worker thread
  std::atomic<uint32_t> threadStopMs{60000};      // a worker thread's orderly stop
  std::atomic<uint32_t> threadStartMs{60000};     // a worker thread's started signal
  std::atomic<uint32_t> cancelParkMs{60000};      // the parked cancel thread's wait for its unlock
  std::atomic<uint32_t> streamReadMs{90000};      // the reader's wait for published bytes
  std::atomic<uint32_t> streamWriteMs{60000};     // the writer's wait on the stream
  std::atomic<uint32_t> usbFlushMs{15000};        // the USB pipe flush
  std::atomic<uint32_t> usbSecondMs{1000};        // one second of the USB device and wait time-outs
  std::atomic<uint32_t> cancelRetryMs{1000};      // pause between CancelJob attempts
  std::atomic<uint32_t> scannerIdlePollMs{1000};  // pause between scanner-idle polls

  static TimeLimits& Instance() {
    static TimeLimits limits;
    return limits;
  }
  // Restores every shipped value.
  void Reset() { *this = TimeLimits(); }
  TimeLimits& operator=(const TimeLimits& o) {
    doneEventMs = o.doneEventMs.load();
    idleMs = o.idleMs.load();
    threadStopMs = o.threadStopMs.load();
    threadStartMs = o.threadStartMs.load();
    cancelParkMs = o.cancelParkMs.load();
    streamReadMs = o.streamReadMs.load();
    streamWriteMs = o.streamWriteMs.load();
    usbFlushMs = o.usbFlushMs.load();
    usbSecondMs = o.usbSecondMs.load();
    cancelRetryMs = o.cancelRetryMs.load();
    scannerIdlePollMs = o.scannerIdlePollMs.load();
    return *this;
  }
  TimeLimits() = default;
  TimeLimits(const TimeLimits&) = delete;
};

#endif
