// The hostile answers of a simulated connection (SimTypes.h, Misbehaviour): answers written by
// hand, byte for byte, because the SOAP library would never write them: texts and attachments
// without end, records that lie about their length, error pages, broken-off and reset pages,
// pages of the wrong size and JPEG headers that announce enormous images.
#include <stdsoap2.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/PageTransfer.h"
#include "sim/SoapConnection.h"

namespace cavixsim {

namespace {

constexpr size_t kPiece = 65536;
constexpr uint32_t kEmptyChunkPauseMs = 50;
constexpr uint32_t kLyingLength = 0x7FFFFFF0;
constexpr uint16_t kBombSide = 65500;

const char* const kEnvelopeHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:wscn=\"http://tempuri.org/wscn.xsd\"><SOAP-ENV:Body>";
const char* const kEnvelopeTail = "</SOAP-ENV:Body></SOAP-ENV:Envelope>\n";
const char* const kSoap12EnvelopeType = "http://www.w3.org/2003/05/soap-envelope";

// DIME record flags (first byte, beside version 1) and type formats (second byte).
constexpr uint8_t kDimeVersion1 = 0x08;
constexpr uint8_t kMessageBegin = 0x04;
constexpr uint8_t kMessageEnd = 0x02;
constexpr uint8_t kChunkFlag = 0x01;
constexpr uint8_t kTypeUnchanged = 0x00;
constexpr uint8_t kTypeMedia = 0x10;
constexpr uint8_t kTypeUri = 0x20;

void Put16(std::string& out, size_t value) {
  out += static_cast<char>((value >> 8) & 0xff);
  out += static_cast<char>(value & 0xff);
}

void PutPadded(std::string& out, const std::string& field) {
  out += field;
  out.append((4 - field.size() % 4) % 4, '\0');
}

// A DIME record header announcing `dataLength`, with its id and type.
std::string DimeHeader(uint8_t flags, uint8_t typeFormat, const std::string& id, const std::string& type,
                       uint32_t dataLength) {
  std::string out;
  out += static_cast<char>(kDimeVersion1 | flags);
  out += static_cast<char>(typeFormat);
  Put16(out, 0);
  Put16(out, id.size());
  Put16(out, type.size());
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((dataLength >> shift) & 0xff);
  PutPadded(out, id);
  PutPadded(out, type);
  return out;
}

std::string DimeRecord(uint8_t flags, uint8_t typeFormat, const std::string& id, const std::string& type,
                       const std::string& data) {
  std::string out = DimeHeader(flags, typeFormat, id, type, static_cast<uint32_t>(data.size()));
  PutPadded(out, data);
  return out;
}

// The element that holds the text of a huge or endless answer to each control operation.
struct TextHolder {
  Operation op;
  const char* open;
  const char* close;
};
const TextHolder kTextHolders[] = {
    {Operation::CreateScanJob, "<wscn:CreateScanJobResponseType><JobId>%u</JobId><JobToken>",
     "</JobToken></wscn:CreateScanJobResponseType>"},
    {Operation::GetScannerElements, "<wscn:ScanElements><ScannerInfo><ModelNumber>",
     "</ModelNumber></ScannerInfo></wscn:ScanElements>"},
    {Operation::GetJobInfo, "<wscn:JobSummaryType><JobId>%u</JobId><JobName>", "</JobName></wscn:JobSummaryType>"},
};
// Any other operation: a fault with the text as its reason.
const TextHolder kFaultHolder = {
    Operation::Unknown,
    "<SOAP-ENV:Fault><SOAP-ENV:Code><SOAP-ENV:Value>SOAP-ENV:Receiver</SOAP-ENV:Value></SOAP-ENV:Code>"
    "<SOAP-ENV:Reason><SOAP-ENV:Text xml:lang=\"en\">",
    "</SOAP-ENV:Text></SOAP-ENV:Reason></SOAP-ENV:Fault>"};

// The page's attachment bytes as the device would send them for `plan`.
std::vector<uint8_t> RenderAttachment(const PagePlan& plan, std::shared_ptr<const PnmImage> file) {
  PagePlan whole = plan;
  whole.breakOff = false;
  whole.cached = false;
  PageTransfer transfer(whole, false, std::move(file));
  std::vector<uint8_t> bytes;
  uint8_t buf[kPiece];
  for (size_t n; (n = transfer.Read(buf, sizeof buf)) > 0;) bytes.insert(bytes.end(), buf, buf + n);
  return bytes;
}

// Rewrites the frame header (SOF0 to SOF2) of a JPEG to announce kBombSide x kBombSide pixels.
void MakeBomb(std::vector<uint8_t>& jpeg) {
  for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] >= 0xC0 && jpeg[i + 1] <= 0xC2) {
      jpeg[i + 5] = jpeg[i + 7] = static_cast<uint8_t>(kBombSide >> 8);
      jpeg[i + 6] = jpeg[i + 8] = static_cast<uint8_t>(kBombSide & 0xff);
      return;
    }
  }
}

}  // namespace

