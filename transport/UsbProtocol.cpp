#include "transport/UsbProtocol.h"

#include <fcntl.h>
#include <poll.h>
#include <stdsoap2.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "driver/CavixErrors.h"
#include "log/CHRESULT2.h"
#include "log/GlobalLog.h"
#include "log/LogHelpers.h"
#include "platform/TimeLimits.h"
#include "platform/Waitable.h"
#include "service/SoapPointerMap.h"
#include "service/SoapResult.h"
#include "transport/ExchangeGuard.h"

const char* const UsbProtocol::kPointerMapKey = "UsbProtocol";

namespace {

constexpr int kSoapFatalError = SOAP_FATAL_ERROR;  // 11
constexpr DWORD kFlushChunk = 32768;
constexpr int kFlushRetries = 5;
constexpr std::chrono::milliseconds kFlushPause(10);

// The hooks a context keeps once its protocol is gone: every exchange fails.
SOAP_SOCKET StubOpen(struct soap* soap, const char*, const char*, int) {
  soap->error = kSoapFatalError;
  return SOAP_INVALID_SOCKET;
}
int StubClose(struct soap*) { return 0; }
int StubSend(struct soap*, const char*, std::size_t) { return kSoapFatalError; }
std::size_t StubReceive(struct soap*, char*, std::size_t) { return 0; }

// Milliseconds of `seconds` of the protocol's time, saturated.
DWORD SecondsToMs(uint64_t seconds) {
  const uint64_t ms = seconds * TimeLimits::Instance().usbSecondMs.load();
  return ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
}

// A failure of the device: what the transfer reports up.
ScanError DeviceFailure(const char* what) { return ScanError::Failed(CERR_SCANNER_COMMUNICATION_FAILED, what); }

// A system call on the device failed: logs the documented text (written for the Windows calls
// this layer stands in for) with the Linux call and errno's text after it; returns the failure.
ScanError LoggedCallFailure(const char* text, const char* call, int error) {
  const ScanError failure = ScanError::FromErrno(CERR_SCANNER_COMMUNICATION_FAILED, call, error);
  LogErrorTextWith(text, failure.Text().c_str());
  return failure;
}

// Logs the documented text as an error with the failure's own text after it; returns the
// failure.
ScanError LoggedFailure(const char* text, const ScanError& failure) {
  LogErrorTextWith(text, failure.Text().c_str());
  return failure;
}

// A wait for the device that ran out of time.
ScanError TimedOut() { return ScanError::Failed(CERR_SCANNER_COMMUNICATION_FAILED, "poll(): timed out"); }

// Inside a catch handler of a failed wait: what failed (the poll or eventfd call and errno's text).
ScanError WaitFailure() {
  try {
    throw;
  } catch (const std::exception& e) {
    return ScanError::Failed(CERR_SCANNER_COMMUNICATION_FAILED, e.what());
  } catch (...) {
    return DeviceFailure("the wait failed");
  }
}

// A pseudo-terminal carries bytes unchanged only in raw mode; a read waits for one byte.
void MakeRaw(int fd) {
  struct termios mode;
  if (tcgetattr(fd, &mode) != 0) return;
  cfmakeraw(&mode);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &mode);
}

}  // namespace

UsbProtocol::UsbProtocol(struct soap* soap) : soap_(soap), cancel_(true, false) {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::UsbProtocol");
}

UsbProtocol::~UsbProtocol() {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::~UsbProtocol");
  const ScanError closed = Close();
  if (!closed.Ok()) LogTextWith("Error! UsbProtocol::Close() failed unexpectedly", closed.Text().c_str());
  if (soap_) {
    soap_->fopen = StubOpen;
    soap_->fclose = StubClose;
    soap_->fsend = StubSend;
    soap_->frecv = StubReceive;
    if (SoapPointerMap::Lookup(soap_, kPointerMapKey) == this) {
      SoapPointerMap::Register(soap_, kPointerMapKey, nullptr);
    }
  }
}

