#include "sim/SoapConnection.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <sstream>
#include <thread>

#include "service/ServiceContext.h"
#include "service/WscnService.h"
#include "sim/PageTransfer.h"
#include "sim/XmlMangler.h"

namespace cavixsim {

namespace {

constexpr int kPollMs = 100;
// The first write of a response carries at least this much, so that the envelope and the
// first attachment record (with a JPEG page's whole header) arrive together, as they would
// in a device's first packet.
constexpr size_t kFirstWriteMin = 8192;
// A request whose bytes stop coming for this long ends as if its connection had closed.
constexpr int kRequestIdleMs = 5000;

std::string XmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

Ticket TicketFrom(const wscn__ScanTicketType* t) {
  Ticket k;
  if (!t) return k;
  const wscn__DocumentParametersType& d = t->DocumentParameters;
  k.format = d.Format;
  k.compressionQualityFactor = d.CompressionQualityFactor;
  k.imagesToTransfer = d.ImagesToTransfer;
  k.inputSource = d.InputSource;
  k.contentType = d.ContentType;
  k.mediaWidth = d.InputSize.InputMediaSize.Width;
  k.mediaHeight = d.InputSize.InputMediaSize.Height;
  k.sizeAutoDetect = d.InputSize.DocumentSizeAutoDetect;
  k.autoExposure = d.Exposure.AutoExposure;
  k.contrast = d.Exposure.ExposureSettings.Contrast;
  const wscn__MediaSideOverrideType& f = d.MediaSides.MediaFront;
  k.regionX = f.ScanRegion.ScanRegionXOffset;
  k.regionY = f.ScanRegion.ScanRegionYOffset;
  k.regionWidth = f.ScanRegion.ScanRegionWidth;
  k.regionHeight = f.ScanRegion.ScanRegionHeight;
  k.colorProcessing = f.ColorProcessing;
  k.resolutionX = f.Resolution.Width;
  k.resolutionY = f.Resolution.Height;
  k.retrieveImageTimeout = t->RetrieveImageTimeout;
  k.imageProcessingRemoval = t->ScanManufacturingParameters.ImageProcessingRemoval;
  return k;
}

void FillFinalParameters(const Ticket& k, wscn__ActualDocumentParametersType& d) {
  d.Format = static_cast<wscn__ScanDocumentFormat>(k.format);
  d.CompressionQualityFactor = k.compressionQualityFactor;
  d.ImagesToTransfer = k.imagesToTransfer;
  d.InputSource = static_cast<wscn__ScanInputSource>(k.inputSource);
  d.ContentType = static_cast<wscn__ContentType>(k.contentType);
  d.InputSize.InputMediaSize.Width = k.mediaWidth;
  d.InputSize.InputMediaSize.Height = k.mediaHeight;
  d.InputSize.DocumentSizeAutoDetect = k.sizeAutoDetect;
  d.Exposure.AutoExposure = k.autoExposure;
  d.Exposure.ExposureSettings.Contrast = k.contrast;
  wscn__MediaSideOverrideType& f = d.MediaSides.MediaFront;
  f.ScanRegion.ScanRegionXOffset = k.regionX;
  f.ScanRegion.ScanRegionYOffset = k.regionY;
  f.ScanRegion.ScanRegionWidth = k.regionWidth;
  f.ScanRegion.ScanRegionHeight = k.regionHeight;
  f.ColorProcessing = static_cast<wscn__ColorEntryType>(k.colorProcessing);
  f.Resolution.Width = k.resolutionX;
  f.Resolution.Height = k.resolutionY;
}

template <typename T>
void SetPair(T& pair, int width, int height) {
  pair.Width = width;
  pair.Height = height;
}

template <typename E>
E* SoapArray(struct soap* soap, std::initializer_list<E> values) {
  E* p = static_cast<E*>(soap_malloc(soap, sizeof(E) * values.size()));
  std::copy(values.begin(), values.end(), p);
  return p;
}

}  // namespace

SoapConnection::SoapConnection(ScannerModel& model, const std::atomic<bool>& stopping, int fd, bool pty)
    : model_(model), stopping_(stopping), fd_(fd), pty_(pty), soap_(soap_new()) {
  if (!soap_) return;
  ServiceContext::Prepare(soap_);
  soap_set_omode(soap_, SOAP_IO_CHUNK);
  soap_->user = this;
  soap_->fsend = &SendHook;
  soap_->frecv = &RecvHook;
  soap_->fclose = &CloseHook;
}

SoapConnection::~SoapConnection() {
  EndTransfer();
  if (soap_) {
    soap_->user = nullptr;
    ServiceContext::Destroy(soap_);
  }
}

SoapConnection* SoapConnection::From(struct soap* soap) {
  return soap ? static_cast<SoapConnection*>(soap->user) : nullptr;
}

bool SoapConnection::ServeOne() {
  if (!soap_ || stopping_) return false;
  config_ = model_.Config();
  ServiceContext::Prepare(soap_);  // fresh namespace table: a SOAP 1.1 answer changed it
  soap_->version = 2;
  // The descriptor counts as the context's socket (so that answers carry an HTTP status
  // line); the hooks do all the I/O and the owner closes it.
  soap_->socket = fd_;
  soap_->keep_alive = 0;
  handled_ = false;
  abort_ = false;
  sendFailed_ = false;
  trickle_ = false;
  sentBytes_ = 0;
  receivedBytes_ = 0;
  headerText_.clear();
  headerDone_ = false;
  contentLength_ = -1;
  bodyReceived_ = 0;
  paceStart_ = std::chrono::steady_clock::now();
  soap_->fdimereadopen = nullptr;
  soap_->fdimeread = nullptr;
  soap_->fdimereadclose = nullptr;
  soap_clr_dime(soap_);
  soap_serve(soap_);
  const int error = soap_->error;
  EndTransfer();
  // A request that no operation took (unreadable, unknown element) is a bad request: the
  // SOAP library answered most with a fault; one it could not take for SOAP at all (the
  // message ended before its envelope, or it held no XML) gets a Sender fault here. End of input before any byte is no request at all.
  if (!handled_ && error != SOAP_OK && receivedBytes_ > 0 && !stopping_) {
    const char* reason = soap_->fault ? *soap_faultstring(soap_) : nullptr;
    std::string text = reason ? reason : "Malformed request: no complete SOAP envelope";
    model_.BadRequest(text);
    if (sentBytes_ == 0 && !sendFailed_) {
      Fault f;
      f.reason = text;
      const bool v11 = config_.soap11;
      config_.soap11 = false;
      SendRaw("400 Bad Request", "application/soap+xml; charset=utf-8", RenderFault(f));
      config_.soap11 = v11;
    }
  }
  const bool peerGone = error == SOAP_EOF && !handled_;
  soap_destroy(soap_);
  soap_end(soap_);
  return !(peerGone || sendFailed_ || stopping_);
}

void SoapConnection::EndTransfer() {
  if (!transfer_) return;
  EndTransferKeep();
  transfer_.reset();
}

void SoapConnection::EndTransferKeep() {
  if (!transfer_ || transferReported_) return;
  const bool complete = transfer_->Finished() && !abort_ && !sendFailed_;
  model_.PageTransferEnded(transfer_->plan(), transfer_->bytes(), transfer_->hash(), complete,
                           std::move(transfer_->data()));
  transferReported_ = true;
}

bool SoapConnection::WaitFd(short events) {
  while (!stopping_) {
    pollfd p{fd_, events, 0};
    int r = poll(&p, 1, kPollMs);
    if (r < 0 && errno != EINTR) return false;
    if (r > 0) {
      if (p.revents & (POLLERR | POLLNVAL)) return false;
      if (p.revents & POLLHUP && !(p.revents & POLLIN)) return false;
      return true;
    }
  }
  return false;
}

bool SoapConnection::Pause(uint32_t ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopping_) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return true;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(kPollMs)));
  }
  return false;
}