bool SoapConnection::WriteHttpHeader(const std::string& status, const std::string& contentType) {
  const std::string header = "HTTP/1.1 " + status + "\r\nServer: cavix-devsim\r\nContent-Type: " + contentType +
                             "\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
  return WriteAll(header.data(), header.size());
}

bool SoapConnection::WriteHttpChunk(const std::string& data) {
  if (data.empty()) return true;
  char size[24];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  const std::string chunk = size + data + "\r\n";
  return WriteAll(chunk.data(), chunk.size());
}

bool SoapConnection::WriteHttpEnd() { return WriteAll("0\r\n\r\n", 5); }

bool SoapConnection::Misbehave(Operation op, uint32_t jobId, Misbehaviour kind, int& status) {
  status = SOAP_STOP;
  switch (kind) {
    case Misbehaviour::Trickle:
      trickle_ = true;
      return false;
    case Misbehaviour::HttpError: {
      model_.NoteUnmodelled(op, jobId);
      SendRaw("503 Service Unavailable", "text/html",
              "<html><head><title>503 Service Unavailable</title></head><body><h1>Service "
              "Unavailable</h1><p>The scanner is busy.</p></body></html>\n");
      return true;
    }
    case Misbehaviour::Huge:
    case Misbehaviour::Endless: {
      model_.NoteUnmodelled(op, jobId);
      const TextHolder* holder = &kFaultHolder;
      for (const TextHolder& h : kTextHolders) {
        if (h.op == op) holder = &h;
      }
      char open[256];
      std::snprintf(open, sizeof open, holder->open, jobId);
      const std::string filler(kPiece, 'x');
      bool ok = WriteHttpHeader("200 OK", "application/soap+xml; charset=utf-8") &&
                WriteHttpChunk(std::string(kEnvelopeHead) + open);
      for (uint64_t sent = 0; ok && (kind == Misbehaviour::Endless || sent < config_.hugeBytes);) {
        const size_t n = kind == Misbehaviour::Endless
                             ? kPiece
                             : static_cast<size_t>(std::min<uint64_t>(kPiece, config_.hugeBytes - sent));
        ok = !stopping_ && WriteHttpChunk(filler.substr(0, n));
        sent += n;
      }
      if (ok) WriteHttpChunk(std::string(holder->close) + kEnvelopeTail) && WriteHttpEnd();
      return true;
    }
    default:
      return false;  // the others concern pages, or numbers the operation itself writes
  }
}