void UsbProtocol::SetHooks(struct soap* soap) {
  soap->fclosesocket = CloseSocketHook;
  soap->fopen = OpenHook;
  soap->fclose = CloseHook;
  soap->fsend = SendHook;
  soap->frecv = ReceiveHook;
}

void UsbProtocol::Install(const char* devicePath) {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::Install");
  if (!devicePath || !soap_) RaiseError(CERR_INVALID_PARAMETER);
  endpoint_ = std::string("http:") + devicePath;
  SetHooks(soap_);
  EnableDefaultTimeout();
  SoapPointerMap::Register(soap_, kPointerMapKey, this);
}

ISoapIoProtocol* UsbProtocol::CloneInSoapPointerMap(struct soap* cloneSoap) {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::CloneInSoapPointerMap");
  if (!cloneSoap) return nullptr;
  UsbProtocol* clone = new UsbProtocol(cloneSoap);
  clone->endpoint_ = endpoint_;
  clone->timeout_ = timeout_.load();
  SetHooks(cloneSoap);
  SoapPointerMap::Register(cloneSoap, kPointerMapKey, clone);
  return clone;
}

void UsbProtocol::DestroyClone(struct soap* cloneSoap) {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::DestroyClone");
  delete static_cast<UsbProtocol*>(SoapPointerMap::Lookup(cloneSoap, kPointerMapKey));
  SoapPointerMap::Register(cloneSoap, kPointerMapKey, nullptr);
}

void UsbProtocol::EnableDefaultTimeout() {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::EnableDefaultTimeout");
  timeout_ = kDefaultTimeout;
}

void UsbProtocol::EnableShortTimeout() {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::EnableShortTimeout");
  timeout_ = kShortTimeout;
}

void UsbProtocol::Cancel() {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::Cancel");
  try {
    cancel_.Set();
  } catch (const std::exception&) {
    LogText("Warning! Failed to signal cancel_ event");
  }
}

void UsbProtocol::Reset() {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::Reset");
  try {
    cancel_.Reset();
  } catch (const std::exception&) {
    LogText("Failed to reset cancel event");
  }
}

void UsbProtocol::RecordedTimeouts(DWORD& read, DWORD& write, DWORD& event) const {
  read = readTimeout_;
  write = writeTimeout_;
  event = eventTimeout_;
}

long UsbProtocol::DeviceRead(void* buffer, std::size_t size) {
  return static_cast<long>(::read(device_, buffer, size));
}

// ---- open and close --------------------------------------------------------------------

int UsbProtocol::Open() {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::Open");
  if (endpoint_.empty()) {
    if (soap_) soap_->error = SoapResultOf(DeviceFailure("no device path"));
    return -1;
  }
  const char* path = endpoint_.c_str() + 5;  // after "http:"
  if (endpoint_.size() > kMaxEndpoint) {
    LogText("Warning! Endpoint name too long; reverting to NULL");
    path = nullptr;
  } else if (endpoint_.size() <= 5) {
    LogText("Warning! Endpoint name too short: reverting to NULL");
    path = nullptr;
  }
  if (device_ >= 0) Close();
  const int fd = path ? ::open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : -1;
  if (fd < 0) {
    if (path) LogErrorTextWith(path, ScanError::FromErrno(CERR_SCANNER_COMMUNICATION_FAILED, "open()", errno).Text().c_str());
    if (soap_) soap_->error = SoapResultOf(DeviceFailure("the device could not be opened"));
    return -1;
  }
  if (isatty(fd)) MakeRaw(fd);
  device_ = fd;
  try {
    InitTimeouts();
    ResetIo(kReadDataPipe);
  } catch (...) {
    Close();
    if (soap_) soap_->error = SoapResultOf(DeviceFailure("the device could not be set up"));
    return -1;
  }
  return device_;
}