bool SoapConnection::WriteAll(const char* data, size_t n) {
  while (n > 0) {
    if (abort_) return false;
    size_t piece = std::min<size_t>(n, config_.chunkSize);
    if (sentBytes_ < kFirstWriteMin) piece = std::min(n, std::max<size_t>(piece, kFirstWriteMin - sentBytes_));
    if (trickle_) {
      piece = 1;
      if (!Pause(config_.trickleIntervalMs)) return false;
    }
    if (config_.rateBytesPerSecond > 0) {
      // Wait until the bytes already sent fit the rate.
      auto due = paceStart_ + std::chrono::microseconds(sentBytes_ * 1000000 / config_.rateBytesPerSecond);
      while (!stopping_) {
        auto now = std::chrono::steady_clock::now();
        if (now >= due) break;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            due - now, std::chrono::milliseconds(kPollMs)));
      }
    }
    size_t done = 0;
    while (done < piece) {
      if (!WaitFd(POLLOUT)) return false;
      ssize_t w = pty_ ? write(fd_, data + done, piece - done)
                       : send(fd_, data + done, piece - done, MSG_NOSIGNAL);
      if (w < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        return false;
      }
      done += size_t(w);
    }
    sentBytes_ += piece;
    data += piece;
    n -= piece;
  }
  return true;
}

