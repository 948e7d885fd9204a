#include "sim/ScannerModel.h"

#include <algorithm>

#include "sim/PageImage.h"

namespace cavixsim {

namespace {

constexpr const char* kJobIdNotFound = "wscn:ClientErrorJobIdNotFound";
constexpr const char* kInvalidArgs = "wscn:ClientErrorInvalidArgs";
constexpr const char* kInvalidScanIdentifier = "wscn:ClientErrorInvalidScanIdentifier";
constexpr const char* kInvalidJobToken = "wscn:ClientErrorInvalidJobToken";
constexpr const char* kNoImagesAvailable = "wscn:ClientErrorNoImagesAvailable";
constexpr const char* kJobCancelled = "wscn:ClientErrorJobCancelled";
constexpr const char* kTemporaryError = "wscn:ServerErrorTemporaryError";
constexpr const char* kNotAcceptingJobs = "wscn:ServerErrorNotAcceptingJobs";

// Jobs kept for GetJobInfo after they ended; older ones are forgotten so that a long run keeps
// a flat footprint.
constexpr size_t kJobsKept = 32;

// What goes wrong at a sheet, as the scenarios configure it: the job ends Aborted with the
// job reason, the scanner reports its reason (until cleared when sticky, else until the next
// job), and the RetrieveImage is refused with a temporary server error.
struct SheetTrouble {
  int SimConfig::*atSheet;
  bool feederOnly;
  bool sheetLeavesTray;
  bool sticky;
  int jobReason;
  int scannerReason;
  const char* text;
};

const SheetTrouble kSheetTroubles[] = {
    {&SimConfig::jamAtSheet, true, true, true, kReasonMediaJam, kScannerMediaJam, "Media jam in the feeder"},
    {&SimConfig::coverOpenAtSheet, true, false, true, kReasonCoverOpen, kScannerCoverOpen, "The feeder cover is open"},
    {&SimConfig::mispickAtSheet, true, false, false, kReasonMediaMispick, kScannerMediaMispick,
     "The feeder failed to pick a sheet"},
    {&SimConfig::storageFullAtSheet, false, false, false, kReasonInternalStorageFull, kScannerInternalStorageFull,
     "Internal storage is full"},
};

bool IsAdf(const Ticket& t) {
  return t.inputSource == kSourceAdf || t.inputSource == kSourceAdfDuplex;
}

}  // namespace

ScannerModel::ScannerModel(const SimConfig& config) : start_(std::chrono::steady_clock::now()) {
  Reset(config);
}

void ScannerModel::Reset(const SimConfig& config) {
  MutexLock guard(lock_);
  config_ = config;
  ++generation_;
  adfSheets_ = config.adfSheets;
  cancelNotFoundLeft_ = config.cancelJobIdNotFound;
  stickyReason_ = kScannerNone;
  transientReason_ = kScannerNone;
  refusedOnce_ = false;
  jobs_.clear();
  lastPadLines_ = 0;
  pagesStarted_ = 0;
  requests_.clear();
  pages_.clear();
}

SimConfig ScannerModel::Config() const {
  MutexLock guard(lock_);
  return config_;
}

RequestRecord& ScannerModel::Record(Operation op, uint32_t jobId) {
  RequestRecord r;
  r.op = op;
  r.jobId = jobId;
  r.msSinceStart = uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - start_)
                                .count());
  requests_.push_back(r);
  return requests_.back();
}

template <typename T>
Answer<T> ScannerModel::Refuse(RequestRecord& rec, const std::string& code,
                               const std::string& subcode, const std::string& reason) {
  Answer<T> a;
  a.ok = false;
  a.fault.code = code;
  a.fault.subcode = subcode;
  a.fault.reason = reason;
  rec.faultSubcode = subcode.empty() ? code : subcode;
  return a;
}