bool SoapConnection::MisbehaveImage(const PagePlan& plan, Misbehaviour kind, int& status) {
  status = SOAP_STOP;
  if (kind == Misbehaviour::None || kind == Misbehaviour::AbsurdNumbers) return false;
  if (kind == Misbehaviour::Trickle || kind == Misbehaviour::HttpError) {
    return Misbehave(Operation::RetrieveImage, plan.jobId, kind, status);
  }
  PagePlan sized = plan;
  if (kind == Misbehaviour::WrongSize) {
    // Wider and shorter than the job announced.
    sized.ticket.regionWidth = plan.ticket.regionWidth + plan.ticket.regionWidth / 4;
    sized.ticket.regionHeight = plan.ticket.regionHeight / 2;
  }
  std::vector<uint8_t> page = RenderAttachment(sized, model_.PageFile(plan));
  if (kind == Misbehaviour::Bomb) MakeBomb(page);
  const std::string bytes(page.begin(), page.end());
  const std::string id = "page-" + std::to_string(plan.jobId) + "-" + std::to_string(plan.imageInJob);
  const std::string type = plan.ticket.format == kFormatJfif ? "image/jpeg" : "application/octet-stream";
  const std::string envelope = std::string(kEnvelopeHead) + "<wscn:RetrieveImageRequestResponse><Response href=\"" +
                               id + "\"/></wscn:RetrieveImageRequestResponse>" + kEnvelopeTail;
  uint64_t sent = 0;
  bool ok = WriteHttpHeader("200 OK", "application/dime") &&
            WriteHttpChunk(DimeRecord(kMessageBegin, kTypeUri, "", kSoap12EnvelopeType, envelope));
  // The first chunk of the attachment carries its id and type; the chunks after it neither.
  auto chunk = [&](const std::string& data, bool last, bool first) {
    sent += data.size();
    return WriteHttpChunk(DimeRecord(last ? kMessageEnd : kChunkFlag, first ? kTypeMedia : kTypeUnchanged,
                                     first ? id : "", first ? type : "", data));
  };
  switch (kind) {
    case Misbehaviour::EmptyChunks:
      // Records without a byte of image, for as long as the peer takes them.
      ok = ok && chunk("", false, true);
      while (ok && !stopping_) ok = Pause(kEmptyChunkPauseMs) && chunk("", false, false);
      break;
    case Misbehaviour::LyingRecord:
      // A record announcing far more than comes: half the page, then nothing.
      ok = ok && WriteHttpChunk(DimeHeader(kMessageEnd, kTypeMedia, id, type, kLyingLength) +
                                bytes.substr(0, bytes.size() / 2));
      sent = bytes.size() / 2;
      if (ok) StaySilent();
      break;
    case Misbehaviour::Reset:
      ok = ok && chunk(bytes.substr(0, bytes.size() / 2), false, true);
      if (ok && !pty_) {
        // Closed with a zero linger: the peer's next read finds the connection reset.
        struct linger hard = {1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        sendFailed_ = true;
      }
      break;
    case Misbehaviour::Huge:
    case Misbehaviour::Endless: {
      // The page, then zeros: hugeBytes in all, or without end.
      const std::string zeros(kPiece, '\0');
      ok = ok && chunk(bytes.substr(0, kPiece), false, true);
      for (size_t at = kPiece; ok && at < bytes.size(); at += kPiece)
        ok = chunk(bytes.substr(at, kPiece), false, false);
      while (ok && !stopping_ && (kind == Misbehaviour::Endless || sent < config_.hugeBytes)) {
        const size_t n = kind == Misbehaviour::Endless
                             ? kPiece
                             : static_cast<size_t>(std::min<uint64_t>(kPiece, config_.hugeBytes - sent));
        ok = chunk(zeros.substr(0, n), false, false);
      }
      ok = ok && chunk("", true, false) && WriteHttpEnd();
      break;
    }
    default:  // WrongSize, Bomb: a whole page, as a proper answer
      ok = ok && chunk(bytes, true, true) && WriteHttpEnd();
      break;
  }
  model_.PageTransferEnded(plan, sent, PageTransfer::Fnv1a(page.data(), std::min<size_t>(sent, page.size())),
                           ok && (kind == Misbehaviour::WrongSize || kind == Misbehaviour::Bomb), {});
  return true;
}

}  // namespace cavixsim
