// The simulator over a pseudo-terminal, as a USB device file: hand-written exchanges and the
// generated client calls carried over the terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "service/ServiceContext.h"
#include "service/WscnService.h"
#include "sim/DeviceSimulator.h"
#include "tests/sim/SimTestSupport.h"

using namespace cavixsim;

namespace {

// Reads one HTTP response from the terminal: up to the end of its chunked body.
std::string ReadResponse(int fd, int timeoutMs = 20000) {
  std::string out;
  char buf[65536];
  while (out.find("\r\n0\r\n\r\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) break;
    ssize_t r = read(fd, buf, sizeof buf);
    if (r <= 0) break;
    out.append(buf, size_t(r));
  }
  return out;
}

struct PtyClient {
  std::string path;
  std::vector<uint8_t> image;
};

SOAP_SOCKET OpenHook(struct soap* soap, const char*, const char*, int) {
  auto* c = static_cast<PtyClient*>(soap->user);
  int fd = open(c->path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) soap->error = SOAP_TCP_ERROR;
  return fd;
}
int SendHook(struct soap* soap, const char* s, size_t n) {
  while (n > 0) {
    ssize_t w = write(soap->socket, s, n);
    if (w <= 0) return SOAP_EOF;
    s += w;
    n -= size_t(w);
  }
  return SOAP_OK;
}
size_t RecvHook(struct soap* soap, char* s, size_t n) {
  pollfd p{soap->socket, POLLIN, 0};
  if (poll(&p, 1, 20000) <= 0) return 0;
  ssize_t r = read(soap->socket, s, n);
  return r > 0 ? size_t(r) : 0;
}
int CloseHook(struct soap* soap) {
  close(soap->socket);
  return SOAP_OK;
}
void* WriteOpen(struct soap* soap, const char*, const char*, const char*) { return soap->user; }
int Write(struct soap* soap, void*, const char* buf, size_t len) {
  auto* c = static_cast<PtyClient*>(soap->user);
  c->image.insert(c->image.end(), buf, buf + len);
  return SOAP_OK;
}
void WriteClose(struct soap*, void*) {}

}  // namespace

TEST(PtyTest, HandWrittenExchangeOverTheTerminal) {
  SimConfig c;
  c.usb = true;
  c.adfSheets = 1;
  DeviceSimulator sim(c);
  std::string error;
  ASSERT_TRUE(sim.Start(&error)) << error;
  ASSERT_EQ(sim.PtyPath().compare(0, 9, "/dev/pts/"), 0) << sim.PtyPath();
  EXPECT_EQ(sim.ReadyLine(), sim.PtyPath());
  EXPECT_EQ(sim.Endpoint(), "http:" + sim.PtyPath());
  // Two exchanges, each on a freshly opened device file, as the USB transport does it.
  for (int round = 0; round < 2; ++round) {
    int fd = open(sim.PtyPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    const std::string body =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
        "xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\" xmlns:wscn=\"http://tempuri.org/wscn.xsd\">"
        "<SOAP-ENV:Body><wscn:GetScannerElements/></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    const std::string request = simtest::PostRequest(body);
    ASSERT_EQ(write(fd, request.data(), request.size()), ssize_t(request.size()));
    std::string response = ReadResponse(fd);
    close(fd);
    ASSERT_EQ(response.compare(0, 15, "HTTP/1.1 200 OK"), 0) << response;
    std::string xml = simtest::HttpBody(response);
    EXPECT_NE(xml.find("<ScanToStatus><PaperInADF>true</PaperInADF>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<ScannerInfo><ModelNumber>vqm440</ModelNumber></ScannerInfo>"), std::string::npos);
  }
  EXPECT_EQ(sim.Requests().size(), 2u);
  sim.Stop();
  EXPECT_FALSE(sim.Running());
}

TEST(PtyTest, ClientCallsCarryAPageOverTheTerminal) {
  SimConfig c;
  c.usb = true;
  c.padLines = 2;
  c.chunkSize = 3000;
  DeviceSimulator sim(c);
  std::string error;
  ASSERT_TRUE(sim.Start(&error)) << error;
  PtyClient pc;
  pc.path = sim.PtyPath();
  struct soap* soap = ServiceContext::Create(ServiceContext::kChunkedOutput);
  soap->user = &pc;
  soap->fopen = &OpenHook;
  soap->fsend = &SendHook;
  soap->frecv = &RecvHook;
  soap->fclose = &CloseHook;
  soap->fdimewriteopen = &WriteOpen;
  soap->fdimewrite = &Write;
  soap->fdimewriteclose = &WriteClose;
  const std::string endpoint = sim.Endpoint();

  const Ticket t = simtest::HostTicket(kSourcePlaten, kColorRgb24, kFormatJfif, 75, 300, 300, 1500, 1200);
  wscn__CreateScanJobResponseType job;
  ASSERT_EQ(soap_call_wscn__CreateScanJobRequest(soap, endpoint.c_str(), nullptr, const_cast<char*>(""), nullptr,
                                                 simtest::ToRequest(soap, t), &job),
            0);
  wscn__DocumentDescriptionType desc;
  wscn__RetrieveImageResponseType image;
  ASSERT_EQ(soap_call_wscn__RetrieveImageRequest(soap, endpoint.c_str(), nullptr, job.JobId, job.JobToken, &desc, image), 0);
  EXPECT_EQ(pc.image, DeviceSimulator::RenderPage(t, 1, 0, 2, false));
  wscn__PadInfoResponseType pad;
  ASSERT_EQ(soap_call_wscn__GetPreviousImagePadInfo(soap, endpoint.c_str(), nullptr, &pad), 0);
  EXPECT_EQ(pad.TotalPadLines, 2);
  wscn__JobSummaryType info;
  EXPECT_EQ(soap_call_wscn__GetJobInfo(soap, endpoint.c_str(), nullptr, job.JobId + 5, &info), 1);
  ServiceContext::Destroy(soap);
  sim.Stop();
}