ScanError UsbProtocol::Close() {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::Close");
  if (device_ < 0) return ScanError();
  // The descriptor is released even when close reports an error: keeping the number would
  // risk closing someone else's descriptor later.
  const int result = ::close(device_);
  const int error = errno;
  device_ = -1;
  return result == 0 ? ScanError() : ScanError::FromErrno(CERR_SCANNER_COMMUNICATION_FAILED, "close()", error);
}

// ---- the emulated device controls ------------------------------------------------------

ScanError UsbProtocol::DeviceIoControl(DWORD code, const void* input, DWORD inputSize) {
  if (device_ < 0) return ScanError::FromErrno(CERR_SCANNER_COMMUNICATION_FAILED, "device control", EBADF);
  if (code == kIoctlSetTimeout) {
    if (!input || inputSize != 3 * sizeof(DWORD))
      return ScanError::FromErrno(CERR_SCANNER_COMMUNICATION_FAILED, "set-time-out control", EINVAL);
    DWORD values[3];
    std::memcpy(values, input, sizeof values);
    readTimeout_ = values[0];
    writeTimeout_ = values[1];
    eventTimeout_ = values[2];
    return ScanError();
  }
  if (code == kIoctlResetPipe) {
    if (!input || inputSize != sizeof(DWORD))
      return ScanError::FromErrno(CERR_SCANNER_COMMUNICATION_FAILED, "reset-pipe control", EINVAL);
    // Discards what the device has sent and not been read.
    if (isatty(device_)) {
      if (tcflush(device_, TCIFLUSH) == 0) return ScanError();
      return ScanError::FromErrno(CERR_SCANNER_COMMUNICATION_FAILED, "tcflush()", errno);
    }
    char scratch[4096];
    for (;;) {
      const long n = DeviceRead(scratch, sizeof scratch);
      if (n > 0) continue;
      if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) return ScanError();
      if (errno != EINTR) return ScanError::FromErrno(CERR_SCANNER_COMMUNICATION_FAILED, "read()", errno);
    }
  }
  return ScanError::FromErrno(CERR_SCANNER_COMMUNICATION_FAILED, "device control", ENOTTY);
}

void UsbProtocol::InitTimeouts() {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::InitTimeouts");
  const DWORD seconds = static_cast<DWORD>(timeout_);
  const DWORD input[3] = {seconds, seconds, seconds};
  // The emulated control completes at once; it never leaves a transfer pending.
  const ScanError set = DeviceIoControl(kIoctlSetTimeout, input, sizeof input);
  if (!set.Ok()) {
    // On Linux the time-outs are kept and applied by this class (no system call): the control
    // fails only for a device that is not open or a malformed input.
    LogTextWith("Warning! Couldn't set timeouts; this is expected only on Windows 2000", set.Text().c_str());
  }
}

void UsbProtocol::ResetIo(DWORD pipe) {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::ResetIo");
  if (device_ < 0) {
    LogText("Invalid handle");
    RaiseErrorText("DeviceIoControl() failed unexpectedly");
  }
  const ScanError reset = DeviceIoControl(kIoctlResetPipe, &pipe, sizeof pipe);
  if (!reset.Ok()) {
    // What failed on Linux, before the documented text that ends the open.
    LogErrorText(reset.Within("reset-pipe control").Text().c_str());
    RaiseErrorText("DeviceIoControl() failed unexpectedly");
  }
}

// ---- waits -------------------------------------------------------------------------------

DWORD UsbProtocol::WaitLimitMs(Direction direction) const {
  // Twice the protocol's time-out, and no longer than the device's own time-out.
  DWORD seconds = static_cast<DWORD>(timeout_) * 2;
  const DWORD device = direction == Direction::In ? readTimeout_ : writeTimeout_;
  if (device != 0 && device < seconds) seconds = device;
  return SecondsToMs(seconds);
}