bool ScannerModel::TakeInjectedFault(Operation op, Fault& out) {
  for (InjectedFault& f : config_.faults) {
    if (f.op != op || f.remaining == 0) continue;
    if (f.after > 0) {
      --f.after;
      continue;
    }
    if (f.remaining > 0) --f.remaining;
    out = f.fault;
    return true;
  }
  return false;
}

bool ScannerModel::NotAcceptingJobs(bool refusing) {
  const double t = config_.notAcceptingSeconds;
  if (t == 0) return false;
  if (t < 0) return true;
  if (!refusedOnce_) {
    if (!refusing) return true;  // the window opens with the first refusal
    refusedOnce_ = true;
    firstRefusal_ = std::chrono::steady_clock::now();
    return true;
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - firstRefusal_).count() < t;
}

ScannerModel::Job* ScannerModel::FindJob(uint32_t id) {
  auto it = jobs_.find(id);
  return it == jobs_.end() ? nullptr : &it->second;
}

const ScannerModel::Job* ScannerModel::FindJob(uint32_t id) const {
  auto it = jobs_.find(id);
  return it == jobs_.end() ? nullptr : &it->second;
}

void ScannerModel::Finish(Job& job, int state, int reason) {
  job.state = state;
  job.reason = reason;
  job.finished = true;
  job.backPending = false;
}

Answer<CreatedJob> ScannerModel::CreateScanJob(const char* scanIdentifier, const Ticket& ticket) {
  MutexLock guard(lock_);
  RequestRecord& rec = Record(Operation::CreateScanJob, 0);
  rec.hasTicket = true;
  rec.ticket = ticket;
  rec.scanIdentifier = scanIdentifier ? scanIdentifier : "";
  Fault injected;
  if (TakeInjectedFault(Operation::CreateScanJob, injected)) {
    return Refuse<CreatedJob>(rec, injected.code, injected.subcode, injected.reason);
  }
  if (NotAcceptingJobs(true))
    return Refuse<CreatedJob>(rec, "Receiver", kNotAcceptingJobs, "The scanner is not accepting jobs");
  if (stickyReason_ != kScannerNone)
    return Refuse<CreatedJob>(rec, "Receiver", kTemporaryError,
                              stickyReason_ == kScannerMediaJam ? "Media jam" : "Cover open");
  if (config_.scannerCondition != kScannerNone)
    return Refuse<CreatedJob>(rec, "Receiver", kTemporaryError, "The scanner is busy");
  if (scanIdentifier && *scanIdentifier && config_.scanIdentifier != scanIdentifier)
    return Refuse<CreatedJob>(rec, "Sender", kInvalidScanIdentifier, "Unknown scan identifier");
  if (!PageImage::Supported(ticket) ||
      (ticket.inputSource != kSourcePlaten && !IsAdf(ticket)))
    return Refuse<CreatedJob>(rec, "Sender", kInvalidArgs, "The scan ticket cannot be scanned");

  transientReason_ = kScannerNone;
  // One job at a time: a new job ends whatever job was still open.
  for (auto& entry : jobs_)
    if (!entry.second.finished) Finish(entry.second, kJobAborted, kReasonNone);
  while (jobs_.size() >= kJobsKept) jobs_.erase(jobs_.begin());

  Job job;
  job.id = nextJobId_++;
  job.token = "token-" + std::to_string(job.id);
  job.ticket = ticket;
  job.state = kJobPending;
  job.reason = kReasonNone;
  jobs_[job.id] = job;
  rec.jobId = job.id;

  Answer<CreatedJob> a;
  a.value.jobId = job.id;
  a.value.token = job.token;
  a.value.geometry = PageImage::Geometry(ticket);
  a.value.ticket = ticket;
  return a;
}

