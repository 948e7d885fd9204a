#include "sane/SaneScanHandle.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <new>
#include <vector>

#include "sane/SaneDebug.h"
#include "tools/ScanParameterMapping.h"

namespace {
constexpr DWORD kAdfDuplex = 0x1;
constexpr DWORD kAdfMultiPageFlow = 0x4;
constexpr DWORD kFirstRead = 32 * 1024;

using State = SaneScanHandle::State;
// The diagram's arrows: kTransitions[from] lists where a state goes.
const struct {
  State from;
  std::initializer_list<State> to;
} kTransitions[] = {
    {State::kIdle, {State::kJob}},
    {State::kJob, {State::kPage, State::kIdle, State::kCancelled}},
    {State::kPage, {State::kDone, State::kPageEnded, State::kIdle, State::kCancelled}},
    {State::kPageEnded, {State::kPage, State::kIdle, State::kCancelled}},
    {State::kDone, {State::kIdle}},
    {State::kCancelled, {State::kIdle}},
};

double MsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}
}  // namespace

const char* SaneScanHandle::StateName(State s) {
  static const char* const kNames[] = {"idle", "job", "page", "page ended", "done", "cancelled"};
  return kNames[static_cast<int>(s)];
}

bool SaneScanHandle::Allowed(State from, State to) {
  for (const auto& t : kTransitions)
    if (t.from == from) return std::find(t.to.begin(), t.to.end(), to) != t.to.end();
  return false;
}

void SaneScanHandle::Enter(State next, const char* why) {
  if (next == state_) return;
  if (!Allowed(state_, next))
    CAVIX_SANE_DEBUG(SaneDebug::kError, "handle %p: %s -> %s (%s) is not a transition of the handle",
                     static_cast<void*>(this), StateName(state_), StateName(next), why);
  else
    CAVIX_SANE_DEBUG(SaneDebug::kState, "handle %p: %s -> %s (%s)", static_cast<void*>(this), StateName(state_),
                     StateName(next), why);
  state_ = next;
}

SaneScanHandle::SaneScanHandle(IScanner* scanner, IADF2* adf) : scanner_(scanner), adf_(adf) {}

SaneScanHandle::~SaneScanHandle() {
  if (cancelThread_.joinable()) {
    const char q = 'q';
    ssize_t ignored = ::write(pipe_[1], &q, 1);
    (void)ignored;
    cancelThread_.join();
  }
  Settle();
  if (state_ == State::kPage) EndPage();
  if (InJob()) EndJob(true);
  Enter(State::kIdle, "close");
  cancel_.Detach();
  for (int fd : {pipe_[0], pipe_[1], readyPipe_[0], readyPipe_[1]})
    if (fd >= 0) ::close(fd);
}

SANE_Status SaneScanHandle::StatusFor(HRESULT hr, DWORD code) {
  if (hr == CAVIX_E_SCONF_BUSY) return SANE_STATUS_DEVICE_BUSY;
  switch (code) {
    case CERR_ADF_JAMMED: case CERR_APF_JAMMED: case CERR_JAM_INPUT_TRAY: case CERR_JAM_OUTPUT_TRAY:
    case CERR_JAM_CLEANOUT: case CERR_JAM_DOOR1: case CERR_JAM_DOOR2: case CERR_JAM_DOOR3:
    case CERR_ADF_PICK_FAILED: case CERR_ADF_MPD:
      return SANE_STATUS_JAMMED;
    case CERR_ADF_HATCH_OPEN: case CERR_OPEN_DOOR1: case CERR_OPEN_DOOR2: case CERR_OPEN_DOOR3:
    case CERR_OPEN_INPUT_TRAY: case CERR_OPEN_ADF_PLATEN:
      return SANE_STATUS_COVER_OPEN;
    case CERR_ADF_EMPTY:
      return SANE_STATUS_NO_DOCS;
    case CERR_NET_SOCKET_BUSY: case CERR_SCANNER_LOCK_FAILED: case CERR_BUSY: case CERR_RESERVE_BUSY:
      return SANE_STATUS_DEVICE_BUSY;
    case CERR_INVALID_PARAMETER:
      return SANE_STATUS_INVAL;
    case CERR_OUT_OF_MEMORY:
      return SANE_STATUS_NO_MEM;
    case CERR_CANCEL_PRESSED:
      return SANE_STATUS_CANCELLED;
    default:
      return SANE_STATUS_IO_ERROR;
  }
}