ScanError UsbProtocol::WaitForIo(Direction direction) {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::WaitForIo");
  if (device_ < 0) return DeviceFailure("the device is not open");
  const short events = static_cast<short>(direction == Direction::In ? POLLIN : POLLOUT);
  ExchangeGuard* guard = ExchangeGuard::Of(soap_);
  if (guard) {
    // An aborted exchange ends the wait at once.
    try {
      const int which = WaitForAnyOrFd({&guard->AbortEvent()}, device_, events, BoundedWaitMs(direction));
      if (which == 1) return ScanError();
      return which == 0 ? DeviceFailure("the exchange was aborted") : TimedOut();
    } catch (...) {
      return WaitFailure();
    }
  }
  struct pollfd pfd = {device_, events, 0};
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(WaitLimitMs(direction));
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int n = ::poll(&pfd, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (n > 0) return ScanError();  // ready, or an error the next transfer will report
    if (n == 0) return TimedOut();
    if (errno != EINTR) return ScanError::FromErrno(CERR_SCANNER_COMMUNICATION_FAILED, "poll()", errno);
  }
}

DWORD UsbProtocol::BoundedWaitMs(Direction direction) const {
  // No longer than the exchange in progress may last.
  DWORD limit = WaitLimitMs(direction);
  if (const ExchangeGuard* guard = ExchangeGuard::Of(soap_)) {
    const long long left = guard->MillisecondsLeft();
    if (left < static_cast<long long>(limit)) limit = left > 0 ? static_cast<DWORD>(left) : 0;
  }
  return limit;
}

ScanError UsbProtocol::WaitForCancelableIo() {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::WaitForCancelableIo");
  if (device_ < 0) return DeviceFailure("the device is not open");
  bool cancelled = false;
  bool ready = false;
  ScanError failure = TimedOut();
  // The cancel (of a cancelable read) and the abort of the exchange end the wait.
  std::vector<Waitable*> interrupts;
  if (cancelableIo_) interrupts.push_back(&cancel_);
  if (ExchangeGuard* guard = ExchangeGuard::Of(soap_)) interrupts.push_back(&guard->AbortEvent());
  if (!interrupts.empty()) {
    try {
      const int which = WaitForAnyOrFd(interrupts, device_, POLLIN, BoundedWaitMs(Direction::In));
      cancelled = which >= 0 && which < static_cast<int>(interrupts.size());
      ready = which == static_cast<int>(interrupts.size());
      if (cancelled) {
        failure = DeviceFailure(which == 0 && cancelableIo_ ? "the read was cancelled" : "the exchange was aborted");
      }
    } catch (...) {
      ready = false;
      failure = WaitFailure();
    }
  } else {
    struct pollfd pfd = {device_, POLLIN, 0};
    const int n = ::poll(&pfd, 1, static_cast<int>(WaitLimitMs(Direction::In)));
    ready = n > 0;
    cancelled = n < 0;  // the wait itself failed
    if (cancelled) failure = ScanError::FromErrno(CERR_SCANNER_COMMUNICATION_FAILED, "poll()", errno);
  }
  if (ready) return ScanError();
  if (cancelled) {
    CancelIo();
  } else {
    LogTextWith("Warning! I/O error", failure.Text().c_str());  // timed out, or the wait on both failed
  }
  return failure;
}

void UsbProtocol::CancelIo() {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::CancelIo");
  // Nothing is in flight: a transfer on the non-blocking descriptor either completed inside
  // its call or never started, so the cancel has nothing left to wait for.
}

// ---- transfers ---------------------------------------------------------------------------

