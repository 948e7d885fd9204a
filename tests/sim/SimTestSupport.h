// Helpers of the simulator tests: a loopback address of the test's own, a scan-service client
// context that collects the DIME attachment of a RetrieveImage, tickets as the host writes
// them, and a raw HTTP exchange for hand-written requests.
#ifndef CAVIX_TESTS_SIM_SIMTESTSUPPORT_H
#define CAVIX_TESTS_SIM_SIMTESTSUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimTypes.h"

struct soap;
class wscn__ScanTicketType;

namespace simtest {

// 127.x.y.z chosen from the test's name and the process id, so that tests running side by
// side never share an address.
std::string UniqueLoopback();

// The ticket the host writes for a region in 1/300 inch (left, top, width, length) at `dpi`:
// offsets floor(v * 1000 / 300), sizes ceil(v * 1000 / 300); for one-bit pages the width comes
// from the pixel count rounded down to a multiple of 8.
cavixsim::Ticket HostTicket(int source, int color, int format, uint32_t dpi, uint32_t left,
                            uint32_t top, uint32_t width, uint32_t length);
// The same ticket as the generated request object (allocated in soap).
wscn__ScanTicketType* ToRequest(struct soap* soap, const cavixsim::Ticket& t);

// A client context with the module's namespace table; collects DIME attachments.
class Client {
 public:
  explicit Client(const std::string& endpoint, int recvTimeoutSeconds = 20);
  ~Client();
  struct soap* soap() { return soap_; }
  const char* endpoint() const { return endpoint_.c_str(); }
  // Bytes of the attachments received by the last RetrieveImage, and how many write calls
  // brought them (and the size of the first).
  std::vector<uint8_t> image;
  int writes = 0;
  size_t firstWrite = 0;
  std::string attachmentType;
  void Reset() { image.clear(); writes = 0; firstWrite = 0; attachmentType.clear(); }

 private:
  struct soap* soap_;
  std::string endpoint_;
};

// Sends `request` as is to address:8289 and returns everything the peer wrote until it closed
// (or `timeoutMs` of silence).
std::string RawExchange(const std::string& address, const std::string& request, int timeoutMs = 10000);
// A POST of `body` with a Content-Length header.
std::string PostRequest(const std::string& body);
// The body of an HTTP response (de-chunked when chunked).
std::string HttpBody(const std::string& response);
// The resident set size of this process in kB.
long ResidentKb();

}  // namespace simtest

#endif