SANE_Status SaneScanHandle::Open(std::shared_ptr<SaneDeviceSession> device) {
  device_ = std::move(device);
  session_ = device_->Session();
  cancel_.Attach(scanner_, session_);
  // Not written here: only the parts the pages fill become resident.
  ring_.reset(new (std::nothrow) uint8_t[kReadAhead]);
  if (!ring_) return SANE_STATUS_NO_MEM;
  if (::pipe2(pipe_, O_CLOEXEC) != 0 || ::pipe2(readyPipe_, O_CLOEXEC | O_NONBLOCK) != 0) return SANE_STATUS_NO_MEM;
  cancelThread_ = std::thread([this] { CancelLoop(); });
  return SANE_STATUS_GOOD;
}

void SaneScanHandle::CancelLoop() {
  char c;
  for (;;) {
    ssize_t n = ::read(pipe_[0], &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == 'q') return;
    const auto began = std::chrono::steady_clock::now();
    cancel_.Cancel();  // StopScan for the page in progress, if any
    CAVIX_SANE_DEBUG(SaneDebug::kInfo, "sane_cancel: the page in progress stopped in %.1f ms", MsSince(began));
    {
      MutexLock g(lock_);
      ++handled_;
      handledChanged_.notify_all();
    }
    // A blocking sane_read waiting for rows looks at the cancel.
    MutexLock g(pageLock_);
    pageChanged_.notify_all();
  }
}

void SaneScanHandle::Cancel() {
  requested_.fetch_add(1);
  const char c = 'c';
  ssize_t ignored = ::write(pipe_[1], &c, 1);
  (void)ignored;
}

bool SaneScanHandle::Settle() {
  const unsigned target = requested_.load();
  if (target == settled_) return false;
  if (cancelThread_.joinable()) {
    MutexUniqueLock g(lock_);
    handledChanged_.wait(g.Native(), [&]() REQUIRES(lock_) { return handled_ >= target; });
  }
  settled_ = target;
  // The cancel ended the page (its StopScan went out) and ends the job; after a page's end it
  // only ends the EOF answers.
  const bool inJob = InJob();
  if (state_ == State::kPage) EndPage();
  if (inJob) EndJob(true);
  Enter(inJob ? State::kCancelled : state_ == State::kDone ? State::kIdle : state_, "sane_cancel");
  cancel_.Rearm();
  return true;
}

void SaneScanHandle::UpdateReady() {
  const bool ready = held_ > 0 || deviceDone_;
  char c = 'r';
  if (ready && !readySignalled_) readySignalled_ = ::write(readyPipe_[1], &c, 1) == 1;
  if (!ready && readySignalled_) readySignalled_ = ::read(readyPipe_[0], &c, 1) != 1;
}

void SaneScanHandle::StartReader() {
  if (state_ != State::kPage || reader_.joinable()) return;
  {
    MutexLock g(pageLock_);
    if (deviceDone_) return;
    stopReading_ = false;
  }
  reader_ = std::thread([this] { ReadLoop(); });
}