ScanError UsbProtocol::Write(const void* data, DWORD length, DWORD& bytesWritten) {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::Write");
  bytesWritten = 0;
  if (device_ < 0) return LoggedFailure("Invalid handle", DeviceFailure("the device is not open"));
  ssize_t n = ::write(device_, data, length);
  if (n >= 0) {
    bytesWritten = static_cast<DWORD>(n);
    return ScanError();
  }
  if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    return LoggedCallFailure("WriteFile() failed unexpectedly", "write()", errno);
  }
  // Pending: the device takes no more now.
  const ScanError ready = WaitForIo(Direction::Out);
  if (!ready.Ok()) return LoggedFailure("WaitForIo() failed", ready);
  n = ::write(device_, data, length);
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    return LoggedCallFailure("GetOverlappedResult() failed unexpectedly", "write()", errno);
  }
  bytesWritten = n > 0 ? static_cast<DWORD>(n) : 0;
  // A character device has no buffers of ours to flush; fsync reports EINVAL for it.
  if (::fsync(device_) != 0 && errno != EINVAL && errno != EROFS) {
    return LoggedCallFailure("FlushFileBuffers() failed unexpectedly", "fsync()", errno);
  }
  return ScanError();
}

ScanError UsbProtocol::Read(void* buffer, DWORD size, DWORD& bytesRead) {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::Read");
  bytesRead = 0;
  if (device_ < 0) return LoggedFailure("Invalid handle", DeviceFailure("the device is not open"));
  long n = DeviceRead(buffer, size);
  if (n >= 0) {
    bytesRead = static_cast<DWORD>(n);
    return ScanError();
  }
  if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    return LoggedCallFailure("ReadFile() failed unexpectedly", "read()", errno);
  }
  const ScanError ready = WaitForCancelableIo();
  if (!ready.Ok()) return LoggedFailure("WaitForCancelableIo() failed unexpectedly", ready);
  n = DeviceRead(buffer, size);
  if (n < 0) {
    // Readiness without data (a spurious wake) completes as an empty read.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ScanError();
    return ScanError::FromErrno(CERR_SCANNER_COMMUNICATION_FAILED, "read()", errno);
  }
  bytesRead = static_cast<DWORD>(n);
  return ScanError();
}

ScanError UsbProtocol::Drain(void* buffer, DWORD size, DWORD& bytesRead, DWORD waitMs) {
  bytesRead = 0;
  if (device_ < 0) return LoggedFailure("Invalid handle", DeviceFailure("the device is not open"));
  long n = DeviceRead(buffer, size);
  if (n < 0 && waitMs > 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    // Nothing waiting: a device still sending may be between two writes.
    struct pollfd pfd = {device_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(waitMs)) <= 0) return ScanError();
    n = DeviceRead(buffer, size);
  }
  if (n >= 0) {
    bytesRead = static_cast<DWORD>(n);
    return ScanError();
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ScanError();
  return ScanError::FromErrno(CERR_SCANNER_COMMUNICATION_FAILED, "read()", errno);
}

bool UsbProtocol::Flush() {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::Flush");
  const int32_t saved = timeout_;
  timeout_ = static_cast<int32_t>(TimeLimits::Instance().usbFlushMs.load() / 1000);
  if (timeout_.load() < 1) timeout_ = 1;
  struct Restore {
    std::atomic<int32_t>& field;
    int32_t value;
    ~Restore() { field = value; }
  } restore{timeout_, saved};

  if (Open() < 0) return LogErrorText("Unable to open USB");
  // A device that never stops sending must not hold the scan thread for ever: the flush gives
  // up once data still comes after twice its time-out. A quiet device's empty reads are bounded
  // by the retry count, whatever the machine's load does to the pauses between them.
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(SecondsToMs(static_cast<uint64_t>(timeout_) * 2));
  std::vector<char> scratch(kFlushChunk);
  int retries = kFlushRetries;
  bool sawData = false;
  // A session that closes (or a host that gave up) ends the drain as it ends an exchange.
  const ExchangeGuard* guard = ExchangeGuard::Of(soap_);
  while (retries > 0) {
    if (guard && guard->Aborted()) {
      Close();
      return LogErrorText("Flush() aborted");
    }
    DWORD bytesRead = 0;
    // The first read gives the device a tenth of a second to send; the first after data half
    // a second, as a device that was sending (the rest of a page) may pause between two writes
    // while its scan head moves. The further empty reads of a quiet device do not wait.
    DWORD waitMs = 0;
    if (retries == kFlushRetries) waitMs = SecondsToMs(1) / (sawData ? 2 : 10);
    const ScanError drained = Drain(scratch.data(), kFlushChunk, bytesRead, waitMs);
    if (!drained.Ok()) {
      Close();
      return LogErrorTextWith("Read() failed unexpectedly", drained.Text().c_str());
    }
    if (bytesRead > 0) {
      sawData = true;
      retries = kFlushRetries;
    } else {
      std::this_thread::sleep_for(kFlushPause);
      --retries;
    }
    LogNamedValue("bytesRead", static_cast<int>(bytesRead));
    LogNamedValue("retries", retries);
    if (bytesRead > 0 && std::chrono::steady_clock::now() > deadline) {
      Close();
      return LogErrorText("Flush() did not drain the device in time");
    }
  }
  const ScanError closed = Close();
  if (!closed.Ok()) return LogErrorTextWith("Close() failed unexpectedly", closed.Text().c_str());
  return true;
}