Answer<PagePlan> ScannerModel::RetrieveImage(uint32_t jobId, const char* token) {
  MutexLock guard(lock_);
  RequestRecord& rec = Record(Operation::RetrieveImage, jobId);
  rec.jobToken = token ? token : "";
  Fault injected;
  if (TakeInjectedFault(Operation::RetrieveImage, injected))
    return Refuse<PagePlan>(rec, injected.code, injected.subcode, injected.reason);
  Job* job = FindJob(jobId);
  if (!job) return Refuse<PagePlan>(rec, "Sender", kJobIdNotFound, "No such job");
  if (token && job->token != token)
    return Refuse<PagePlan>(rec, "Sender", kInvalidJobToken, "The job token does not match");
  if (job->canceled) return Refuse<PagePlan>(rec, "Sender", kJobCancelled, "The job was cancelled");
  if (job->finished && job->state != kJobCompleted)
    return Refuse<PagePlan>(rec, "Receiver", kTemporaryError, "The job has ended");

  const bool adf = IsAdf(job->ticket);
  int side = 0;
  if (job->backPending) {
    side = 1;
    job->backPending = false;
  } else {
    const bool more = adf ? adfSheets_ > 0 : job->images == 0;
    if (!more || job->finished) {
      if (!job->finished)
        Finish(*job, kJobCompleted, job->images > 0 ? kReasonJobCompletedSuccessfully : kReasonNone);
      return Refuse<PagePlan>(rec, "Sender", kNoImagesAvailable, "No more images in this job");
    }
    const int sheet = job->sheets + 1;
    for (const SheetTrouble& trouble : kSheetTroubles) {
      if (sheet != config_.*(trouble.atSheet) || (trouble.feederOnly && !adf)) continue;
      if (trouble.sheetLeavesTray) --adfSheets_;
      job->sheets = sheet;
      (trouble.sticky ? stickyReason_ : transientReason_) = trouble.scannerReason;
      Finish(*job, kJobAborted, trouble.jobReason);
      return Refuse<PagePlan>(rec, "Receiver", kTemporaryError, trouble.text);
    }
    job->sheets = sheet;
    if (adf) {
      --adfSheets_;
      job->backPending = job->ticket.inputSource == kSourceAdfDuplex;
    }
  }
  ++job->images;
  job->state = kJobProcessing;
  job->reason = kReasonJobScanningAndTransferring;
  job->transferring = true;

  Answer<PagePlan> a;
  PagePlan& p = a.value;
  p.jobId = job->id;
  p.ticket = job->ticket;
  p.sheet = job->sheets;
  p.side = side;
  p.imageInJob = job->images;
  p.padLines = config_.padLines;
  p.padDark = config_.padDark;
  p.jpegQuality = config_.jpegQuality;
  p.cached = config_.cachePages;
  p.printedSheet = config_.sameImageEverySheet ? 1 : 0;
  ++pagesStarted_;
  p.breakOff = config_.closeMidPage > 0 && pagesStarted_ == config_.closeMidPage;
  SentPage page;
  page.jobId = job->id;
  page.imageInJob = job->images;
  page.side = side;
  page.format = job->ticket.format;
  page.colorProcessing = job->ticket.colorProcessing;
  page.geometry = PageImage::Geometry(job->ticket);
  page.padLines = p.padLines;
  pages_.push_back(page);
  p.pageIndex = pages_.size() - 1;
  p.generation = generation_;
  lastPadLines_ = int(p.padLines);
  return a;
}

void ScannerModel::PageTransferEnded(const PagePlan& plan, uint64_t bytes, uint64_t fnv1a,
                                     bool complete, std::vector<uint8_t>&& data) {
  MutexLock guard(lock_);
  if (plan.generation != generation_) return;  // a page of the device before a reset
  if (plan.pageIndex < pages_.size()) {
    SentPage& page = pages_[plan.pageIndex];
    page.bytes = bytes;
    page.fnv1a = fnv1a;
    page.complete = complete;
    page.data = std::move(data);
  }
  Job* job = FindJob(plan.jobId);
  if (!job) return;
  job->transferring = false;
  if (job->canceled) return;
  if (!complete) {
    Finish(*job, kJobAborted, kReasonImageTransferError);
    return;
  }
  ++job->scansCompleted;
  const bool adf = IsAdf(job->ticket);
  const bool more = job->backPending || (adf && adfSheets_ > 0);
  if (more) {
    job->state = kJobProcessing;
    job->reason = kReasonJobScanning;
  } else {
    // The last image went out; a further RetrieveImage gets "no images".
    job->state = kJobCompleted;
    job->reason = kReasonJobCompletedSuccessfully;
    if (!adf) job->finished = true;
  }
}