void SaneScanHandle::ReadLoop() {
  for (;;) {
    size_t at = 0;
    DWORD ask = 0;
    {
      MutexUniqueLock g(pageLock_);
      // Only this thread changes received_. It waits for room for a whole chunk (or the rest of
      // the page), so that a frontend taking a little at a time does not make reads that small.
      const uint64_t left = expected_ - received_;
      const size_t want = static_cast<size_t>(std::min<uint64_t>(kReadChunk, left));
      pageChanged_.wait(g.Native(), [&]() REQUIRES(pageLock_) { return stopReading_ || kReadAhead - held_ >= want; });
      if (stopReading_) return;
      at = (head_ + held_) % kReadAhead;
      // The free part up to the ring's end; the next read goes on from its start.
      const size_t room = std::min(kReadAhead - held_, kReadAhead - at);
      ask = static_cast<DWORD>(std::min<uint64_t>(room, want));
    }
    // The frontend's thread takes only from the full part: the free part is this thread's.
    DWORD n = 0, code = 0;
    const HRESULT hr = scanner_->ReadScanEx(session_, ring_.get() + at, ask, &n, &code);
    MutexLock g(pageLock_);
    if (FAILED(hr)) {
      readHr_ = hr;
      readCode_ = code;
      deviceDone_ = true;
    } else {
      held_ += n;
      received_ += n;
      deviceDone_ = n < ask || received_ >= expected_;
    }
    UpdateReady();
    pageChanged_.notify_all();
    if (deviceDone_) return;
  }
}

size_t SaneScanHandle::TakeAhead(SANE_Byte* data, size_t max) {
  const size_t n = std::min(max, held_);
  const size_t first = std::min(n, kReadAhead - head_);
  std::memcpy(data, ring_.get() + head_, first);
  std::memcpy(data + first, ring_.get(), n - first);
  head_ = (head_ + n) % kReadAhead;
  held_ -= n;
  return n;
}

void SaneScanHandle::EndPage() {
  if (reader_.joinable()) {
    bool running = false;
    {
      MutexLock g(pageLock_);
      stopReading_ = true;
      running = !deviceDone_;
      pageChanged_.notify_all();
    }
    // A reading thread inside ReadScanEx returns once the page is stopped.
    if (running) cancel_.Cancel();
    reader_.join();
    if (running) cancel_.Rearm();
  }
  DWORD code = 0;
  cancel_.PageEnded(&code);
  MutexLock g(pageLock_);
  head_ = 0;
  held_ = 0;
}

void SaneScanHandle::EndJob(bool cancelRest) {
  DWORD code = 0;
  if (state_ == State::kPageEnded && feeder_ && cancelRest) {
    // Sheets may be left in a job the device is still running: start the next page, take its
    // first bytes and stop it, which cancels the job on the device.
    BYTE ready = 0;
    if (SUCCEEDED(adf_->ADFIsReady(session_, &ready, &code)) && ready &&
        SUCCEEDED(scanner_->StartScan(session_, &code))) {
      BYTE first[64];
      DWORD n = 0;
      scanner_->ReadScanEx(session_, first, sizeof first, &n, &code);
      scanner_->StopScan(session_, &code);
    }
  }
  pages_ = 0;
  if (InJob()) scanner_->UnlockScanner(session_, &code);
  device_->Release(this);
}

SANE_Status SaneScanHandle::Failed(HRESULT hr, DWORD code) {
  const SANE_Status s = StatusFor(hr, code);
  CAVIX_SANE_DEBUG(SaneDebug::kError, "handle %p: the driver failed in %s (0x%08X, code %u): status %d",
                   static_cast<void*>(this), StateName(state_), static_cast<unsigned>(hr), static_cast<unsigned>(code),
                   static_cast<int>(s));
  if (state_ == State::kPage) EndPage();
  if (InJob()) EndJob(false);
  Enter(State::kIdle, "failure");
  return s;
}

