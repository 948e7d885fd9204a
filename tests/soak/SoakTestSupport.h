// Helpers of the soak test: seeded randomness, the host's view of one feeder page (with host
// cancels at random points), the time bound of every driver call, the bytes the host must see
// for a page the simulated scanner sent, and counts of the process's threads, descriptors,
// shared mappings and files in a directory.
#ifndef CAVIX_TESTS_SOAK_SOAKTESTSUPPORT_H
#define CAVIX_TESTS_SOAK_SOAKTESTSUPPORT_H

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "driver/CavixScanner.h"
#include "platform/Mutex.h"
#include "platform/TimeLimits.h"
#include "sim/DeviceSimulator.h"
#include "tests/support/ExpectedHostBytes.h"

namespace soak {

class Random {
 public:
  explicit Random(uint64_t seed) : gen_(seed) {}
  int Between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen_); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(gen_) < p; }

 private:
  std::mt19937_64 gen_;
};

// Shortened limits for the soak: long enough that a slow machine never reaches them in a good
// exchange, short enough that a call that waits for one ends within the test's run time.
inline void ShortenTimeLimits() {
  TimeLimits& t = TimeLimits::Instance();
  t.doneEventMs = 15000;
  t.idleMs = 10000;
  t.threadStopMs = 10000;
  t.threadStartMs = 10000;
  t.cancelParkMs = 10000;
  t.streamReadMs = 15000;
  t.streamWriteMs = 15000;
  t.cancelRetryMs = 20;
  t.scannerIdlePollMs = 30;
}

// Time allowed beyond a call's documented waits for its own work on a loaded machine.
constexpr uint32_t kSlackMs = 5000;

// The longest a call may take: the sum of the waits it is documented to make (with the
// shortened limits), plus slack.
enum class Call { Lock, AdfReady, StartScan, ReadScanEx, StopScan, Eject, Parameters, Open, Close };
inline const char* CallName(Call c) {
  static const char* const names[] = {"LockScanner", "ADFIsReady", "StartScan", "ReadScanEx", "StopScan",
                                      "ADFEjectMedia", "SetScannerParameters", "OpenScannerSession",
                                      "CloseScannerSession"};
  return names[static_cast<int>(c)];
}
inline uint32_t BoundMs(Call c, uint32_t lockTimeoutMs = 0) {
  const TimeLimits& t = TimeLimits::Instance();
  switch (c) {
    case Call::Lock: return lockTimeoutMs + kSlackMs;
    case Call::AdfReady: return t.idleMs + t.doneEventMs + kSlackMs;         // idle wait, then query
    case Call::StartScan: return 2 * t.idleMs + t.doneEventMs + kSlackMs;    // cancel idle, scan idle, done
    case Call::ReadScanEx: return t.streamReadMs + t.idleMs + kSlackMs;      // stream wait, end-of-page idle
    case Call::StopScan: return t.idleMs + kSlackMs;                         // posts only
    case Call::Eject: return t.idleMs + t.doneEventMs + kSlackMs;            // pending cancels, status query
    case Call::Parameters: return t.idleMs + kSlackMs;
    case Call::Open: return 2 * t.threadStartMs + kSlackMs;
    case Call::Close: return 2 * t.threadStopMs + t.idleMs + kSlackMs;
  }
  return 0;
}

// Records calls that outlasted their bound. Any thread.
class CallClock {
 public:
  template <typename F>
  HRESULT Time(Call c, F&& f, uint32_t lockTimeoutMs = 0) {
    const auto start = std::chrono::steady_clock::now();
    const HRESULT hr = f();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    MutexLock guard(lock_);
    ++calls_;
    if (ms > longest_) {
      longest_ = ms;
      longestCall_ = CallName(c);
    }
    if (ms > BoundMs(c, lockTimeoutMs))
      late_.push_back(std::string(CallName(c)) + " took " + std::to_string(ms) + " ms, bound " +
                      std::to_string(BoundMs(c, lockTimeoutMs)) + " ms");
    return hr;
  }
  std::vector<std::string> Late() const {
    MutexLock guard(lock_);
    return late_;
  }
  long Calls() const {
    MutexLock guard(lock_);
    return calls_;
  }
  std::string Longest() const {
    MutexLock guard(lock_);
    return longestCall_ + " " + std::to_string(longest_) + " ms";
  }