// ---- hooks -------------------------------------------------------------------------------

UsbProtocol* UsbProtocol::Find(struct soap* soap) {
  return static_cast<UsbProtocol*>(SoapPointerMap::Lookup(soap, kPointerMapKey));
}

int UsbProtocol::OpenHook(struct soap* soap, const char*, const char*, int) {
  UsbProtocol* protocol = Find(soap);
  if (!protocol) {
    CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::Open");
    if (soap) soap->error = kSoapFatalError;
    return SOAP_INVALID_SOCKET;
  }
  return protocol->Open();
}

int UsbProtocol::CloseHook(struct soap* soap) {
  UsbProtocol* protocol = Find(soap);
  if (!protocol) {
    CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::Close");
    return kSoapFatalError;
  }
  return SoapResultOf(protocol->Close());
}

int UsbProtocol::SendHook(struct soap* soap, const char* data, std::size_t length) {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::Send");
  if (!data || length == 0) {
    LogText("Warning! No-op send attempted");
    return 0;
  }
  UsbProtocol* protocol = Find(soap);
  if (!protocol) return kSoapFatalError;
  std::size_t total = 0;
  while (total < length) {
    const std::size_t remaining = length - total;
    const DWORD chunk = remaining > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(remaining);
    LogNamedValue("Attempted write size", static_cast<int>(chunk));
    DWORD written = 0;
    const ScanError sent = protocol->Write(data + total, chunk, written);
    if (!sent.Ok()) return SoapResultOf(sent);
    LogNamedValue("Actual write size", static_cast<int>(written));
    total += written;
  }
  return 0;
}

int UsbProtocol::CloseSocketHook(struct soap* soap, int socket) {
  UsbProtocol* protocol = Find(soap);
  if (protocol && protocol->device_ >= 0 && protocol->device_ == socket) return SoapResultOf(protocol->Close());
  return ::close(socket) == 0 ? SOAP_OK : SOAP_EOF;
}

std::size_t UsbProtocol::ReceiveHook(struct soap* soap, char* buffer, std::size_t size) {
  CHRESULT2 hr(GetGlobalLog(), "UsbProtocol::Receive");
  if (!buffer || size == 0) {
    LogText("Warning! No-op receive attempted");
    return 0;
  }
  UsbProtocol* protocol = Find(soap);
  if (!protocol) return 0;
  const DWORD ask = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
  for (int empty = 0; empty < kMaxEmptyReads; ++empty) {
    LogNamedValue("Attempted read size", static_cast<int>(ask));
    DWORD got = 0;
    // A failed read is the end of input for the runtime.
    if (!protocol->Read(buffer, ask, got).Ok()) return 0;
    LogNamedValue("Actual read size", static_cast<int>(got));
    if (got > 0) return got;
  }
  LogErrorText("Too many empty reads; ending the input");
  return 0;
}