SANE_Status SaneScanHandle::Control(SANE_Int option, SANE_Action action, void* value, SANE_Int* info) {
  if (action != SANE_ACTION_GET_VALUE) {
    Settle();
    if (InJob()) {
      if (info) *info = 0;
      // Setting a value that is already there changes nothing (frontends set their options again
      // before each page of a feeder job).
      const SANE_Option_Descriptor* d = options_.Descriptor(option);
      if (action == SANE_ACTION_SET_VALUE && d && (d->cap & SANE_CAP_SOFT_SELECT) && value) {
        std::vector<char> current(static_cast<size_t>(d->size) + 1, 0);
        options_.Control(option, SANE_ACTION_GET_VALUE, current.data(), nullptr);
        const bool same = d->type == SANE_TYPE_STRING
                              ? std::strcmp(current.data(), static_cast<const char*>(value)) == 0
                              : std::memcmp(current.data(), value, sizeof(SANE_Word)) == 0;
        if (same) return SANE_STATUS_GOOD;
      }
      return SANE_STATUS_DEVICE_BUSY;
    }
  }
  return options_.Control(option, action, value, info);
}

SANE_Status SaneScanHandle::GetParameters(SANE_Parameters* p) {
  if (InJob() && expected_ > 0) {
    *p = params_;
    return SANE_STATUS_GOOD;
  }
  // The driver's answer where it gives one, else the scanner's arithmetic (an empty area).
  *p = options_.Estimate();
  ScanOptions o;
  std::string why;
  if (!options_.ToScanOptions(&o, &why)) return SANE_STATUS_GOOD;
  SCANNER_PARAMETERS sp = ScanParameterMapping::Parameters(o);
  BUFFER_INFO info = {};
  DWORD code = 0;
  if (SUCCEEDED(scanner_->GetBufferInfo(session_, &sp, &info, &code))) {
    p->pixels_per_line = static_cast<SANE_Int>(info.dwPixelWidth);
    p->lines = static_cast<SANE_Int>(info.dwPixelHeight);
    p->bytes_per_line = static_cast<SANE_Int>(info.dwBytesPerLine);
  }
  return SANE_STATUS_GOOD;
}

SANE_Status SaneScanHandle::SetIoMode(SANE_Bool nonBlocking) {
  Settle();
  if (state_ != State::kPage) return SANE_STATUS_INVAL;
  nonBlocking_ = nonBlocking != SANE_FALSE;
  // A read that must answer at once needs the rows read ahead.
  if (nonBlocking_) StartReader();
  return SANE_STATUS_GOOD;
}

SANE_Status SaneScanHandle::GetSelectFd(SANE_Int* fd) {
  Settle();
  if (state_ != State::kPage) return SANE_STATUS_INVAL;
  // The descriptor tells when rows wait: from now on they are read ahead, on this page and the
  // next ones (the frontend may keep the descriptor).
  readAhead_ = true;
  StartReader();
  *fd = readyPipe_[0];
  return SANE_STATUS_GOOD;
}

SANE_Status SaneScanHandle::BeginJob() {
  ScanOptions o;
  std::string why;
  if (!options_.ToScanOptions(&o, &why)) {
    CAVIX_SANE_DEBUG(SaneDebug::kError, "sane_start: refused: %s", why.c_str());
    return SANE_STATUS_INVAL;
  }
  // Another handle on this device is scanning with the same session.
  if (!device_->Claim(this)) {
    CAVIX_SANE_DEBUG(SaneDebug::kError, "sane_start: another handle on the device is scanning");
    return SANE_STATUS_DEVICE_BUSY;
  }
  DWORD code = 0;
  HRESULT hr = scanner_->LockScanner(session_, C_LOCK_PROCESS, kLockTimeoutMs, &code);
  if (FAILED(hr)) {
    device_->Release(this);
    const SANE_Status s = StatusFor(hr, code);
    CAVIX_SANE_DEBUG(SaneDebug::kError, "sane_start: the scanner is not locked (0x%08X, code %u): status %d",
                     static_cast<unsigned>(hr), static_cast<unsigned>(code), static_cast<int>(s));
    return s;
  }
  Enter(State::kJob, "sane_start");
  pages_ = 0;
  feeder_ = o.source != ScanSource::Platen;
  lineart_ = o.mode == ColorMode::BlackWhite;
  if (feeder_) {
    hr = adf_->SetADFOptions(session_, kAdfMultiPageFlow | (o.source == ScanSource::Duplex ? kAdfDuplex : 0), &code);
    if (FAILED(hr)) return Failed(hr, code);
  }
  SCANNER_PARAMETERS sp = ScanParameterMapping::Parameters(o);
  hr = scanner_->SetScannerParameters(session_, &sp, &code);
  if (FAILED(hr)) return Failed(hr, code);
  BUFFER_INFO info = {};
  hr = scanner_->GetBufferInfo(session_, &sp, &info, &code);
  if (FAILED(hr)) return Failed(hr, code);
  params_ = SANE_Parameters{};
  params_.format = o.mode == ColorMode::Color ? SANE_FRAME_RGB : SANE_FRAME_GRAY;
  params_.last_frame = SANE_TRUE;
  params_.depth = lineart_ ? 1 : 8;
  params_.pixels_per_line = static_cast<SANE_Int>(info.dwPixelWidth);
  params_.lines = static_cast<SANE_Int>(info.dwPixelHeight);
  params_.bytes_per_line = static_cast<SANE_Int>(info.dwBytesPerLine);
  expected_ = uint64_t(info.dwBytesPerLine) * info.dwPixelHeight;
  if (expected_ == 0) return Failed(E_FAIL, CERR_INVALID_PARAMETER);
  return SANE_STATUS_GOOD;
}