bool ScannerModel::JobCanceled(const PagePlan& plan) const {
  MutexLock guard(lock_);
  if (plan.generation != generation_) return true;  // the device was reset under the page
  const Job* job = FindJob(plan.jobId);
  return job && job->canceled;
}

Answer<uint32_t> ScannerModel::CancelJob(uint32_t jobId) {
  MutexLock guard(lock_);
  RequestRecord& rec = Record(Operation::CancelJob, jobId);
  Fault injected;
  if (TakeInjectedFault(Operation::CancelJob, injected))
    return Refuse<uint32_t>(rec, injected.code, injected.subcode, injected.reason);
  if (cancelNotFoundLeft_ > 0) {
    --cancelNotFoundLeft_;
    return Refuse<uint32_t>(rec, "Sender", kJobIdNotFound, "No such job");
  }
  Job* job = FindJob(jobId);
  if (!job) return Refuse<uint32_t>(rec, "Sender", kJobIdNotFound, "No such job");
  if (!job->finished || job->transferring) {
    job->canceled = true;
    Finish(*job, kJobCanceled, kReasonNone);
  }
  Answer<uint32_t> a;
  a.value = jobId;
  return a;
}

Answer<JobSummary> ScannerModel::GetJobInfo(uint32_t jobId) {
  MutexLock guard(lock_);
  RequestRecord& rec = Record(Operation::GetJobInfo, jobId);
  Fault injected;
  if (TakeInjectedFault(Operation::GetJobInfo, injected))
    return Refuse<JobSummary>(rec, injected.code, injected.subcode, injected.reason);
  const Job* job = FindJob(jobId);
  if (!job) return Refuse<JobSummary>(rec, "Sender", kJobIdNotFound, "No such job");
  Answer<JobSummary> a;
  a.value.jobId = job->id;
  a.value.state = job->state;
  a.value.reason = job->reason;
  a.value.scansCompleted = job->scansCompleted;
  return a;
}

ScannerStatus ScannerModel::CurrentStatus() {
  ScannerStatus s;
  bool transferring = false, backPending = false;
  for (const auto& entry : jobs_) {
    transferring = transferring || entry.second.transferring;
    backPending = backPending || (entry.second.backPending && !entry.second.finished);
  }
  if (stickyReason_ != kScannerNone) {
    s.state = kScannerStopped;
    s.reason = stickyReason_;
  } else if (config_.scannerCondition != kScannerNone) {
    s.state = config_.scannerCondition == kScannerAttentionRequired ? kScannerStopped : kScannerProcessing;
    s.reason = config_.scannerCondition;
  } else if (NotAcceptingJobs(false)) {
    s.state = kScannerProcessing;
    s.reason = kScannerNone;
  } else {
    s.state = transferring ? kScannerProcessing : kScannerIdle;
    s.reason = transientReason_;
  }
  // A sheet whose back side is still to come counts as paper in the feeder.
  s.paperInAdf = adfSheets_ > 0 || backPending;
  s.scanIdentifier = config_.scanIdentifier;
  return s;
}

