// The simulated scanner's state: platen and feeder, the jobs with their ids, tokens, states and
// reasons, the pad lines of the last page, the scanner's state and reason, and the scenarios
// that make it refuse, jam or misbehave. Each service operation is one call here and returns
// either its answer or the fault to send. The model also keeps the record of requests and of
// pages sent.
//
// Threads: any; every public operation takes `lock_`, which guards all members except
// `start_` (set once in the constructor). Connections call it concurrently (a CancelJob may
// arrive while a RetrieveImage is streaming).
#ifndef CAVIX_SIM_SCANNERMODEL_H
#define CAVIX_SIM_SCANNERMODEL_H

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Mutex.h"
#include "sim/PageImage.h"
#include "sim/SimConfig.h"
#include "sim/SimTypes.h"

namespace cavixsim {

template <typename T>
struct Answer {
  bool ok = true;
  Fault fault;  // when !ok
  T value{};
};

struct CreatedJob {
  uint32_t jobId = 0;
  std::string token;
  PageGeometry geometry;
  Ticket ticket;
};

// What RetrieveImage is to send: the page to render and how.
struct PagePlan {
  uint32_t jobId = 0;
  Ticket ticket;
  int sheet = 0;       // sheet within the job
  int printedSheet = 0;  // page number printed on the chart; 0: the sheet's own
  int side = 0;        // 0 front, 1 back
  int imageInJob = 0;  // 1-based
  uint32_t padLines = 0;
  bool padDark = false;
  int jpegQuality = 85;
  bool breakOff = false;  // close the connection halfway through
  bool cached = false;    // may be served from, and kept in, the page cache
  size_t pageIndex = 0;   // index of this page in SentPages()
  uint64_t generation = 0;  // the model's reset count when the page was planned
};

// The static part of GetScannerElements: what the configuration reports.
struct ScannerDescription {
  std::string model;
  int feederCapacity = 0;
  ScannerStatus status;
};

class ScannerModel {
 public:
  explicit ScannerModel(const SimConfig& config);

  // Replaces the configuration and forgets jobs, faults, records and pages (a fresh device).
  void Reset(const SimConfig& config);
  SimConfig Config() const;

  Answer<CreatedJob> CreateScanJob(const char* scanIdentifier, const Ticket& ticket);
  Answer<PagePlan> RetrieveImage(uint32_t jobId, const char* token);
  // The sending side reports how the page went: bytes sent, their hash, whether all of it
  // went out, and the bytes themselves when they are kept.
  void PageTransferEnded(const PagePlan& plan, uint64_t bytes, uint64_t fnv1a, bool complete,
                         std::vector<uint8_t>&& data);
  // Whether the page's job was cancelled, or the device reset since (its transfer stops).
  bool JobCanceled(const PagePlan& plan) const;
  Answer<uint32_t> CancelJob(uint32_t jobId);
  Answer<JobSummary> GetJobInfo(uint32_t jobId);
  Answer<ScannerDescription> GetScannerElements();
  Answer<int> GetPreviousImagePadInfo();
  // A request of an unknown operation or one that could not be read.
  Fault BadRequest(const std::string& reason);
  // Whether the device keeps silent on `op`; records the request when it does.
  bool Silent(Operation op, uint32_t jobId);
  // The hostile answer to give to this request of `op` (None: answer properly); counts it.
  Misbehaviour Misbehave(Operation op);
  // Records a request answered without the model (a hostile answer of the connection's own).
  void NoteUnmodelled(Operation op, uint32_t jobId);

  // Control from tests and tools.
  void LoadAdf(int sheets);
  int AdfSheets() const;
  // Clears a jam or an open cover that a scenario left the scanner in.
  void ClearScannerFault();
  std::vector<RequestRecord> Requests() const;
  void ClearRequests();
  std::vector<SentPage> SentPages() const;
  bool KeepPageBytes() const;
  // Image files that replace the chart, cycled by sheet and side; empty: the chart.
  void SetPageFiles(std::vector<std::shared_ptr<const PnmImage>> files);
  std::shared_ptr<const PnmImage> PageFile(const PagePlan& plan) const;

 private:
  struct Job {
    uint32_t id = 0;
    std::string token;
    Ticket ticket;
    int state = kJobCreating;
    int reason = kReasonNone;
    int scansCompleted = 0;
    int sheets = 0;         // sheets fed so far
    int images = 0;         // images handed out so far
    bool backPending = false;
    bool finished = false;  // no further image will come
    bool canceled = false;
    bool transferring = false;
  };

  RequestRecord& Record(Operation op, uint32_t jobId) REQUIRES(lock_);
  bool TakeInjectedFault(Operation op, Fault& out) REQUIRES(lock_);
  bool NotAcceptingJobs(bool refusing) REQUIRES(lock_);
  ScannerStatus CurrentStatus() REQUIRES(lock_);
  Job* FindJob(uint32_t id) REQUIRES(lock_);
  const Job* FindJob(uint32_t id) const REQUIRES(lock_);
  void Finish(Job& job, int state, int reason) REQUIRES(lock_);
  template <typename T>
  Answer<T> Refuse(RequestRecord& rec, const std::string& code, const std::string& subcode,
                   const std::string& reason) REQUIRES(lock_);

  const std::chrono::steady_clock::time_point start_;
  mutable Mutex lock_;
  SimConfig config_ GUARDED_BY(lock_);
  uint64_t generation_ GUARDED_BY(lock_) = 0;  // counts resets
  int adfSheets_ GUARDED_BY(lock_) = 0;
  int cancelNotFoundLeft_ GUARDED_BY(lock_) = 0;
  int stickyReason_ GUARDED_BY(lock_) = kScannerNone;  // jam or cover left by a scenario
  int transientReason_ GUARDED_BY(lock_) = kScannerNone;  // reported until the next job
  bool refusedOnce_ GUARDED_BY(lock_) = false;
  std::chrono::steady_clock::time_point firstRefusal_ GUARDED_BY(lock_);
  uint32_t nextJobId_ GUARDED_BY(lock_) = 1;
  std::map<uint32_t, Job> jobs_ GUARDED_BY(lock_);
  int lastPadLines_ GUARDED_BY(lock_) = 0;
  int pagesStarted_ GUARDED_BY(lock_) = 0;
  std::vector<RequestRecord> requests_ GUARDED_BY(lock_);
  std::vector<SentPage> pages_ GUARDED_BY(lock_);
  std::vector<std::shared_ptr<const PnmImage>> files_ GUARDED_BY(lock_);
};

}  // namespace cavixsim

#endif
