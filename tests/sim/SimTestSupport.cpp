#include "tests/sim/SimTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include <gtest/gtest.h>

#include "service/ServiceContext.h"
#include "service/WscnService.h"

namespace simtest {

std::string UniqueLoopback() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "none";
  uint32_t h = uint32_t(std::hash<std::string>()(name)) ^ (uint32_t(getpid()) * 2654435761u);
  // 127.90.0.0/15, avoiding .0 and .255 in the last byte.
  unsigned b2 = 90 + ((h >> 16) & 1), b3 = (h >> 8) & 0xFF, b4 = 1 + (h & 0xFF) % 254;
  return "127." + std::to_string(b2) + "." + std::to_string(b3) + "." + std::to_string(b4);
}

cavixsim::Ticket HostTicket(int source, int color, int format, uint32_t dpi, uint32_t left,
                            uint32_t top, uint32_t width, uint32_t length) {
  cavixsim::Ticket t;
  t.format = format;
  t.inputSource = source;
  t.mediaWidth = 8500;
  t.mediaHeight = source == cavixsim::kSourcePlaten ? 11690 : 14000;
  t.colorProcessing = color;
  t.resolutionX = t.resolutionY = int(dpi);
  t.regionX = int(std::floor(left * 1000 / 300.0));
  t.regionY = int(std::floor(top * 1000 / 300.0));
  if (color == cavixsim::kColorBw1) {
    uint32_t ppl = (dpi * width / 300) / 8 * 8;
    t.regionWidth = int(std::ceil(ppl * 1000 / double(dpi)));
  } else {
    t.regionWidth = int(std::ceil(width * 1000 / 300.0));
  }
  t.regionHeight = int(std::ceil(length * 1000 / 300.0));
  t.retrieveImageTimeout = 300;
  return t;
}

wscn__ScanTicketType* ToRequest(struct soap* soap, const cavixsim::Ticket& k) {
  auto* t = soap_new_wscn__ScanTicketType(soap);
  wscn__DocumentParametersType& d = t->DocumentParameters;
  d.Format = static_cast<wscn__ScanDocumentFormat>(k.format);
  d.CompressionQualityFactor = k.compressionQualityFactor;
  d.ImagesToTransfer = k.imagesToTransfer;
  d.InputSource = static_cast<wscn__ScanInputSource>(k.inputSource);
  d.ContentType = static_cast<wscn__ContentType>(k.contentType);
  d.InputSize.InputMediaSize.Width = k.mediaWidth;
  d.InputSize.InputMediaSize.Height = k.mediaHeight;
  wscn__MediaSideOverrideType& f = d.MediaSides.MediaFront;
  f.ScanRegion.ScanRegionXOffset = k.regionX;
  f.ScanRegion.ScanRegionYOffset = k.regionY;
  f.ScanRegion.ScanRegionWidth = k.regionWidth;
  f.ScanRegion.ScanRegionHeight = k.regionHeight;
  f.ColorProcessing = static_cast<wscn__ColorEntryType>(k.colorProcessing);
  f.Resolution.Width = k.resolutionX;
  f.Resolution.Height = k.resolutionY;
  t->RetrieveImageTimeout = k.retrieveImageTimeout;
  return t;
}

namespace {

void* WriteOpen(struct soap* soap, const char*, const char* type, const char*) {
  Client* c = static_cast<Client*>(soap->user);
  c->attachmentType = type ? type : "";
  return c;
}

int Write(struct soap* soap, void*, const char* buf, size_t len) {
  Client* c = static_cast<Client*>(soap->user);
  if (c->writes == 0) c->firstWrite = len;
  ++c->writes;
  c->image.insert(c->image.end(), buf, buf + len);
  return SOAP_OK;
}

void WriteClose(struct soap*, void*) {}

}  // namespace

Client::Client(const std::string& endpoint, int recvTimeoutSeconds)
    : soap_(ServiceContext::Create(ServiceContext::kChunkedOutput)), endpoint_(endpoint) {
  soap_->user = this;
  soap_->fdimewriteopen = &WriteOpen;
  soap_->fdimewrite = &Write;
  soap_->fdimewriteclose = &WriteClose;
  soap_->recv_timeout = recvTimeoutSeconds;
  soap_->send_timeout = recvTimeoutSeconds;
  soap_->connect_timeout = 10;
}

Client::~Client() { ServiceContext::Destroy(soap_); }

std::string RawExchange(const std::string& address, const std::string& request, int timeoutMs) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(8289);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return "";
  }
  size_t off = 0;
  while (off < request.size()) {
    ssize_t w = send(fd, request.data() + off, request.size() - off, MSG_NOSIGNAL);
    if (w <= 0) break;
    off += size_t(w);
  }
  std::string out;
  char buf[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) break;
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0) break;
    out.append(buf, size_t(r));
  }
  close(fd);
  return out;
}

std::string PostRequest(const std::string& body) {
  return "POST / HTTP/1.1\r\nHost: 127.0.0.1:8289\r\nContent-Type: application/soap+xml; charset=utf-8\r\n"
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string HttpBody(const std::string& response) {
  size_t end = response.find("\r\n\r\n");
  if (end == std::string::npos) return "";
  std::string headers = response.substr(0, end);
  std::string rest = response.substr(end + 4);
  if (headers.find("Transfer-Encoding: chunked") == std::string::npos) return rest;
  std::string body;
  size_t pos = 0;
  for (;;) {
    size_t eol = rest.find("\r\n", pos);
    if (eol == std::string::npos) break;
    size_t n = std::strtoul(rest.substr(pos, eol - pos).c_str(), nullptr, 16);
    if (n == 0) break;
    body += rest.substr(eol + 2, n);
    pos = eol + 2 + n + 2;
  }
  return body;
}

long ResidentKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

}  // namespace simtest