Answer<ScannerDescription> ScannerModel::GetScannerElements() {
  MutexLock guard(lock_);
  RequestRecord& rec = Record(Operation::GetScannerElements, 0);
  Fault injected;
  if (TakeInjectedFault(Operation::GetScannerElements, injected))
    return Refuse<ScannerDescription>(rec, injected.code, injected.subcode, injected.reason);
  Answer<ScannerDescription> a;
  a.value.model = config_.model;
  a.value.feederCapacity = config_.feederCapacity;
  a.value.status = CurrentStatus();
  if (config_.refillAdfWhenEmpty > 0 && !a.value.status.paperInAdf) {
    bool feederJobOpen = false;
    for (const auto& entry : jobs_)
      feederJobOpen = feederJobOpen || (IsAdf(entry.second.ticket) && !entry.second.finished);
    if (feederJobOpen) {
      // Paper put into the feeder just after the device answered that it was empty.
      adfSheets_ = config_.refillAdfWhenEmpty;
      config_.refillAdfWhenEmpty = 0;
    }
  }
  return a;
}

Answer<int> ScannerModel::GetPreviousImagePadInfo() {
  MutexLock guard(lock_);
  RequestRecord& rec = Record(Operation::GetPreviousImagePadInfo, 0);
  Fault injected;
  if (TakeInjectedFault(Operation::GetPreviousImagePadInfo, injected))
    return Refuse<int>(rec, injected.code, injected.subcode, injected.reason);
  if (config_.padInfoNotImplemented)
    return Refuse<int>(rec, "Sender", "", "GetPreviousImagePadInfo is not implemented");
  Answer<int> a;
  a.value = lastPadLines_;
  return a;
}

Fault ScannerModel::BadRequest(const std::string& reason) {
  MutexLock guard(lock_);
  RequestRecord& rec = Record(Operation::Unknown, 0);
  rec.faultSubcode = "Sender";
  Fault f;
  f.code = "Sender";
  f.reason = reason;
  return f;
}

bool ScannerModel::Silent(Operation op, uint32_t jobId) {
  MutexLock guard(lock_);
  if (std::find(config_.noAnswer.begin(), config_.noAnswer.end(), op) == config_.noAnswer.end())
    return false;
  Record(op, jobId).answered = false;
  return true;
}

Misbehaviour ScannerModel::Misbehave(Operation op) {
  MutexLock guard(lock_);
  for (InjectedMisbehaviour& m : config_.misbehave) {
    if (m.op != op || m.remaining == 0) continue;
    if (m.remaining > 0) --m.remaining;
    return m.kind;
  }
  return Misbehaviour::None;
}

void ScannerModel::NoteUnmodelled(Operation op, uint32_t jobId) {
  MutexLock guard(lock_);
  Record(op, jobId);
}

void ScannerModel::LoadAdf(int sheets) {
  MutexLock guard(lock_);
  adfSheets_ = std::max(0, sheets);
}

int ScannerModel::AdfSheets() const {
  MutexLock guard(lock_);
  return adfSheets_;
}

void ScannerModel::ClearScannerFault() {
  MutexLock guard(lock_);
  stickyReason_ = kScannerNone;
  transientReason_ = kScannerNone;
}

std::vector<RequestRecord> ScannerModel::Requests() const {
  MutexLock guard(lock_);
  return requests_;
}

void ScannerModel::ClearRequests() {
  MutexLock guard(lock_);
  requests_.clear();
}

std::vector<SentPage> ScannerModel::SentPages() const {
  MutexLock guard(lock_);
  return pages_;
}

void ScannerModel::SetPageFiles(std::vector<std::shared_ptr<const PnmImage>> files) {
  MutexLock guard(lock_);
  files_ = std::move(files);
}

std::shared_ptr<const PnmImage> ScannerModel::PageFile(const PagePlan& plan) const {
  MutexLock guard(lock_);
  if (files_.empty()) return nullptr;
  const bool duplex = plan.ticket.inputSource == kSourceAdfDuplex;
  const size_t index = size_t(std::max(plan.sheet - 1, 0)) * (duplex ? 2 : 1) + size_t(plan.side);
  return files_[index % files_.size()];
}

bool ScannerModel::KeepPageBytes() const {
  MutexLock guard(lock_);
  return config_.keepPageBytes;
}

}  // namespace cavixsim