int SoapConnection::SendHook(struct soap* soap, const char* data, size_t n) {
  SoapConnection* self = From(soap);
  if (!self) return SOAP_EOF;
  if (soap->os) {
    // An envelope rendered into a string for rewriting.
    soap->os->write(data, std::streamsize(n));
    return SOAP_OK;
  }
  if (self->sendFailed_) return SOAP_EOF;
  if (!self->WriteAll(data, n)) {
    self->sendFailed_ = true;
    // A break-off on a socket ends the connection at once; the peer sees a cut message.
    if (!self->pty_) shutdown(self->fd_, SHUT_RDWR);
    return SOAP_EOF;
  }
  return SOAP_OK;
}

void SoapConnection::NoteReceived(const char* data, size_t n) {
  receivedBytes_ += n;
  if (headerDone_) {
    bodyReceived_ += n;
    return;
  }
  // Watch the request's header go by to learn its Content-Length: the SOAP library reads on
  // until the XML ends, so a request cut short would otherwise keep it waiting.
  const size_t before = headerText_.size();
  headerText_.append(data, n);
  const size_t end = headerText_.find("\r\n\r\n");
  if (end == std::string::npos) {
    if (headerText_.size() > 65536) headerDone_ = true;  // no header end: no limit known
    return;
  }
  headerDone_ = true;
  bodyReceived_ = headerText_.size() - (end + 4);
  (void)before;
  std::string header = headerText_.substr(0, end);
  for (char& c : header) c = char(std::tolower(static_cast<unsigned char>(c)));
  const size_t at = header.find("\r\ncontent-length:");
  if (at != std::string::npos) {
    contentLength_ = std::strtoll(header.c_str() + at + 17, nullptr, 10);
  } else if (header.find("\r\ntransfer-encoding:") == std::string::npos) {
    contentLength_ = 0;  // neither length nor chunks: an HTTP/1.1 request without a body
  }
}

