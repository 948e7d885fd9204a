// One connection of the simulated scanner: a gSOAP server context over a file descriptor (an
// accepted TCP socket or the pseudo-terminal's master side) that reads requests, lets the six
// service operations answer them from the ScannerModel, and writes the responses in paced
// pieces. A RetrieveImage answer streams the page as a chunked DIME attachment straight from
// the page encoder.
//
// Threads: a connection is served by one thread at a time (the thread that calls Serve). The
// stop flag it watches belongs to the simulator and may be set from any thread; every wait of
// the connection polls it at least every 100 ms.
#ifndef CAVIX_SIM_SOAPCONNECTION_H
#define CAVIX_SIM_SOAPCONNECTION_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "sim/ScannerModel.h"

struct soap;

namespace cavixsim {

class PageTransfer;

class SoapConnection {
 public:
  // `fd` is not owned (the caller closes it). `pty`: the descriptor is a terminal that stays
  // open between exchanges rather than a socket of one exchange.
  SoapConnection(ScannerModel& model, const std::atomic<bool>& stopping, int fd, bool pty);
  ~SoapConnection();
  SoapConnection(const SoapConnection&) = delete;
  SoapConnection& operator=(const SoapConnection&) = delete;

  // Reads and answers one request. False when the peer went away, the descriptor failed or
  // the simulator is stopping (nothing more to serve on this descriptor).
  bool ServeOne();

  // Used by the service operations (they find the connection through the context).
  static SoapConnection* From(struct soap* soap);
  ScannerModel& model() { return model_; }
  // Answers with a fault; returns the status for the operation to return.
  int SendFault(const Fault& fault);
  // Keeps silent on the current request; returns the status for the operation to return.
  int StaySilent();
  // Answers with `response` as element `tag`: returns SOAP_OK for the generated code to write
  // it, or, when the envelope is to be rewritten (configuration, or the scanner elements'
  // arrays), writes it here and returns SOAP_STOP.
  template <typename T>
  int Respond(const T& response, const char* tag);
  // Sets the RetrieveImage response object (a wscn__RetrieveImageResponseType) up to carry
  // the planned page as a streamed, chunked DIME attachment; returns SOAP_OK.
  int StartImage(const PagePlan& plan, void* responseObject);
  // The number AbsurdNumbers writes where a count or a size belongs.
  static constexpr int kAbsurdNumber = 2147483647;
  // Hostile answers (SimTypes.h). Trickle makes the rest of this answer trickle and returns
  // false (answer as usual). The others write the whole hostile answer here and return true
  // with the status for the operation to return in `status`.
  bool Misbehave(Operation op, uint32_t jobId, Misbehaviour kind, int& status);
  // The same for RetrieveImage, with the page the job is to send.
  bool MisbehaveImage(const PagePlan& plan, Misbehaviour kind, int& status);
  // Marks that an operation ran (so a failed exchange is a bad request only when none did).
  void NoteHandled() { handled_ = true; }

 private:
  static int SendHook(struct soap* soap, const char* data, size_t n);
  static size_t RecvHook(struct soap* soap, char* buf, size_t n);
  static int CloseHook(struct soap* soap);
  void NoteReceived(const char* data, size_t n);
  static void* DimeOpen(struct soap* soap, void* handle, const char* id, const char* type,
                        const char* options);
  static size_t DimeRead(struct soap* soap, void* handle, char* buf, size_t len);
  static void DimeClose(struct soap* soap, void* handle);

  bool WaitFd(short events);
  // Sleeps up to ms; false when the simulator is stopping.
  bool Pause(uint32_t ms);
  // An HTTP answer of our own making, in chunked transfer encoding.
  bool WriteHttpHeader(const std::string& status, const std::string& contentType);
  bool WriteHttpChunk(const std::string& data);
  bool WriteHttpEnd();
  bool WriteAll(const char* data, size_t n);
  int SendRaw(const std::string& status, const std::string& contentType, const std::string& body);
  bool RewritesEnvelopes() const;
  std::string RenderFault(const Fault& fault) const;
  int FinishRendered(const std::string& document, bool arrayTypeForm);
  // Reports the page's end to the model once (keeping the transfer), or also drops it.
  void EndTransferKeep();
  void EndTransfer();

  ScannerModel& model_;
  const std::atomic<bool>& stopping_;
  const int fd_;
  const bool pty_;
  SimConfig config_;  // snapshot taken per request
  struct soap* soap_;
  std::unique_ptr<PageTransfer> transfer_;
  bool transferReported_ = false;
  bool handled_ = false;
  bool abort_ = false;       // the response is to break off
  bool sendFailed_ = false;
  bool trickle_ = false;     // the current answer goes out one byte at a time
  uint64_t sentBytes_ = 0;   // bytes of the current response written
  uint64_t receivedBytes_ = 0;  // bytes of the current request read
  std::string headerText_;      // the request's HTTP header as it arrives
  bool headerDone_ = false;
  long long contentLength_ = -1;  // -1: not given (chunked or none)
  uint64_t bodyReceived_ = 0;
  std::chrono::steady_clock::time_point paceStart_;
};

}  // namespace cavixsim

#endif
