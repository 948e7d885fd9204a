// Fuzzes a page transfer: the device's answer to RetrieveImage (an HTTP response whose body is
// a DIME message: the SOAP envelope record, then the page as chunked attachment records) read
// by the generated call, with the data source's hooks taking the attachment into the image
// stream, raw or through the JPEG decompressor, while a host thread reads the page.
//
// Input: four setting bytes, then the HTTP response.
//   byte 0  bit 0: JPEG page (else raw rows); bit 1: one bit per pixel; bit 2: a JPEG page is
//           decoded on the receiving thread (else on a decoding thread of its own)
//   byte 1  bytes per line - 1
//   byte 2  bits 0-1: trailing pad lines the job flow reports afterwards; bits 2-7: rows of
//           the page the job announced (0: a page of kPageBytes)
//   byte 3  largest receive, in bytes, minus 1 (the connection's chunking)
//
// Checks beyond the sanitizers: the host's read never hangs once the page has ended or failed;
// a raw page that arrived whole is delivered as the bytes received, all but the pad rows at
// least; the decompressor leaves no temporary file; the host never reads more than the
// announced page, and a page that ends is exactly that page.
#include <stdlib.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdsoap2.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "image/DimeDataSource.h"
#include "image/PadlessStreamFactory.h"
#include "platform/Mutex.h"
#include "platform/TimeLimits.h"
#include "service/ServiceContext.h"
#include "service/SoapPointerMap.h"
#include "service/WscnService.h"

namespace {

const char kEndpoint[] = "http://127.0.0.1:8289";
constexpr uint32_t kPageBytes = 256 * 1024;  // the page the job announced, unless the input says
constexpr size_t kSettingBytes = 4;

struct Input {
  const uint8_t* data;
  size_t size;
  size_t pos;
  size_t piece;
};
Input g_input;
int g_socket = -1;
std::string g_tmpDir;
bool g_trace = false;

// What reached the data source's hooks.
struct Hooked {
  int opens = 0;
  bool opened = false;
  std::vector<uint8_t> bytes;  // of the last page opened
};
Hooked g_hooked;

int FakeOpen(struct soap*, const char*, const char*, int) { return g_socket; }
int FakeClose(struct soap*) { return SOAP_OK; }
int FakeCloseSocket(struct soap*, SOAP_SOCKET) { return SOAP_OK; }
int FakeSend(struct soap*, const char*, size_t) { return SOAP_OK; }
size_t FakeReceive(struct soap*, char* buffer, size_t length) {
  size_t n = std::min({g_input.size - g_input.pos, length, g_input.piece});
  std::memcpy(buffer, g_input.data + g_input.pos, n);
  g_input.pos += n;
  return n;
}

void* HookOpen(struct soap* soap, const char* id, const char* type, const char* options) {
  void* handle = DimeDataSource::OpenCallback(soap, id, type, options);
  ++g_hooked.opens;
  g_hooked.opened = handle != nullptr;
  g_hooked.bytes.clear();
  return handle;
}
int HookWrite(struct soap* soap, void* handle, const char* bytes, size_t length) {
  g_hooked.bytes.insert(g_hooked.bytes.end(), bytes, bytes + length);
  return DimeDataSource::WriteCallback(soap, handle, bytes, length);
}
void HookClose(struct soap* soap, void* handle) { DimeDataSource::CloseCallback(soap, handle); }

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_dime_image: %s\n", what);
  std::abort();
}

bool TmpDirEmpty() {
  DIR* dir = opendir(g_tmpDir.c_str());
  if (dir == nullptr) return false;
  bool empty = true;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) empty = false;
  }
  closedir(dir);
  return empty;
}

// The host's side: opens the page, then reads until the page ends or fails.
class HostReader {
 public:
  explicit HostReader(DimeDataSource& source) : source_(source), thread_([this] { Run(); }) {}
  ~HostReader() {
    if (thread_.joinable()) thread_.join();
  }