size_t SoapConnection::RecvHook(struct soap* soap, char* buf, size_t n) {
  SoapConnection* self = From(soap);
  if (!self) return 0;
  auto lastData = std::chrono::steady_clock::now();
  for (;;) {
    if (self->headerDone_ && self->contentLength_ >= 0 &&
        self->bodyReceived_ >= uint64_t(self->contentLength_))
      return 0;  // the whole body is in: end of input
    if (self->receivedBytes_ > 0 &&
        std::chrono::steady_clock::now() - lastData > std::chrono::milliseconds(kRequestIdleMs))
      return 0;  // a request that stopped half way
    pollfd p{self->fd_, POLLIN, 0};
    if (self->stopping_) return 0;
    int ready = poll(&p, 1, kPollMs);
    if (ready < 0 && errno != EINTR) return 0;
    if (ready <= 0) continue;
    if ((p.revents & (POLLERR | POLLNVAL)) || ((p.revents & POLLHUP) && !(p.revents & POLLIN)))
      return 0;
    ssize_t r = self->pty_ ? read(self->fd_, buf, n) : recv(self->fd_, buf, n, 0);
    if (r > 0) {
      self->NoteReceived(buf, size_t(r));
      return size_t(r);
    }
    if (r == 0 && !self->pty_) return 0;
    if (r < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) return 0;
    if (self->pty_) {
      // No slave side open right now (EIO) or nothing after all: wait a little.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

int SoapConnection::CloseHook(struct soap*) { return SOAP_OK; }

void* SoapConnection::DimeOpen(struct soap*, void* handle, const char*, const char*, const char*) {
  return handle;
}

size_t SoapConnection::DimeRead(struct soap* soap, void* handle, char* buf, size_t len) {
  SoapConnection* self = From(soap);
  PageTransfer* t = static_cast<PageTransfer*>(handle);
  if (!self || !t) return 0;
  if (self->stopping_ || self->model_.JobCanceled(t->plan())) {
    // A cancelled job stops its transfer: the rest of the message is not sent.
    self->abort_ = true;
    return 0;
  }
  size_t n = t->Read(reinterpret_cast<uint8_t*>(buf), len);
  // A page that breaks off cuts the connection here: nothing more reaches the peer, and the
  // message never ends.
  if (t->BrokeOff() || t->ReachedBreak()) self->abort_ = true;
  return n;
}

void SoapConnection::DimeClose(struct soap* soap, void* handle) {
  SoapConnection* self = From(soap);
  if (!self || !self->transfer_ || handle != self->transfer_.get()) return;
  // Every byte of the page is with the transport now: the job moves on before the peer can
  // ask about it.
  self->EndTransferKeep();
}

bool SoapConnection::RewritesEnvelopes() const {
  return config_.soap11 || config_.reorderElements || config_.extraElements || config_.enumNumbers;
}

int SoapConnection::SendRaw(const std::string& status, const std::string& contentType,
                            const std::string& body) {
  std::ostringstream msg;
  msg << "HTTP/1.1 " << status << "\r\n"
      << "Server: cavix-devsim\r\n"
      << "Content-Type: " << contentType << "\r\n"
      << "Content-Length: " << body.size() << "\r\n"
      << "Connection: close\r\n\r\n"
      << body;
  const std::string text = msg.str();
  if (!WriteAll(text.data(), text.size())) sendFailed_ = true;
  return SOAP_STOP;
}

std::string SoapConnection::RenderFault(const Fault& f) const {
  std::ostringstream x;
  const bool v11 = config_.soap11;
  x << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\""
    << (v11 ? "http://schemas.xmlsoap.org/soap/envelope/" : "http://www.w3.org/2003/05/soap-envelope")
    << "\" xmlns:wscn=\"http://tempuri.org/wscn.xsd\"><SOAP-ENV:Body><SOAP-ENV:Fault>";
  if (v11) {
    // SOAP 1.1 has no subcode: the reason code takes its place when there is one.
    std::string code = !f.subcode.empty() ? f.subcode
                                          : (f.code == "Receiver" ? "SOAP-ENV:Server" : "SOAP-ENV:Client");
    x << "<faultcode>" << XmlEscape(code) << "</faultcode><faultstring>" << XmlEscape(f.reason)
      << "</faultstring>";
  } else {
    x << "<SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:" << (f.code == "Receiver" ? "Receiver" : "Sender")
      << "</SOAP-ENV:Value>";
    if (!f.subcode.empty())
      x << "<SOAP-ENV:Subcode><SOAP-ENV:Value>" << XmlEscape(f.subcode) << "</SOAP-ENV:Value></SOAP-ENV:Subcode>";
    x << "</SOAP-ENV:Code><SOAP-ENV:Reason><SOAP-ENV:Text xml:lang=\"en\">" << XmlEscape(f.reason)
      << "</SOAP-ENV:Text></SOAP-ENV:Reason>";
  }
  x << "</SOAP-ENV:Fault></SOAP-ENV:Body></SOAP-ENV:Envelope>\n";
  return x.str();
}

int SoapConnection::SendFault(const Fault& f) {
  if (RewritesEnvelopes()) {
    const bool sender = f.code != "Receiver";
    return SendRaw(sender && !config_.soap11 ? "400 Bad Request" : "500 Internal Server Error",
                   config_.soap11 ? "text/xml; charset=utf-8" : "application/soap+xml; charset=utf-8",
                   RenderFault(f));
  }
  const char* subcode = f.subcode.empty() ? nullptr : soap_strdup(soap_, f.subcode.c_str());
  const char* reason = soap_strdup(soap_, f.reason.c_str());
  return f.code == "Receiver" ? soap_receiver_fault_subcode(soap_, subcode, reason, nullptr)
                              : soap_sender_fault_subcode(soap_, subcode, reason, nullptr);
}

int SoapConnection::StaySilent() {
  if (!pty_) {
    // Hold the connection without a word until the peer gives up or the simulator stops.
    char byte;
    while (WaitFd(POLLIN)) {
      ssize_t r = recv(fd_, &byte, 1, MSG_PEEK);
      if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) break;
      if (r > 0) {
        // Unexpected extra bytes: swallow them and keep waiting.
        recv(fd_, &byte, 1, 0);
      }
    }
  }
  return SOAP_STOP;
}

int SoapConnection::FinishRendered(const std::string& document, bool arrayTypeForm) {
  XmlMangler::Options o;
  o.arrayTypeForm = arrayTypeForm;
  o.reorder = config_.reorderElements;
  o.extraElements = config_.extraElements;
  o.enumNumbers = config_.enumNumbers;
  o.soap11 = config_.soap11;
  return SendRaw("200 OK",
                 config_.soap11 ? "text/xml; charset=utf-8" : "application/soap+xml; charset=utf-8",
                 XmlMangler::Apply(document, o));
}

template <typename T>
int SoapConnection::Respond(const T& response, const char* tag) {
  // The scanner elements always go through the rewriting: their arrays are written in the
  // arrayType form devices use.
  const bool arrays = std::string(tag) == "wscn:ScanElements";
  if (!RewritesEnvelopes() && !arrays) return SOAP_OK;
  // Let the generated serializer write the envelope into a string, then rewrite it.
  std::ostringstream out;
  const soap_mode savedOmode = soap_->omode;
  soap_->omode = (soap_->omode & ~(SOAP_IO | SOAP_ENC_DIME)) | SOAP_IO_BUFFER;
  soap_->os = &out;
  soap_->encodingStyle = nullptr;
  soap_serializeheader(soap_);
  response.soap_serialize(soap_);
  const bool failed = soap_begin_send(soap_) || soap_envelope_begin_out(soap_) ||
                      soap_putheader(soap_) || soap_body_begin_out(soap_) ||
                      response.soap_put(soap_, tag, "") || soap_body_end_out(soap_) ||
                      soap_envelope_end_out(soap_) || soap_end_send(soap_);
  soap_->os = nullptr;
  soap_->omode = savedOmode;
  if (failed) return soap_->error;
  return FinishRendered(out.str(), arrays);
}

int SoapConnection::StartImage(const PagePlan& plan, void* responseObject) {
  auto* r = static_cast<wscn__RetrieveImageResponseType*>(responseObject);
  transfer_.reset(new PageTransfer(plan, config_.keepPageBytes, model_.PageFile(plan)));
  transferReported_ = false;
  r->__ptr = reinterpret_cast<unsigned char*>(transfer_.get());
  r->__size = 0;  // unknown in advance: chunked DIME
  std::string id = "page-" + std::to_string(plan.jobId) + "-" + std::to_string(plan.imageInJob);
  r->id = soap_strdup(soap_, id.c_str());
  r->type = soap_strdup(soap_, plan.ticket.format == kFormatJfif ? "image/jpeg" : "application/octet-stream");
  r->options = nullptr;
  soap_set_dime(soap_);
  soap_->fdimereadopen = &DimeOpen;
  soap_->fdimeread = &DimeRead;
  soap_->fdimereadclose = &DimeClose;
  if (config_.soap11 && soap_->local_namespaces) {
    // Same message in a SOAP 1.1 envelope. The library owns (and frees) these texts.
    static const char* const kUris[2] = {"http://schemas.xmlsoap.org/soap/envelope/",
                                         "http://schemas.xmlsoap.org/soap/encoding/"};
    soap_->version = 1;
    for (int i = 0; i < 2; ++i) {
      Namespace& ns = soap_->local_namespaces[i];
      if (ns.out) SOAP_FREE(soap_, ns.out);
      ns.out = static_cast<char*>(SOAP_MALLOC(soap_, std::strlen(kUris[i]) + 1));
      std::strcpy(ns.out, kUris[i]);
    }
  }
  return SOAP_OK;
}

}  // namespace cavixsim

using cavixsim::Answer;
using cavixsim::SoapConnection;

// The six operations of the scan service, called by the generated dispatch (soap_serve).

int wscn__CreateScanJobRequest(struct soap* soap, char* ScanIdentifier, char* /*DestinationToken*/,
                               wscn__ScanTicketType* ScanTicket, wscn__CreateScanJobResponseType* response) {
  SoapConnection* c = SoapConnection::From(soap);
  if (!c) return SOAP_FATAL_ERROR;
  c->NoteHandled();
  if (c->model().Silent(cavixsim::Operation::CreateScanJob, 0)) return c->StaySilent();
  const cavixsim::Misbehaviour hostile = c->model().Misbehave(cavixsim::Operation::CreateScanJob);
  int status = SOAP_OK;
  if (c->Misbehave(cavixsim::Operation::CreateScanJob, 0, hostile, status)) return status;
  if (!ScanTicket) {
    cavixsim::Fault f;
    f.subcode = "wscn:ClientErrorInvalidArgs";
    f.reason = "The request carries no ScanTicket";
    c->model().BadRequest(f.reason);
    return c->SendFault(f);
  }
  Answer<cavixsim::CreatedJob> a = c->model().CreateScanJob(ScanIdentifier, cavixsim::TicketFrom(ScanTicket));
  if (!a.ok) return c->SendFault(a.fault);
  response->JobId = a.value.jobId;
  response->JobToken = soap_strdup(soap, a.value.token.c_str());
  wscn__RegionImageInformationBaseType& info = response->ImageInformation.MediaFrontImageInfo;
  info.PixelsPerLine = int(a.value.geometry.pixelsPerLine);
  info.NumberOfLines = int(a.value.geometry.lines);
  info.BytesPerLine = int(a.value.geometry.bytesPerLine);
  if (hostile == cavixsim::Misbehaviour::AbsurdNumbers) {
    info.PixelsPerLine = info.NumberOfLines = info.BytesPerLine = SoapConnection::kAbsurdNumber;
  }
  cavixsim::FillFinalParameters(a.value.ticket, response->DocumentFinalParameters);
  return c->Respond(*response, "wscn:CreateScanJobResponseType");
}

int wscn__RetrieveImageRequest(struct soap* soap, unsigned int JobId, char* JobToken,
                               wscn__DocumentDescriptionType* /*DocumentDescription*/,
                               wscn__RetrieveImageResponseType& Response) {
  SoapConnection* c = SoapConnection::From(soap);
  if (!c) return SOAP_FATAL_ERROR;
  c->NoteHandled();
  if (c->model().Silent(cavixsim::Operation::RetrieveImage, JobId)) return c->StaySilent();
  const cavixsim::Misbehaviour hostile = c->model().Misbehave(cavixsim::Operation::RetrieveImage);
  int status = SOAP_OK;
  if (hostile == cavixsim::Misbehaviour::HttpError &&
      c->Misbehave(cavixsim::Operation::RetrieveImage, JobId, hostile, status)) {
    return status;
  }
  Answer<cavixsim::PagePlan> a = c->model().RetrieveImage(JobId, JobToken);
  if (!a.ok) return c->SendFault(a.fault);
  if (c->MisbehaveImage(a.value, hostile, status)) return status;
  return c->StartImage(a.value, &Response);
}

int wscn__CancelJobRequest(struct soap* soap, unsigned int JobId, wscn__CancelRequestResponseType* response) {
  SoapConnection* c = SoapConnection::From(soap);
  if (!c) return SOAP_FATAL_ERROR;
  c->NoteHandled();
  if (c->model().Silent(cavixsim::Operation::CancelJob, JobId)) return c->StaySilent();
  {
    int status = SOAP_OK;
    if (c->Misbehave(cavixsim::Operation::CancelJob, JobId, c->model().Misbehave(cavixsim::Operation::CancelJob), status)) {
      return status;
    }
  }
  Answer<uint32_t> a = c->model().CancelJob(JobId);
  if (!a.ok) return c->SendFault(a.fault);
  response->JobId = a.value;
  return c->Respond(*response, "wscn:CancelRequestResponseType");
}

int wscn__GetScannerElements(struct soap* soap, wscn__ScanElements* response) {
  SoapConnection* c = SoapConnection::From(soap);
  if (!c) return SOAP_FATAL_ERROR;
  c->NoteHandled();
  if (c->model().Silent(cavixsim::Operation::GetScannerElements, 0)) return c->StaySilent();
  {
    int status = SOAP_OK;
    if (c->Misbehave(cavixsim::Operation::GetScannerElements, 0, c->model().Misbehave(cavixsim::Operation::GetScannerElements), status)) {
      return status;
    }
  }
  Answer<cavixsim::ScannerDescription> a = c->model().GetScannerElements();
  if (!a.ok) return c->SendFault(a.fault);
  const cavixsim::ScannerDescription& d = a.value;

  DeviceSettingsType& ds = response->ScannerConfiguration.DeviceSettings;
  ds.FormatSupported.__ptr = cavixsim::SoapArray(soap, {wscn__ScanDocumentFormat__jfif, wscn__ScanDocumentFormat__zkraw});
  ds.FormatSupported.__size = 2;
  ds.QualityFactorSupported = false;
  ds.ContentSupported.__ptr = cavixsim::SoapArray(
      soap, {wscn__ContentType__Auto, wscn__ContentType__Document, wscn__ContentType__Photo});
  ds.ContentSupported.__size = 3;
  ds.DocumentSizeAutoDetectSupported = false;
  ds.FeederCapacity = d.feederCapacity;
  ds.DuplexRotation = 0;
  ds.Rotation = 0;
  PlatenType& pl = response->ScannerConfiguration.Platen;
  pl.ColorSupported.__ptr = cavixsim::SoapArray(
      soap, {wscn__ColorEntryType__BlackandWhite1, wscn__ColorEntryType__GrayScale8, wscn__ColorEntryType__RGB24});
  pl.ColorSupported.__size = 3;
  cavixsim::SetPair(pl.PlatenMinimumSize, 1920, 1920);
  cavixsim::SetPair(pl.PlatenMaximumSize, 8500, 11690);
  cavixsim::SetPair(pl.PlatenOpticalResolution, 1200, 1200);
  pl.FlatbedSupported = true;
  ADFType& adf = response->ScannerConfiguration.ADF;
  adf.ADFSupported = true;
  adf.ADFSupportsDuplex = true;
  cavixsim::SetPair(adf.ADFMinimumSize, 1920, 1920);
  cavixsim::SetPair(adf.ADFMaximumSize, 8500, 14000);
  cavixsim::SetPair(adf.ADFOpticalResolution, 300, 300);

  wscn__ScannerStatusType& st = response->ScannerStatus;
  st.ScannerState = static_cast<wscn__ScannerStateType>(d.status.state);
  st.ScannerStateReason = static_cast<wscn__ScannerStateReasonsType>(d.status.reason);
  st.ScanToStatus.PaperInADF = d.status.paperInAdf;
  st.ScanToStatus.ScanToAvailable = !d.status.scanIdentifier.empty();
  st.ScanToStatus.ScanIdentifier =
      d.status.scanIdentifier.empty() ? nullptr : soap_strdup(soap, d.status.scanIdentifier.c_str());
  response->ScannerInfo.ModelNumber = soap_strdup(soap, d.model.c_str());
  return c->Respond(*response, "wscn:ScanElements");
}

int wscn__GetJobInfo(struct soap* soap, unsigned int jobId, wscn__JobSummaryType* response) {
  SoapConnection* c = SoapConnection::From(soap);
  if (!c) return SOAP_FATAL_ERROR;
  c->NoteHandled();
  if (c->model().Silent(cavixsim::Operation::GetJobInfo, jobId)) return c->StaySilent();
  {
    int status = SOAP_OK;
    if (c->Misbehave(cavixsim::Operation::GetJobInfo, jobId, c->model().Misbehave(cavixsim::Operation::GetJobInfo), status)) {
      return status;
    }
  }
  Answer<cavixsim::JobSummary> a = c->model().GetJobInfo(jobId);
  if (!a.ok) return c->SendFault(a.fault);
  response->JobId = a.value.jobId;
  response->JobState = static_cast<wscn__JobStateType>(a.value.state);
  response->JobStateReasons = static_cast<wscn__JobStateReasonsType>(a.value.reason);
  response->ScansCompleted = a.value.scansCompleted;
  return c->Respond(*response, "wscn:JobSummaryType");
}

int wscn__GetPreviousImagePadInfo(struct soap* soap, wscn__PadInfoResponseType* response) {
  SoapConnection* c = SoapConnection::From(soap);
  if (!c) return SOAP_FATAL_ERROR;
  c->NoteHandled();
  if (c->model().Silent(cavixsim::Operation::GetPreviousImagePadInfo, 0)) return c->StaySilent();
  const cavixsim::Misbehaviour hostile = c->model().Misbehave(cavixsim::Operation::GetPreviousImagePadInfo);
  int status = SOAP_OK;
  if (c->Misbehave(cavixsim::Operation::GetPreviousImagePadInfo, 0, hostile, status)) return status;
  Answer<int> a = c->model().GetPreviousImagePadInfo();
  if (!a.ok) return c->SendFault(a.fault);
  response->TotalPadLines = hostile == cavixsim::Misbehaviour::AbsurdNumbers ? SoapConnection::kAbsurdNumber : a.value;
  return c->Respond(*response, "wscn:PadInfoResponseType");
}
