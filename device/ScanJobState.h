// The scan device's job as one state machine: where the job on the device stands (its phase)
// and whether the session is still open, changed only by Apply, which logs each change by name
// at trace level ("Scan job: PageInFlight->PageEnded (PageDelivered)").
//
//                    JobCreated             PageStarted            PageDelivered
//   +------+  ---------------------->  +----------+  ------->  +--------------+  ------->  +-----------+
//   | Idle |                           | JobSetUp |            | PageInFlight |            | PageEnded |
//   +------+  <-- SetUpAbandoned ----  +----------+            +--------------+  <-------  +-----------+
//      ^  ^                                                          |          PageStarted    |
//      |  |      PageFailed, PlatenJobDone, DeviceCancelled,         |     (next page of the   |
//      |  +----- FeederJobEnded, Reset: from every phase but Idle ---+       feeder job)       | FeederEmpty
//      |                                                                                       v
//      |                          FeederJobEnded (or PageFailed)                      +-----------------+
//      +----------------------------------------------------------------------------- | FeederJobEnding |
//                                                                                     +-----------------+
//   Session (beside the phase; a closed session keeps its phase, which the cancels still
//   posted need):
//     Open ----Close----> Closed
//      |                    |
//    Cleanup             Cleanup       (Cleanup: the device stops its workers; an exchange
//      v                    v           aborted then stays aborted)
//   Stopping --Close--> ClosedAndStopping
//   Stopping comes from a failed Init or a device released without Close: its calls keep
//   their own codes, as the session was never closed.
//
// The phases after JobCreated up to the return to Idle are the "job active" of the device: a
// job exists on the device that the driver has neither finished nor cancelled. An event that
// does not apply in the current state leaves it as it is (a page delivered after the host's
// cancel ended the job keeps the job ended). There is no state for a cancel in progress: a
// cancel's software half cancels the page in the data source, and its device half ends the job
// (DeviceCancelled) once CancelJob has been answered.
//
// Beside the state, the fields the host and the scan thread hand each other about the page:
// why a Read finds no page to come, the scan thread's judgement of the page's failure, a feeder
// job's closing failure kept for the next call, and whether the close took a posted cancel's
// software half.
//
// Threads: Apply and the readers from any thread (host threads, the scan thread, the cancel
// thread). Owns nothing. The state is one atomic word changed by compare-and-swap, and each
// field is an atomic of its own, so no lock is taken and none may be held around these calls.
#ifndef CAVIX_DEVICE_SCANJOBSTATE_H
#define CAVIX_DEVICE_SCANJOBSTATE_H

#include <atomic>
#include <cstdint>

#include "driver/CavixErrors.h"

class ScanJobState {
 public:
  enum class Phase : uint8_t { Idle, JobSetUp, PageInFlight, PageEnded, FeederJobEnding };
  enum class Session : uint8_t { Open, Closed, Stopping, ClosedAndStopping };
  enum class Event : uint8_t {
    JobCreated,       // CreateScanJob answered with a job
    SetUpAbandoned,   // the job was created but its host could not be told
    PageStarted,      // the page's RetrieveImage begins
    PageDelivered,    // the page arrived whole with its pad lines
    PageFailed,       // the page failed or was cancelled on the host
    PlatenJobDone,    // a platen job yields one page
    FeederEmpty,      // the feeder reported empty after a page: the job's closing exchange
    FeederJobEnded,   // the closing exchange of a feeder job is over
    DeviceCancelled,  // CancelJob was sent for the job (answered or not)
    Reset,            // the host's reset forgets the job
    Close,            // the session's close
    Cleanup,          // the device stops its workers
  };
  struct State {
    Phase phase;
    Session session;
    bool operator==(const State& other) const { return phase == other.phase && session == other.session; }
  };

  // The state after `event` in `from` (pure; the table of transitions).
  static State Next(State from, Event event);
  static const char* NameOf(Phase phase);
  static const char* NameOf(Session session);
  static const char* NameOf(Event event);

  // Makes the transition of `event` and logs it when the state changes; returns the state before.
  State Apply(Event event);
  State Current() const { return Unpack(word_.load()); }
  // A job exists on the device that the driver has neither finished nor cancelled.
  bool JobActive() const { return Current().phase != Phase::Idle; }
  // Close came: every host call ends with CERR_INVALID_SESSION and no exchange starts.
  bool Closed() const { return IsClosed(Current().session); }
  // Cleanup began: the workers are being stopped.
  bool Stopping() const { return IsStopping(Current().session); }
  static bool IsClosed(Session s) { return s == Session::Closed || s == Session::ClosedAndStopping; }
  static bool IsStopping(Session s) { return s == Session::Stopping || s == Session::ClosedAndStopping; }

  // Why a Read finds no page to come: CERR_INVALID_PARAMETER before any BeginScan (and after a
  // reset), a refused BeginScan's code, CERR_CANCEL_PRESSED after EndScan, CERR_INVALID_SESSION
  // after Close; 0 while a page is to come (host threads).
  std::atomic<uint32_t> noPageReason{CERR_INVALID_PARAMETER};
  // The scan thread's judgement of the current page's failure (0: none yet); a Read that finds
  // the page cancelled by the data source's own failure waits for it.
  std::atomic<uint32_t> pageFailure{0};
  // A failure of a feeder job's closing exchange after a whole page (scan thread), reported by
  // the next BeginScan or EndScan.
  std::atomic<uint32_t> deferredFailure{0};
  // The close cancelled the page's software half while a posted cancel had not run yet: that
  // cancel still sends the device half.
  std::atomic<bool> closeTookCancel{false};

 private:
  static uint32_t Pack(State state) {
    return static_cast<uint32_t>(state.phase) | static_cast<uint32_t>(state.session) << 8;
  }
  static State Unpack(uint32_t word) {
    return {static_cast<Phase>(word & 0xFF), static_cast<Session>(word >> 8 & 0xFF)};
  }

  std::atomic<uint32_t> word_{0};  // Pack({Idle, Open})
};

#endif