SANE_Status SaneScanHandle::Start() {
  const auto began = std::chrono::steady_clock::now();
  const SANE_Status s = StartPage();
  CAVIX_SANE_DEBUG(SaneDebug::kInfo, "sane_start: status %d in %.1f ms, page %u, %s", static_cast<int>(s),
                   MsSince(began), pages_, StateName(state_));
  if (s == SANE_STATUS_GOOD)
    CAVIX_SANE_DEBUG(SaneDebug::kInfo, "sane_start: %d pixels x %d lines, %d bytes a line, depth %d",
                     params_.pixels_per_line, params_.lines, params_.bytes_per_line, params_.depth);
  return s;
}

SANE_Status SaneScanHandle::StartPage() {
  Settle();
  if (state_ == State::kPage) {
    // The frontend starts again before the end of the page: that page is abandoned.
    cancel_.Cancel();
    EndPage();
    EndJob(true);
    Enter(State::kIdle, "a new sane_start abandons the page");
    cancel_.Rearm();
  }
  if (state_ == State::kDone || state_ == State::kCancelled) Enter(State::kIdle, "sane_start");
  if (state_ == State::kIdle) {
    SANE_Status s = BeginJob();
    if (s != SANE_STATUS_GOOD) return s;
  }
  DWORD code = 0;
  HRESULT hr;
  if (feeder_) {
    BYTE ready = 0;
    hr = adf_->ADFIsReady(session_, &ready, &code);
    if (FAILED(hr)) return Failed(hr, code);
    if (!ready) {
      EndJob(false);
      Enter(State::kIdle, "the feeder is empty");
      return SANE_STATUS_NO_DOCS;
    }
  }
  hr = scanner_->StartScan(session_, &code);
  if (FAILED(hr)) return Failed(hr, code);
  Enter(State::kPage, "StartScan");
  pageStart_ = std::chrono::steady_clock::now();
  delivered_ = 0;
  if (!cancel_.PageStarted()) {
    Settle();
    return SANE_STATUS_CANCELLED;
  }
  // The first bytes are read here so that the page's failure (feeder empty, jam, cover open)
  // is the answer to sane_start.
  // They go to the ring, empty since the last page ended (no reading thread runs).
  const DWORD asked = static_cast<DWORD>(std::min<uint64_t>(kFirstRead, expected_));
  DWORD n = 0;
  hr = scanner_->ReadScanEx(session_, ring_.get(), asked, &n, &code);
  if (FAILED(hr)) {
    if (Settle()) return SANE_STATUS_CANCELLED;
    return Failed(hr, code);
  }
  {
    MutexLock g(pageLock_);
    head_ = 0;
    held_ = n;
    received_ = n;
    deviceDone_ = n < asked || received_ >= expected_;
    readHr_ = S_OK;
    readCode_ = 0;
    stopReading_ = false;
    UpdateReady();
  }
  if (nonBlocking_ || readAhead_) StartReader();
  ++pages_;
  return SANE_STATUS_GOOD;
}

