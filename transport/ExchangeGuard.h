// The bounds of every SOAP exchange on one context, whatever carries its bytes (the library's
// TCP or the USB hooks): an overall deadline, a limit on the size of each response, length caps
// on the texts kept from it, and an abort that another thread can pull.
//
// The guard wraps the context's open, send, receive, socket-close and DIME-write hooks (the ones
// in place when it is attached, which it calls in turn). Each exchange opens its own connection,
// so the open hook starts the exchange's clock and counters.
//   - Control exchanges (everything but RetrieveImage): the whole exchange ends within the
//     shorter of the host's two waits (done event, idle answer), and its response is at most
//     kControlResponseBytes.
//   - Image exchanges (ExpectImage, around RetrieveImage): the response is at most the page's
//     capacity plus room for framing and envelope; the exchange fails when no image byte has
//     arrived for the stream's read limit (empty DIME chunks are no progress), and ends at the
//     latest after that limit plus the capacity at kMinImageBytesPerSecond.
//   - Probe exchanges (ExpectProbe, a discovery's GetScannerElements to a host that may not be
//     a scanner at all): the exchange ends by the caller's deadline, and its response is at
//     most kProbeResponseBytes.
//   - Texts: the context's string, nesting and repetition caps (kMaxTextLength, kMaxLevel,
//     kMaxOccurs); a longer text fails the parse.
// Each wait for the device's bytes is bounded by what is left of the exchange's time and is
// woken at once by Abort: the library's TCP reads through the context's receive time-out, which
// the guard narrows for each read, and through the socket, which Abort shuts down; a transport
// with waits of its own (USB) bounds them by MillisecondsLeft and wakes on AbortEvent.
// An exchange the guard ended reports its own status through Outcome: kExchangeTimedOut,
// kExchangeTooLarge or kExchangeAborted (service/ExchangeStatus.h), which the scan device
// reports as a communication failure.
//
// Threads: Attach, Detach, ExpectImage, ExpectControl, Outcome and the hooks run on the thread
// that owns the context, as do MillisecondsLeft and AbortEvent's waits. Abort, Rearm and Aborted
// may be called from any thread. `lock_` guards `socket_` (so that Abort never shuts down a
// descriptor the owner has closed and reused); `aborted_` and `abort_` are thread-safe; everything
// else belongs to the owner thread.
// Owns: its abort event. Registered in the context's pointer map under
// "ExchangeGuard" while attached; not the context.
#ifndef CAVIX_TRANSPORT_EXCHANGEGUARD_H
#define CAVIX_TRANSPORT_EXCHANGEGUARD_H

#include <stdsoap2.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "service/ExchangeStatus.h"

class ExchangeGuard {
 public:
  static const char* const kPointerMapKey;  // "ExchangeGuard"

  static constexpr uint64_t kControlResponseBytes = 256 * 1024;
  static constexpr uint64_t kEnvelopeBytes = 256 * 1024;  // besides a page, per image response
  static constexpr uint64_t kMinImageBytesPerSecond = 16 * 1024;
  static constexpr uint64_t kProbeResponseBytes = 64 * 1024;
  static constexpr long kMaxTextLength = 4096;
  static constexpr unsigned kMaxLevel = 64;
  static constexpr std::size_t kMaxOccurs = 1024;

  ExchangeGuard();
  ~ExchangeGuard();
  ExchangeGuard(const ExchangeGuard&) = delete;
  ExchangeGuard& operator=(const ExchangeGuard&) = delete;

  // Wraps the context's hooks as they are now and sets its text caps; registers the guard.
  void Attach(struct soap* soap);
  // Puts the wrapped hooks back and unregisters. Nothing when not attached.
  void Detach();
  static ExchangeGuard* Of(struct soap* soap);

  // The following exchanges carry a page of `capacity` bytes (RetrieveImage).
  void ExpectImage(uint64_t capacity);
  // The following exchanges are control exchanges (the default).
  void ExpectControl();
  // The following exchanges are probes that end by `deadline` (steady clock).
  void ExpectProbe(std::chrono::steady_clock::time_point deadline);

  // Ends the exchange in flight and fails every later one until Rearm. Any thread.
  void Abort();
  void Rearm();
  bool Aborted() const { return aborted_.load(); }
  // Signalled while aborted (manual reset), for the waits of a transport's own.
  Event& AbortEvent() { return abort_; }
  // Milliseconds left before the exchange in progress must end (<= 0: none).
  long long MillisecondsLeft() const;

  // The status of the last exchange: `status` itself, or the guard's status when the guard
  // ended it or the response broke a text cap. After a failure the texts of the context's
  // fault are cut to NetworkText::kMaxCharacters and cleaned (ServiceFault::ClipTexts).
  int Outcome(int status) const;

 private:
  using Clock = std::chrono::steady_clock;

  static SOAP_SOCKET OpenHook(struct soap* soap, const char* endpoint, const char* host, int port);
  static int CloseSocketHook(struct soap* soap, SOAP_SOCKET socket);
  static int SendHook(struct soap* soap, const char* data, std::size_t length);
  static std::size_t ReceiveHook(struct soap* soap, char* buffer, std::size_t size);
  static int DimeWriteHook(struct soap* soap, void* handle, const char* data, std::size_t length);

  void BeginExchange();
  // Records why the guard ended the exchange (the first reason stays); returns 0 bytes.
  std::size_t End(int status);

  struct soap* soap_ = nullptr;
  Event abort_{true, false};
  std::atomic<bool> aborted_{false};
  mutable Mutex lock_;
  SOAP_SOCKET socket_ GUARDED_BY(lock_) = SOAP_INVALID_SOCKET;

  // The hooks in place before Attach.
  SOAP_SOCKET (*open_)(struct soap*, const char*, const char*, int) = nullptr;
  int (*closeSocket_)(struct soap*, SOAP_SOCKET) = nullptr;
  int (*send_)(struct soap*, const char*, std::size_t) = nullptr;
  std::size_t (*receive_)(struct soap*, char*, std::size_t) = nullptr;
  int (*dimeWrite_)(struct soap*, void*, const char*, std::size_t) = nullptr;

  // The current exchange (owner thread).
  bool image_ = false;
  bool probe_ = false;
  Clock::time_point probeDeadline_;
  uint64_t capacity_ = 0;
  uint64_t maxBytes_ = kControlResponseBytes;
  uint64_t received_ = 0;
  int ended_ = 0;  // 0, or the guard's status
  Clock::time_point deadline_;
  Clock::time_point progressDeadline_;
  uint32_t progressMs_ = 0;
};

#endif
