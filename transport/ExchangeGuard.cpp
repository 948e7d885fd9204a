#include "transport/ExchangeGuard.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "platform/NetworkText.h"
#include "platform/TimeLimits.h"
#include "service/ServiceFault.h"
#include "service/SoapPointerMap.h"

const char* const ExchangeGuard::kPointerMapKey = "ExchangeGuard";

namespace {

// The library's time-outs: seconds when positive, microseconds when negative, none when 0.
constexpr long long kNoTimeout = -1;
long long TimeoutMs(int timeout) {
  if (timeout > 0) return static_cast<long long>(timeout) * 1000;
  if (timeout < 0) return -static_cast<long long>(timeout) / 1000;
  return kNoTimeout;
}

// A time-out of at most `ms` for the library, the shorter of it and `current`.
int BoundedTimeout(int current, long long ms) {
  const long long currentMs = TimeoutMs(current);
  if (currentMs != kNoTimeout && currentMs <= ms) return current;
  return -static_cast<int>(std::min<long long>(std::max<long long>(ms, 1) * 1000, 2000000000LL));
}

}  // namespace

ExchangeGuard::ExchangeGuard() = default;

ExchangeGuard::~ExchangeGuard() { Detach(); }

ExchangeGuard* ExchangeGuard::Of(struct soap* soap) {
  return static_cast<ExchangeGuard*>(SoapPointerMap::Lookup(soap, kPointerMapKey));
}

void ExchangeGuard::Attach(struct soap* soap) {
  Detach();
  if (!soap) return;
  soap_ = soap;
  open_ = soap->fopen;
  closeSocket_ = soap->fclosesocket;
  send_ = soap->fsend;
  receive_ = soap->frecv;
  dimeWrite_ = soap->fdimewrite;
  soap->fopen = OpenHook;
  soap->fclosesocket = CloseSocketHook;
  soap->fsend = SendHook;
  soap->frecv = ReceiveHook;
  if (dimeWrite_) soap->fdimewrite = DimeWriteHook;
  soap->maxlength = kMaxTextLength;
  soap->maxlevel = kMaxLevel;
  soap->maxoccurs = kMaxOccurs;
  SoapPointerMap::Register(soap, kPointerMapKey, this);
}

void ExchangeGuard::Detach() {
  if (!soap_) return;
  // Only the hooks still ours go back: a protocol may have replaced them since.
  if (soap_->fopen == OpenHook) soap_->fopen = open_;
  if (soap_->fclosesocket == CloseSocketHook) soap_->fclosesocket = closeSocket_;
  if (soap_->fsend == SendHook) soap_->fsend = send_;
  if (soap_->frecv == ReceiveHook) soap_->frecv = receive_;
  if (soap_->fdimewrite == DimeWriteHook) soap_->fdimewrite = dimeWrite_;
  if (Of(soap_) == this) SoapPointerMap::Unregister(soap_, kPointerMapKey);
  soap_ = nullptr;
}

void ExchangeGuard::ExpectImage(uint64_t capacity) {
  image_ = true;
  probe_ = false;
  capacity_ = capacity;
}

void ExchangeGuard::ExpectControl() {
  image_ = false;
  probe_ = false;
  capacity_ = 0;
}

void ExchangeGuard::ExpectProbe(Clock::time_point deadline) {
  ExpectControl();
  probe_ = true;
  probeDeadline_ = deadline;
}

void ExchangeGuard::Abort() {
  aborted_.store(true);
  try {
    abort_.Set();
  } catch (...) {
    // The flag and the socket's shutdown still end the exchange.
  }
  MutexLock hold(lock_);
  if (socket_ != SOAP_INVALID_SOCKET) ::shutdown(socket_, SHUT_RDWR);
}

void ExchangeGuard::Rearm() {
  if (!aborted_.exchange(false)) return;
  try {
    abort_.Reset();
  } catch (...) {
  }
}

int ExchangeGuard::Outcome(int status) const {
  // What a failed exchange kept of the device's fault stays within the text cap as well.
  if (status != SOAP_OK) ServiceFault::ClipTexts(soap_, NetworkText::kMaxCharacters);
  if (status == SOAP_OK || IsGuardStatus(status)) return status;
  if (ended_ != 0) return ended_;
  if (status == SOAP_LENGTH || status == SOAP_OCCURS || status == SOAP_LEVEL) return kExchangeTooLarge;
  return status;
}

void ExchangeGuard::BeginExchange() {
  const TimeLimits& limits = TimeLimits::Instance();
  const Clock::time_point now = Clock::now();
  received_ = 0;
  ended_ = 0;
  if (probe_) {
    maxBytes_ = kProbeResponseBytes;
    deadline_ = probeDeadline_;
    progressDeadline_ = deadline_;
  } else if (image_) {
    progressMs_ = limits.streamReadMs.load();
    maxBytes_ = capacity_ + capacity_ / 4 + kEnvelopeBytes;
    const uint64_t transferMs = capacity_ * 1000 / kMinImageBytesPerSecond;
    deadline_ = now + std::chrono::milliseconds(progressMs_ + transferMs);
    progressDeadline_ = now + std::chrono::milliseconds(progressMs_);
  } else {
    // No longer than the host waits for the operation that asked for the exchange.
    const uint32_t hostWaitMs = std::min(limits.doneEventMs.load(), limits.idleMs.load());
    maxBytes_ = kControlResponseBytes;
    deadline_ = now + std::chrono::milliseconds(hostWaitMs);
    progressDeadline_ = deadline_;
  }
}