SANE_Status SaneScanHandle::Read(SANE_Byte* data, SANE_Int max, SANE_Int* length) {
  *length = 0;
  if (Settle()) return SANE_STATUS_CANCELLED;
  if (state_ != State::kPage) {
    static const SANE_Status kOutside[] = {SANE_STATUS_INVAL, SANE_STATUS_INVAL, SANE_STATUS_INVAL,
                                           SANE_STATUS_EOF,   SANE_STATUS_EOF,   SANE_STATUS_CANCELLED};
    return kOutside[static_cast<int>(state_)];
  }
  if (max <= 0) return SANE_STATUS_INVAL;
  size_t n = 0;
  HRESULT hr = S_OK;
  DWORD code = 0;
  bool done = false;
  {
    MutexUniqueLock g(pageLock_);
    if (reader_.joinable()) {
      if (!nonBlocking_)
        pageChanged_.wait(g.Native(), [&]() REQUIRES(pageLock_) {
          return held_ > 0 || deviceDone_ || requested_.load() != settled_;
        });
      n = TakeAhead(data, static_cast<size_t>(max));
      pageChanged_.notify_all();  // room for the reading thread
    } else {
      // No reading thread: the start's first bytes, then the frontend's buffer goes to the driver
      // (blocking mode; a cancel's StopScan ends a wait there).
      n = TakeAhead(data, static_cast<size_t>(max));
      if (n == 0 && !deviceDone_) {
        const DWORD ask = static_cast<DWORD>(std::min<uint64_t>(static_cast<uint64_t>(max), expected_ - received_));
        g.Unlock();
        DWORD got = 0, readCode = 0;
        const HRESULT readHr = scanner_->ReadScanEx(session_, data, ask, &got, &readCode);
        g.Lock();
        if (FAILED(readHr)) {
          readHr_ = readHr;
          readCode_ = readCode;
          deviceDone_ = true;
        } else {
          n = got;
          received_ += got;
          deviceDone_ = got < ask || received_ >= expected_;
        }
      }
    }
    UpdateReady();
    done = deviceDone_;
    hr = readHr_;
    code = readCode_;
  }
  if (Settle()) return SANE_STATUS_CANCELLED;
  if (n == 0 && !done) return SANE_STATUS_GOOD;  // non-blocking: nothing yet
  if (n == 0 && FAILED(hr)) return Failed(hr, code);
  if (n == 0) {
    // The page is over: rows the device did not send are given as white, so that the frontend
    // gets the lines it was promised.
    if (delivered_ < expected_) {
      n = static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(max), expected_ - delivered_));
      std::fill(data, data + n, lineart_ ? 0x00 : 0xFF);
      delivered_ += n;
      *length = static_cast<SANE_Int>(n);
      return SANE_STATUS_GOOD;
    }
    CAVIX_SANE_DEBUG(SaneDebug::kInfo, "sane_read: page %u ended: %llu bytes in %.1f ms, status EOF", pages_,
                     static_cast<unsigned long long>(delivered_), MsSince(pageStart_));
    EndPage();
    if (!feeder_) EndJob(false);
    // A feeder's device goes on with the job.
    Enter(feeder_ ? State::kPageEnded : State::kDone, "the page's last byte");
    return SANE_STATUS_EOF;
  }
  // SANE's one-bit frames use a set bit for black; the driver's rows a set bit for white.
  if (lineart_)
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<SANE_Byte>(~data[i]);
  delivered_ += n;
  *length = static_cast<SANE_Int>(n);
  CAVIX_SANE_DEBUG(SaneDebug::kRead, "sane_read: %zu bytes (%llu of the page)", n,
                   static_cast<unsigned long long>(delivered_));
  return SANE_STATUS_GOOD;
}