  // Waits until Open has answered; false when it has not within the limit.
  bool AwaitOpen(std::chrono::seconds limit) {
    MutexUniqueLock lock(mutex_);
    return changed_.wait_for(lock.Native(), limit, [this]() REQUIRES(mutex_) { return state_ != kOpening; });
  }
  // Waits until the reader has finished; false when it has not within the limit.
  bool AwaitDone(std::chrono::seconds limit) {
    MutexUniqueLock lock(mutex_);
    return changed_.wait_for(lock.Native(), limit, [this]() REQUIRES(mutex_) { return state_ == kDone; });
  }
  bool Opened() const { return opened_; }
  uint32_t Result() const { return result_; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  enum State { kOpening, kReading, kDone };
  void Set(State state) {
    MutexLock lock(mutex_);
    state_ = state;
    changed_.notify_all();
  }
  void Run() {
    opened_ = source_.Open();
    Set(kReading);
    if (opened_) {
      std::vector<uint8_t> buffer(4096);
      for (;;) {
        uint32_t n = 0;
        result_ = source_.Read(buffer.data(), static_cast<uint32_t>(buffer.size()), n);
        if (n > buffer.size()) Fail("read reports more bytes than asked for");
        bytes_.insert(bytes_.end(), buffer.begin(), buffer.begin() + n);
        if (result_ != CERR_NONE) break;
      }
    }
    Set(kDone);
  }

  DimeDataSource& source_;
  Mutex mutex_;
  std::condition_variable changed_;
  State state_ GUARDED_BY(mutex_) = kOpening;
  bool opened_ = false;
  uint32_t result_ = 0;
  std::vector<uint8_t> bytes_;
  std::thread thread_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_socket = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (g_socket < 0) Fail("cannot open /dev/null");
  g_trace = std::getenv("CAVIX_FUZZ_TRACE") != nullptr;
  // The decompressor's temporary files go to a private directory, checked after each page.
  char tmpl[] = "/tmp/cavix-fuzz-dime-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) Fail("cannot make a temporary directory");
  g_tmpDir = tmpl;
  setenv("TMPDIR", g_tmpDir.c_str(), 1);
  std::atexit([] { rmdir(g_tmpDir.c_str()); });  // empty unless a check failed
  // A reader that is never woken fails its wait long before the check below gives up on it,
  // so a hang shows as a failed check rather than as a slow input.
  TimeLimits::Instance().streamReadMs = 20000;
  TimeLimits::Instance().streamWriteMs = 2000;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kSettingBytes) return 0;
  const bool jpeg = data[0] & 1;
  const bool oneBit = data[0] & 2;
  const bool decodeOnReceivingThread = data[0] & 4;
  const uint32_t bytesPerLine = data[1] + 1u;
  const uint32_t padLines = data[2] % 4;
  const uint32_t pageBytes = (data[2] >> 2) != 0 ? (data[2] >> 2) * bytesPerLine : kPageBytes;
  g_input = Input{data + kSettingBytes, size - kSettingBytes, 0, data[3] + 1u};
  g_hooked = Hooked();

  struct soap* soap = ServiceContext::Create(ServiceContext::kChunkedOutput);
  if (soap == nullptr) Fail("no context");
  SoapPointerMap map;
  SoapPointerMap::Attach(soap, &map);
  soap->fopen = FakeOpen;
  soap->fclose = FakeClose;
  soap->fclosesocket = FakeCloseSocket;
  soap->fsend = FakeSend;
  soap->frecv = FakeReceive;
  {
    PadlessStreamFactory factory;
    DimeDataSource source(soap, factory);
    source.Install();
    soap->fdimewriteopen = HookOpen;
    soap->fdimewrite = HookWrite;
    soap->fdimewriteclose = HookClose;
    source.SetExpectCompressed(jpeg);
    source.SetExpectOneBit(oneBit);
    source.SetBytesPerLine(bytesPerLine);
    source.SetMaxStreamLength(pageBytes);
    source.SetDecodeThreadThreshold(decodeOnReceivingThread ? DimeDataSource::kDecodeThreadThreshold : 0);

    HostReader host(source);
    wscn__DocumentDescriptionType description;
    wscn__RetrieveImageResponseType response;
    const int rc = soap_call_wscn__RetrieveImageRequest(soap, kEndpoint, nullptr, 1,
                                                        const_cast<char*>("token"), &description, response);
    soap_destroy(soap);
    soap_end(soap);

    // The scan thread's next step: the pad lines end a page that arrived; a failed exchange
    // cancels it.
    bool ended = false;
    if (rc == SOAP_OK && g_hooked.opened && !source.Canceled()) {
      if (!host.AwaitOpen(std::chrono::seconds(30))) Fail("host never got the page it was sent");
      if (host.Opened()) ended = source.SetNumberOfTrailingPadlines(padLines);
    }
    if (!ended) source.Cancel(CERR_SCANNER_COMMUNICATION_FAILED);
    if (!host.AwaitDone(std::chrono::seconds(30))) Fail("host read still blocked after the page ended");

    // CAVIX_FUZZ_TRACE=1 shows how each input went (to check what a corpus covers).
    if (g_trace) {
      std::fprintf(stderr, "%s page: status %d, %d attachment(s), %zu bytes received, %zu delivered, read result %u\n",
                   jpeg ? "JPEG" : "raw", rc, g_hooked.opens, g_hooked.bytes.size(), host.Bytes().size(),
                   host.Result());
    }
    if (host.Bytes().size() > pageBytes) Fail("host read more than the announced page");
    if (ended && host.Opened()) {
      if (host.Result() != CERR_SCANNER_END_OF_PAGE) Fail("ended page read without its end");
      if (host.Bytes().size() != pageBytes) Fail("a page of another size ended as a whole page");
      if (!jpeg && g_hooked.opens == 1) {
        const std::vector<uint8_t>& sent = g_hooked.bytes;
        const std::vector<uint8_t>& got = host.Bytes();
        if (got.size() > sent.size() || !std::equal(got.begin(), got.end(), sent.begin()))
          Fail("raw page delivered other bytes than it was sent");
        const uint64_t pad = std::min<uint64_t>(uint64_t(padLines) * bytesPerLine, sent.size());
        if (got.size() < sent.size() - pad) Fail("raw page delivered short of its pad rows");
      }
    }
    source.Close();
  }
  if (!TmpDirEmpty()) Fail("temporary file left behind");

  SoapPointerMap::Attach(soap, nullptr);
  ServiceContext::Destroy(soap);
  return 0;
}