 private:
  mutable Mutex lock_;
  std::vector<std::string> late_ GUARDED_BY(lock_);
  long calls_ GUARDED_BY(lock_) = 0;
  long longest_ GUARDED_BY(lock_) = 0;
  std::string longestCall_ GUARDED_BY(lock_);
};

// How a host page attempt ended.
enum class Outcome { Whole, Error, HostCancel };
struct PageResult {
  Outcome outcome = Outcome::Error;
  DWORD code = 0;          // the failing call's error code
  HRESULT hr = S_OK;       // the failing call's result
  std::string where;       // the failing call
  std::vector<uint8_t> bytes;
  HRESULT stopResult = S_OK;
};

// Where the host cancels a page: not at all, right after StartScan, or after some bytes.
enum class CancelAt { Never, BeforeRead, MidPage };

// One feeder page as a host scans it: StartScan, reads of random sizes until the end of the
// page, a failure or the chosen cancel point (StopScan before the end of the page), StopScan.
// Now and then the host comes to its first read late, mostly after the page has arrived and
// been counted whole: the page then reaches the host by the stream's other road, as it does on
// a loaded machine.
inline PageResult ScanPage(IScanner* scanner, DWORD session, uint64_t pageBytes, CancelAt cancel, Random& rnd,
                           CallClock& clock) {
  PageResult r;
  DWORD code = 0;
  HRESULT hr = clock.Time(Call::StartScan, [&] { return scanner->StartScan(session, &code); });
  if (hr != S_OK) {
    r.outcome = Outcome::Error;
    r.code = code;
    r.hr = hr;
    r.where = "StartScan";
    r.stopResult = clock.Time(Call::StopScan, [&] { return scanner->StopScan(session, &code); });
    return r;
  }
  if (cancel != CancelAt::BeforeRead && rnd.Chance(0.25))
    std::this_thread::sleep_for(std::chrono::milliseconds(rnd.Between(5, 40)));
  uint64_t cancelAfter = UINT64_MAX;
  if (cancel == CancelAt::BeforeRead) cancelAfter = 0;
  if (cancel == CancelAt::MidPage && pageBytes > 1) cancelAfter = 1 + uint64_t(rnd.Between(0, int(pageBytes - 2)));
  std::vector<BYTE> buffer(65536);
  bool done = cancelAfter == 0;
  r.outcome = done ? Outcome::HostCancel : Outcome::Error;
  for (int reads = 0; !done && reads < 100000; ++reads) {
    const DWORD ask = static_cast<DWORD>(rnd.Between(512, 65536));
    DWORD got = 0;
    code = 0xDEAD;
    hr = clock.Time(Call::ReadScanEx, [&] { return scanner->ReadScanEx(session, buffer.data(), ask, &got, &code); });
    if (hr != S_OK) {
      r.outcome = Outcome::Error;
      r.code = code;
      r.hr = hr;
      r.where = "ReadScanEx";
      break;
    }
    r.bytes.insert(r.bytes.end(), buffer.begin(), buffer.begin() + got);
    if (code == CERR_SCANNER_END_OF_PAGE) {
      r.outcome = Outcome::Whole;
      break;
    }
    if (r.bytes.size() >= cancelAfter) {
      r.outcome = Outcome::HostCancel;
      break;
    }
    if (r.bytes.size() > pageBytes) {
      r.outcome = Outcome::Error;
      r.where = "ReadScanEx delivered more than the page";
      break;
    }
  }
  r.stopResult = clock.Time(Call::StopScan, [&] { return scanner->StopScan(session, &code); });
  return r;
}

using testsupport::ExpectedHostBytes;

// Hashes of what the host must see for every page the simulator sent whole.
inline std::multiset<uint64_t> WholePageHashes(const std::vector<cavixsim::SentPage>& sent) {
  std::multiset<uint64_t> hashes;
  for (const cavixsim::SentPage& p : sent)
    if (p.complete) hashes.insert(cavixsim::DeviceSimulator::Hash(ExpectedHostBytes(p)));
  return hashes;
}

// Process resources.
int CountEntries(const std::string& dir);  // entries of a directory, without . and ..
int ThreadCount();
int DescriptorCount();
int SharedMappingCount();  // shared anonymous mappings (page streams)

}  // namespace soak

#endif