std::size_t ExchangeGuard::End(int status) {
  if (ended_ == 0) ended_ = status;
  return 0;
}

long long ExchangeGuard::MillisecondsLeft() const {
  const Clock::time_point until = std::min(deadline_, progressDeadline_);
  return std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
}

// ---- hooks ---------------------------------------------------------------------------------

SOAP_SOCKET ExchangeGuard::OpenHook(struct soap* soap, const char* endpoint, const char* host, int port) {
  ExchangeGuard* guard = Of(soap);
  if (!guard || !guard->open_) {
    soap->error = SOAP_FATAL_ERROR;
    return SOAP_INVALID_SOCKET;
  }
  guard->BeginExchange();
  if (guard->aborted_.load()) {
    guard->End(kExchangeAborted);
    soap->error = SOAP_EOF;
    return SOAP_INVALID_SOCKET;
  }
  // The connect waits no longer than the exchange may last.
  const int savedConnect = soap->connect_timeout;
  soap->connect_timeout = BoundedTimeout(savedConnect, guard->MillisecondsLeft());
  const SOAP_SOCKET socket = guard->open_(soap, endpoint, host, port);
  soap->connect_timeout = savedConnect;
  if (socket != SOAP_INVALID_SOCKET) {
    MutexLock hold(guard->lock_);
    guard->socket_ = socket;
    // An abort that came during the connect finds the socket here.
    if (guard->aborted_.load()) ::shutdown(socket, SHUT_RDWR);
  }
  return socket;
}

int ExchangeGuard::CloseSocketHook(struct soap* soap, SOAP_SOCKET socket) {
  ExchangeGuard* guard = Of(soap);
  if (guard) {
    MutexLock hold(guard->lock_);
    if (guard->socket_ == socket) guard->socket_ = SOAP_INVALID_SOCKET;
  }
  if (guard && guard->closeSocket_) return guard->closeSocket_(soap, socket);
  return ::close(socket) == 0 ? SOAP_OK : SOAP_EOF;
}

int ExchangeGuard::SendHook(struct soap* soap, const char* data, std::size_t length) {
  ExchangeGuard* guard = Of(soap);
  if (!guard || !guard->send_) return SOAP_EOF;
  if (guard->aborted_.load()) return guard->End(kExchangeAborted), SOAP_EOF;
  const long long left = guard->MillisecondsLeft();
  if (left <= 0) return guard->End(kExchangeTimedOut), SOAP_EOF;
  // A device that takes no bytes holds the send no longer than the exchange may last.
  const int saved = soap->send_timeout;
  soap->send_timeout = BoundedTimeout(saved, left);
  const int result = guard->send_(soap, data, length);
  soap->send_timeout = saved;
  if (result != SOAP_OK && guard->aborted_.load()) guard->End(kExchangeAborted);
  return result;
}

std::size_t ExchangeGuard::ReceiveHook(struct soap* soap, char* buffer, std::size_t size) {
  ExchangeGuard* guard = Of(soap);
  if (!guard || !guard->receive_) return 0;
  if (guard->ended_ != 0) return 0;
  if (guard->aborted_.load()) return guard->End(kExchangeAborted);
  if (guard->received_ >= guard->maxBytes_) return guard->End(kExchangeTooLarge);
  const long long left = guard->MillisecondsLeft();
  if (left <= 0) return guard->End(kExchangeTimedOut);
  // The read waits no longer than the exchange may last.
  const int saved = soap->recv_timeout;
  soap->recv_timeout = BoundedTimeout(saved, left);
  const std::size_t ask = static_cast<std::size_t>(std::min<uint64_t>(size, guard->maxBytes_ - guard->received_));
  const std::size_t got = guard->receive_(soap, buffer, ask);
  soap->recv_timeout = saved;
  guard->received_ += got;
  if (got == 0) {
    if (guard->aborted_.load()) return guard->End(kExchangeAborted);
    if (guard->MillisecondsLeft() <= 0) return guard->End(kExchangeTimedOut);
  }
  return got;
}

int ExchangeGuard::DimeWriteHook(struct soap* soap, void* handle, const char* data, std::size_t length) {
  ExchangeGuard* guard = Of(soap);
  if (!guard || !guard->dimeWrite_) return SOAP_FATAL_ERROR;
  // Only image bytes are progress: an empty chunk does not extend the wait for the next.
  if (length > 0) {
    guard->progressDeadline_ = Clock::now() + std::chrono::milliseconds(guard->progressMs_);
    if (guard->progressDeadline_ > guard->deadline_) guard->progressDeadline_ = guard->deadline_;
  }
  return guard->dimeWrite_(soap, handle, data, length);
}
