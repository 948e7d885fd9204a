// The DIME data source driven by the SOAP runtime itself: hand-written DIME messages are fed to
// gSOAP's reader in pieces of chosen sizes, so the hooks see the chunk sizes a connection can
// produce; the host side reads on its own thread.
#include <gtest/gtest.h>

#include <stdsoap2.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ImageTestSupport.h"
#include "image/DimeDataSource.h"
#include "image/PadlessStreamFactory.h"
#include "platform/SystemInfo.h"
#include "platform/TimeLimits.h"
#include "service/ServiceContext.h"
#include "service/SoapPointerMap.h"

using imagetest::LogTail;
using imagetest::PrivateTmpDir;
using imagetest::StillBlocked;
using Bytes = std::vector<uint8_t>;

namespace {

const char kEnvelope[] =
    "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\">"
    "<SOAP-ENV:Body></SOAP-ENV:Body></SOAP-ENV:Envelope>";  // 127 bytes
const char kSoapType[] = "http://www.w3.org/2003/05/soap-envelope";  // 39 bytes

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Text(const char* s) { return Bytes(s, s + std::strlen(s)); }
Bytes Zeros(size_t n) { return Bytes(n, 0); }

// The SOAP record that opens every message: version 1, MB, absolute-URI type, no options, no
// id, type length 39, data length 127; type and data padded to four bytes.
Bytes SoapRecord() {
  return Cat({{0x0C, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x27, 0x00, 0x00, 0x00, 0x7F},
              Text(kSoapType), Zeros(1), Text(kEnvelope), Zeros(1)});
}

// A page of 12 raw bytes (three rows of four) sent as three chunk records: 6 bytes, an empty
// chunk, 6 bytes. Written out byte by byte.
Bytes HandWrittenRawMessage() {
  return Cat({SoapRecord(),
              // CF, media type, options 0, id "uuid:page1" (10), type "image/x-raw" (11), data 6
              {0x09, 0x10, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x06},
              Text("uuid:page1"), Zeros(2), Text("image/x-raw"), Zeros(1),
              {0x01, 0x02, 0x03, 0x04, 0x05, 0x06}, Zeros(2),
              // CF, unchanged type, empty chunk
              {0x09, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
              // ME, last chunk, data 6
              {0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06},
              {0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C}, Zeros(2)});
}

Bytes Be16(size_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
Bytes Be32(size_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes Padded(const Bytes& b) { return Cat({b, Zeros((4 - b.size() % 4) % 4)}); }

// The same layout for any attachment, cut into records of at most `record` bytes.
Bytes DimeMessage(const Bytes& attachment, const std::string& type, size_t record) {
  Bytes out = SoapRecord();
  size_t pos = 0;
  bool first = true;
  do {
    size_t n = std::min(record, attachment.size() - pos);
    bool last = pos + n == attachment.size();
    Bytes id = first ? Text("uuid:page1") : Bytes(), t = first ? Bytes(type.begin(), type.end()) : Bytes();
    Bytes data(attachment.begin() + pos, attachment.begin() + pos + n);
    out = Cat({out, {uint8_t(0x08 | (last ? 0x02 : 0x01)), uint8_t(first ? 0x10 : 0x00), 0x00, 0x00},
               Be16(id.size()), Be16(t.size()), Be32(n), Padded(id), Padded(t), Padded(data)});
    pos += n;
    first = false;
  } while (pos < attachment.size());
  return out;
}

// Feeds a message to gSOAP's reader at most `piece` bytes per receive call.
struct Feed {
  const Bytes* bytes;
  size_t pos;
  size_t piece;
  size_t pauseAt;               // body offset where delivery stops once for `atPause`
  std::function<void()> atPause;
};
thread_local Feed* t_feed = nullptr;

size_t FeedReceive(struct soap*, char* buf, size_t len) {
  Feed* f = t_feed;
  size_t piece = f->piece;
  if (f->atPause && f->pos == f->pauseAt) {
    f->atPause();
    f->atPause = nullptr;
  }
  size_t n = std::min({len, piece, f->bytes->size() - f->pos});
  if (f->atPause && f->pos < f->pauseAt) n = std::min(n, f->pauseAt - f->pos);
  std::memcpy(buf, f->bytes->data() + f->pos, n);
  f->pos += n;
  return n;
}

// The thread tag ("[T:n]") of the first log line holding `text`; empty when there is none.
std::string ThreadTagOf(const std::string& log, const std::string& text) {
  const size_t at = log.find(text);
  if (at == std::string::npos) return "";
  const size_t lineStart = log.rfind('\n', at) == std::string::npos ? 0 : log.rfind('\n', at) + 1;
  const size_t tag = log.find("[T:", lineStart);
  if (tag == std::string::npos || tag > at) return "";
  return log.substr(tag, log.find(']', tag) - tag + 1);
}

class DimeDataSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    soap_ = ServiceContext::Create(ServiceContext::kPlainOutput);
    ASSERT_NE(nullptr, soap_);
    SoapPointerMap::Attach(soap_, &map_);
    source_.reset(new DimeDataSource(soap_, factory_));
    source_->Install();
    // The test pages are small: every JPEG page gets its decoding thread unless a test says
    // otherwise.
    source_->SetDecodeThreadThreshold(0);
  }
  void TearDown() override {
    source_.reset();
    SoapPointerMap::Attach(soap_, nullptr);
    ServiceContext::Destroy(soap_);
    TimeLimits::Instance().Reset();
  }

  // Receives one response the way a call does; gSOAP hands the attachment to the hooks while
  // it finishes the message. Returns the context's error code.
  // With `atPause`, delivery stops once after `pauseAt` bytes of the DIME message to run it.
  int Receive(const Bytes& dime, size_t piece, size_t pauseAt = 0, std::function<void()> atPause = nullptr) {
    // The device answers over HTTP; the DIME message is the response's body.
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/dime\r\nContent-Length: " +
                       std::to_string(dime.size()) + "\r\n\r\n";
    const Bytes message = Cat({Bytes(head.begin(), head.end()), dime});
    Feed feed{&message, 0, piece, head.size() + pauseAt, std::move(atPause)};
    t_feed = &feed;
    soap_begin(soap_);  // as every call does before it sends
    soap_set_version(soap_, 2);  // the scan service speaks SOAP 1.2, as the generated calls set
    soap_->frecv = FeedReceive;
    int rc = soap_begin_recv(soap_);
    if (!rc) rc = soap_envelope_begin_in(soap_);
    if (!rc) rc = soap_recv_header(soap_);
    if (!rc) rc = soap_body_begin_in(soap_);
    if (!rc) rc = soap_body_end_in(soap_);
    if (!rc) rc = soap_envelope_end_in(soap_);
    if (!rc) rc = soap_end_recv(soap_);
    t_feed = nullptr;
    soap_destroy(soap_);
    soap_end(soap_);
    return rc;
  }

  // The host's side of a page, on its own thread: Open, then Read until the page ends.
  struct HostRead {
    bool opened = false;
    uint32_t result = 0;
    Bytes bytes;
  };
  std::future<HostRead> ReadPageAsync(uint32_t request = 1000) {
    return std::async(std::launch::async, [this, request] {
      HostRead r;
      r.opened = source_->Open();
      if (!r.opened) return r;
      Bytes buf(request);
      for (;;) {
        uint32_t n = 0;
        r.result = source_->Read(buf.data(), request, n);
        r.bytes.insert(r.bytes.end(), buf.begin(), buf.begin() + n);
        if (r.result != CERR_NONE) return r;
      }
    });
  }
  // The host's side of a page that failed with CERR_UNKNOWN: its read ends in that error
  // whether it had opened the page yet or not.
  HostRead ExpectFailedPage(std::future<HostRead>& host) {
    HostRead r;
    if (host.wait_for(imagetest::kGenerous) != std::future_status::ready) {
      ADD_FAILURE() << "the host's read did not end";
      return r;
    }
    r = host.get();
    EXPECT_TRUE(source_->Canceled());
    EXPECT_EQ(uint32_t(CERR_UNKNOWN), source_->GetCancelReason());
    EXPECT_TRUE(!r.opened || r.result == CERR_UNKNOWN) << r.result;
    return r;
  }
  // Waits until the host's thread has opened the page.
  void AwaitReaderOpen() {
    auto deadline = std::chrono::steady_clock::now() + imagetest::kGenerous;
    while (source_->IsClosed() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // One page end to end: the runtime delivers the message, the job flow sets the pad lines.
  HostRead Page(const Bytes& message, size_t piece, uint32_t padLines, int* soapResult = nullptr) {
    auto host = ReadPageAsync();
    int rc = Receive(message, piece);
    if (soapResult) *soapResult = rc;
    // The host may open the page before or after it ends; either way it gets all of it.
    EXPECT_TRUE(source_->SetNumberOfTrailingPadlines(padLines));
    EXPECT_EQ(std::future_status::ready, host.wait_for(imagetest::kGenerous));
    HostRead r = host.get();
    source_->Close();
    return r;
  }

  struct soap* soap_ = nullptr;
  SoapPointerMap map_;
  PadlessStreamFactory factory_;
  std::unique_ptr<DimeDataSource> source_;
};

TEST_F(DimeDataSourceTest, HandWrittenRawPageArrivesWhateverTheReceiveSizes) {
  const Bytes message = HandWrittenRawMessage();
  // The builder lays records out the same way (it just never makes an empty chunk).
  Bytes withoutEmptyChunk = message;
  withoutEmptyChunk.erase(withoutEmptyChunk.begin() + 224, withoutEmptyChunk.begin() + 236);
  ASSERT_EQ(DimeMessage({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, "image/x-raw", 6), withoutEmptyChunk);
  source_->SetExpectCompressed(false);
  for (size_t piece : {1u, 3u, 5u, 13u, 64u, 4096u}) {
    SCOPED_TRACE(piece);
    source_->SetMaxStreamLength(12);
    source_->SetBytesPerLine(4);
    int rc = -99;
    HostRead r = Page(message, piece, 0, &rc);
    EXPECT_EQ(SOAP_OK, rc);
    EXPECT_TRUE(r.opened);
    EXPECT_EQ(uint32_t(CERR_SCANNER_END_OF_PAGE), r.result);
    EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), r.bytes);
  }
  // One-byte records: every hook call carries a single byte.
  source_->SetMaxStreamLength(12);
  source_->SetBytesPerLine(4);
  HostRead r = Page(DimeMessage({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, "image/x-raw", 1), 4096, 0);
  EXPECT_EQ(uint32_t(CERR_SCANNER_END_OF_PAGE), r.result);
  EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), r.bytes);
}

TEST_F(DimeDataSourceTest, AShortPageDeliveredBeforeTheHostOpensIsReadAtOnce) {
  // Shortened limits: a host that waits for a writer already gone fails instead of hanging.
  TimeLimits::Instance().streamReadMs = 3000;
  TimeLimits::Instance().streamWriteMs = 3000;
  source_->SetExpectCompressed(false);
  for (int page = 0; page < 2; ++page) {
    SCOPED_TRACE(page);
    source_->SetMaxStreamLength(12);
    source_->SetBytesPerLine(4);
    // The whole exchange and the page's end come first; the host opens afterwards.
    ASSERT_EQ(SOAP_OK, Receive(HandWrittenRawMessage(), 4096));
    ASSERT_TRUE(source_->SetNumberOfTrailingPadlines(0));
    EXPECT_TRUE(source_->IsClosed());
    auto host = ReadPageAsync();
    ASSERT_EQ(std::future_status::ready, host.wait_for(imagetest::kGenerous));
    HostRead r = host.get();
    EXPECT_TRUE(r.opened);
    EXPECT_EQ(uint32_t(CERR_SCANNER_END_OF_PAGE), r.result);
    EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), r.bytes);
    source_->Close();
  }
}

TEST_F(DimeDataSourceTest, RawPadRowsAreCutAndTheShortReadEndsThePage) {
  // A page of twenty rows of 8 and, below it, two light pad rows (within the page's capacity).
  Bytes page;
  for (int row = 0; row < 22; ++row)
    for (int i = 0; i < 8; ++i) page.push_back(row < 20 ? uint8_t(row % 3 * 10 + i) : 250);
  source_->SetExpectCompressed(false);
  source_->SetMaxStreamLength(160);
  source_->SetBytesPerLine(8);
  int rc = -99;
  HostRead r = Page(DimeMessage(page, "image/x-raw", 7), 11, 2, &rc);
  EXPECT_EQ(SOAP_OK, rc);
  EXPECT_EQ(uint32_t(CERR_SCANNER_END_OF_PAGE), r.result);
  EXPECT_EQ(Bytes(page.begin(), page.begin() + 160), r.bytes);
}

// Honest pages: the host reads the announced page or gets an error; it never reads more than
// the page, and a page of another size (JPEG header, rows below the page not counted as pad
// rows, a pad-line count that is more than the page or whose product with the row width wraps
// 32 bits) never ends as a whole one.
TEST_F(DimeDataSourceTest, APageThatIsNotTheAnnouncedOneEndsInAnErrorAndNeverOverflows) {
  PrivateTmpDir tmp;
  using imagetest::MakeJpeg;
  using imagetest::WithFrameSize;
  // Raw rows of 4 dark bytes.
  auto raw = [](uint32_t rows) {
    Bytes b;
    for (uint32_t i = 0; i < rows * 4; ++i) b.push_back(uint8_t(i % 50));
    return b;
  };
  const struct {
    const char* name;
    Bytes attachment;
    bool jpeg;
    uint32_t bytesPerLine, pixelsPerLine, rows;  // the announced page
    uint32_t padLines;
    bool whole;
  } kCases[] = {
      {"colour JPEG of the page", MakeJpeg(64, 48, 3), true, 192, 64, 48, 0, true},
      {"colour JPEG with pad rows", MakeJpeg(64, 52, 3), true, 192, 64, 48, 4, true},
      {"grey JPEG of the page", MakeJpeg(64, 48, 1), true, 64, 64, 48, 0, true},
      {"JPEG wider", MakeJpeg(65, 48, 3), true, 192, 64, 48, 0, false},
      {"JPEG shorter", MakeJpeg(64, 40, 3), true, 192, 64, 48, 0, false},
      {"JPEG taller than the capacity", MakeJpeg(64, 60, 3), true, 192, 64, 48, 0, false},
      {"JPEG taller, rows not pad rows", MakeJpeg(64, 50, 3), true, 192, 64, 48, 0, false},
      {"grey JPEG for a colour page", MakeJpeg(192, 48, 1), true, 192, 64, 48, 0, false},
      {"bomb header", WithFrameSize(MakeJpeg(64, 48, 3), 65500, 65500), true, 192, 64, 48, 0, false},
      {"raw page of the page", raw(12), false, 4, 4, 12, 0, true},
      {"raw page with pad rows", raw(13), false, 4, 4, 12, 1, true},
      {"raw page longer", raw(13), false, 4, 4, 12, 0, false},
      {"raw page shorter", raw(11), false, 4, 4, 12, 0, false},
      {"pad count times the row wraps to 0", raw(12), false, 4, 4, 12, 0x40000000u, false},
      {"pad count times the row wraps to a row", raw(13), false, 4, 4, 12, 0x40000001u, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const uint32_t pageLength = c.bytesPerLine * c.rows;
    source_->SetExpectCompressed(c.jpeg);
    source_->SetMaxStreamLength(pageLength);
    source_->SetBytesPerLine(c.bytesPerLine);
    source_->SetPixelsPerLine(c.pixelsPerLine);
    auto host = ReadPageAsync(100);
    const int rc = Receive(DimeMessage(c.attachment, c.jpeg ? "image/jpeg" : "image/x-raw", 512), 512);
    const bool ended = source_->SetNumberOfTrailingPadlines(c.padLines);
    if (c.whole) {
      EXPECT_EQ(SOAP_OK, rc);
      EXPECT_TRUE(ended);
      ASSERT_EQ(std::future_status::ready, host.wait_for(imagetest::kGenerous));
      const HostRead r = host.get();
      const Bytes all = c.jpeg ? imagetest::DecodeWhole(c.attachment) : c.attachment;
      EXPECT_EQ(uint32_t(CERR_SCANNER_END_OF_PAGE), r.result);
      EXPECT_TRUE(Bytes(all.begin(), all.begin() + pageLength) == r.bytes);
    } else {
      EXPECT_FALSE(rc == SOAP_OK && ended);
      EXPECT_LE(ExpectFailedPage(host).bytes.size(), pageLength);
    }
    source_->Close();
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

// On the page's decoding thread and, for a page below the thread's threshold, on the
// exchange's own thread.
TEST_F(DimeDataSourceTest, JpegPagesDecodeInAnyChunkingIncludingASplitHeader) {
  PrivateTmpDir tmp;
  const size_t descriptors = imagetest::OpenDescriptors();
  for (int components : {1, 3}) {
    const Bytes jpeg = imagetest::MakeJpeg(150, 40, components);
    const Bytes expected = imagetest::DecodeWhole(jpeg);
    const size_t header = imagetest::JpegHeaderLength(jpeg);
    // Record sizes and receive sizes that cut the header, down to single bytes.
    const std::pair<size_t, size_t> cuts[] = {{jpeg.size(), 65536}, {header / 2, 4096}, {1, 5}, {64, 7}, {1000, 1}};
    for (auto cut : cuts) for (bool threaded : {true, false}) {
      SCOPED_TRACE(testing::Message() << components << " components, records of " << cut.first
                                      << ", receives of " << cut.second << (threaded ? ", threaded" : ""));
      LogTail log;
      source_->SetDecodeThreadThreshold(threaded ? 0 : DimeDataSource::kDecodeThreadThreshold);
      source_->SetMaxStreamLength(static_cast<uint32_t>(expected.size()));
      source_->SetExpectCompressed(true);
      source_->SetBytesPerLine(150u * components);
      int rc = -99;
      HostRead r = Page(DimeMessage(jpeg, "image/jpeg", cut.first), cut.second, 0, &rc);
      EXPECT_EQ(SOAP_OK, rc);
      EXPECT_EQ(uint32_t(CERR_SCANNER_END_OF_PAGE), r.result);
      EXPECT_EQ(expected, r.bytes);
      EXPECT_TRUE(tmp.Entries().empty());
      // The page's file is closed: at once when the page was decoded here, else by the
      // decoding thread once the page is over.
      if (!threaded) EXPECT_EQ(descriptors, imagetest::OpenDescriptors());
      const auto deadline = std::chrono::steady_clock::now() + imagetest::kGenerous;
      while (imagetest::OpenDescriptors() != descriptors && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      EXPECT_EQ(descriptors, imagetest::OpenDescriptors());
      // Decoded rows went into the stream on this thread, which received the page, exactly
      // when no decoding thread was due.
      const std::string decoder = ThreadTagOf(log.Text(), "bytesWrittenToStream");
      ASSERT_FALSE(decoder.empty());
      EXPECT_EQ(!threaded, decoder == "[T:" + std::to_string(GetCurrentThreadId()) + "]");
    }
  }
}

// Dense colour and grey pages in 2 KB records: the decoder runs out of compressed data in the
// middle of rows again and again while the page arrives, and must still hand the host the
// whole page, exactly.
TEST_F(DimeDataSourceTest, DenseJpegPagesInSmallRecordsArriveWhole) {
  PrivateTmpDir tmp;
  for (int components : {3, 1}) {
    SCOPED_TRACE(components);
    const Bytes jpeg = imagetest::MakeNoisyJpeg(320, 64, components, 95, 5);
    const Bytes expected = imagetest::DecodeWhole(jpeg);
    source_->SetMaxStreamLength(static_cast<uint32_t>(expected.size()));
    source_->SetExpectCompressed(true);
    source_->SetBytesPerLine(320u * components);
    int rc = -99;
    HostRead r = Page(DimeMessage(jpeg, "image/jpeg", 2048), 2048, 0, &rc);
    EXPECT_EQ(SOAP_OK, rc);
    EXPECT_EQ(uint32_t(CERR_SCANNER_END_OF_PAGE), r.result);
    ASSERT_EQ(expected.size(), r.bytes.size());
    EXPECT_TRUE(expected == r.bytes);
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

// The attachment ends in the middle of the scan data: the host's read ends in an error, not in
// a complete-looking page with grey rows at the bottom.
TEST_F(DimeDataSourceTest, AJpegPageCutShortEndsInAnError) {
  PrivateTmpDir tmp;
  LogTail log;
  const Bytes jpeg = imagetest::MakeNoisyJpeg(320, 64, 3, 95, 9);
  const Bytes expected = imagetest::DecodeWhole(jpeg);
  const Bytes cut(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2));
  source_->SetMaxStreamLength(static_cast<uint32_t>(expected.size()));
  source_->SetExpectCompressed(true);
  source_->SetBytesPerLine(960);
  auto host = ReadPageAsync();
  Receive(DimeMessage(cut, "image/jpeg", 2048), 2048);
  // The job flow's own end of the page follows; the page's error stands.
  source_->SetNumberOfTrailingPadlines(0);
  ASSERT_EQ(std::future_status::ready, host.wait_for(imagetest::kGenerous));
  HostRead r = host.get();
  // The page fails while it arrives: a host that opened it first meets the error in its read;
  // one that comes after the failure is refused at the open, with the same reason either way.
  if (r.opened) {
    EXPECT_EQ(uint32_t(CERR_UNKNOWN), r.result);
  }
  EXPECT_TRUE(source_->Canceled());
  EXPECT_EQ(uint32_t(CERR_UNKNOWN), source_->GetCancelReason());
  EXPECT_LT(r.bytes.size(), expected.size());
  EXPECT_TRUE(std::equal(r.bytes.begin(), r.bytes.end(), expected.begin()));
  EXPECT_TRUE(log.Has("Error: jpeg_read_scanlines failed unexpectedly"));
  EXPECT_TRUE(log.Has("SOAP error: SOAP_FATAL_ERROR"));
  source_->Close();
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST_F(DimeDataSourceTest, DiscardModeStopsAtTheFirstChunkWithContent) {
  const Bytes message = HandWrittenRawMessage();
  source_->SetExpectCompressed(false);
  source_->SetMaxStreamLength(12);
  source_->SetBytesPerLine(4);
  source_->SetDiscardData(true);
  // The write hook answers the first chunk with its length, which the runtime takes as an
  // error code: the exchange fails.
  EXPECT_NE(SOAP_OK, Receive(message, 4096));
  void* handle = DimeDataSource::OpenCallback(soap_, "id", "type", nullptr);
  EXPECT_EQ(source_.get(), handle);
  const char chunk[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(6, DimeDataSource::WriteCallback(soap_, handle, chunk, 6));
  EXPECT_EQ(0, DimeDataSource::WriteCallback(soap_, handle, chunk, 0));
  DimeDataSource::CloseCallback(soap_, handle);
  EXPECT_TRUE(source_->IsClosed());
  EXPECT_FALSE(source_->Ended());
  // The stream was never opened: a reader would still be waiting for the write end.
  TimeLimits::Instance().streamReadMs = 50;
  EXPECT_FALSE(source_->Open());
  TimeLimits::Instance().Reset();
  // Back to normal reception.
  source_->SetDiscardData(false);
  HostRead r = Page(message, 4096, 0);
  EXPECT_EQ(uint32_t(CERR_SCANNER_END_OF_PAGE), r.result);
  EXPECT_EQ(12u, r.bytes.size());
}

TEST_F(DimeDataSourceTest, CancelKeepsTheFirstReasonAndStopsTheWriter) {
  LogTail log;
  source_->SetExpectCompressed(false);
  source_->SetMaxStreamLength(100);
  source_->SetBytesPerLine(4);
  auto host = ReadPageAsync(8);
  void* handle = DimeDataSource::OpenCallback(soap_, "id", "type", nullptr);
  ASSERT_EQ(source_.get(), handle);
  const char light[4] = {char(200), char(200), char(200), char(200)};
  ASSERT_EQ(SOAP_OK, DimeDataSource::WriteCallback(soap_, handle, light, 4));
  AwaitReaderOpen();
  EXPECT_TRUE(StillBlocked(host));
  std::thread canceller([&] {
    EXPECT_TRUE(source_->Cancel(CERR_CANCEL_PRESSED));
    EXPECT_FALSE(source_->Cancel(CERR_UNKNOWN));
  });
  canceller.join();
  ASSERT_EQ(std::future_status::ready, host.wait_for(imagetest::kGenerous));
  EXPECT_EQ(uint32_t(CERR_CANCEL_PRESSED), host.get().result);
  EXPECT_EQ(uint32_t(CERR_CANCEL_PRESSED), source_->GetCancelReason());
  EXPECT_TRUE(source_->Canceled());
  // The writer's next chunk ends the exchange.
  EXPECT_EQ(SOAP_EOF, DimeDataSource::WriteCallback(soap_, handle, light, 4));
  EXPECT_TRUE(log.Has("SOAP error: SOAP_EOF"));
  DimeDataSource::CloseCallback(soap_, handle);
  source_->Close();
  // The cancel ends with the page; the next cancel stores its own reason.
  EXPECT_FALSE(source_->Canceled());
  EXPECT_TRUE(source_->Cancel(CERR_SCANNER_COMMUNICATION_FAILED));
  EXPECT_EQ(uint32_t(CERR_SCANNER_COMMUNICATION_FAILED), source_->GetCancelReason());
}

TEST_F(DimeDataSourceTest, StreamLengthAndItsLimit) {
  source_->SetMaxStreamLength(1000);
  EXPECT_EQ(1100u, source_->MaxStreamLength());
  source_->SetMaxStreamLength(3);
  EXPECT_EQ(3u, source_->MaxStreamLength());
  source_->SetMaxStreamLength(4000000000u);  // 4.4e9 does not fit: the largest capacity
  EXPECT_EQ(0xFFFFFFFFu, source_->MaxStreamLength());
  source_->SetMaxStreamLength(0);
  soap_->error = SOAP_OK;
  EXPECT_EQ(nullptr, DimeDataSource::OpenCallback(soap_, "id", "type", nullptr));
  EXPECT_EQ(SOAP_FATAL_ERROR, soap_->error);
  source_->SetExpectCompressed(false);
  source_->SetBytesPerLine(4);
  EXPECT_EQ(SOAP_FATAL_ERROR, Receive(HandWrittenRawMessage(), 4096));
}

TEST_F(DimeDataSourceTest, RawPageLargerThanItsCapacityEndsWithAnError) {
  LogTail log;
  source_->SetExpectCompressed(false);
  source_->SetMaxStreamLength(9);  // capacity 9 for a 12-byte page
  source_->SetBytesPerLine(4);
  auto host = ReadPageAsync(100);
  EXPECT_EQ(SOAP_FATAL_ERROR, Receive(HandWrittenRawMessage(), 4096));
  EXPECT_TRUE(log.Has("Error: Error writing to memory-mapped file"));
  EXPECT_TRUE(log.Has("SOAP error: SOAP_FATAL_ERROR"));
  ExpectFailedPage(host);
  source_->Close();
}

TEST_F(DimeDataSourceTest, ASecondAttachmentInOneAnswerFailsThePage) {
  LogTail log;
  // Two attachments of one raw record each: "uuid:page1" with 1 2 3 4, then (ME) "uuid:page2"
  // with 5 6 7 8.
  const Bytes twoImages = Cat({SoapRecord(),
                               {0x08, 0x10, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x04},
                               Text("uuid:page1"), Zeros(2), Text("image/x-raw"), Zeros(1),
                               {0x01, 0x02, 0x03, 0x04},
                               {0x0A, 0x10, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x0B, 0x00, 0x00, 0x00, 0x04},
                               Text("uuid:page2"), Zeros(2), Text("image/x-raw"), Zeros(1),
                               {0x05, 0x06, 0x07, 0x08}});
  source_->SetExpectCompressed(false);
  for (size_t piece : {1u, 4096u}) {
    SCOPED_TRACE(piece);
    source_->SetMaxStreamLength(8);
    source_->SetBytesPerLine(4);
    auto host = ReadPageAsync(100);
    // The second image's record comes once the host has opened the first one.
    const size_t secondRecord = SoapRecord().size() + 40;
    EXPECT_EQ(SOAP_FATAL_ERROR, Receive(twoImages, piece, secondRecord, [this] { AwaitReaderOpen(); }));
    // The host is not handed a page that another image replaced under it.
    ASSERT_EQ(std::future_status::ready, host.wait_for(imagetest::kGenerous));
    HostRead r = host.get();
    EXPECT_TRUE(r.opened);
    EXPECT_EQ(uint32_t(CERR_UNKNOWN), r.result);
    EXPECT_TRUE(r.bytes.empty() || r.bytes == Bytes({1, 2, 3, 4}));
    EXPECT_TRUE(log.Has("More than one image attachment in the answer"));
    source_->Close();
  }
  // The next answer with one image is a page like any other.
  source_->SetMaxStreamLength(12);
  source_->SetBytesPerLine(4);
  int rc = -99;
  HostRead r = Page(HandWrittenRawMessage(), 4096, 0, &rc);
  EXPECT_EQ(SOAP_OK, rc);
  EXPECT_EQ(uint32_t(CERR_SCANNER_END_OF_PAGE), r.result);
  EXPECT_EQ(Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), r.bytes);
}

// Rows past the page's capacity fail the page and the exchange. In small records the rows
// are decoded while the page arrives; with the whole page in one record and one receive they
// are decoded (on the page's decoding thread) only after the runtime has handed over the last
// chunk, and the failure must still fail the exchange, not just the host's read.
TEST_F(DimeDataSourceTest, JpegRowsPastTheCapacityFailThePageAndTheExchangeAndLeaveNoFile) {
  PrivateTmpDir tmp;
  const Bytes jpeg = imagetest::MakeJpeg(100, 50, 3);
  for (bool oneRecord : {false, true}) {
    SCOPED_TRACE(oneRecord ? "one record" : "records of 512");
    source_->SetExpectCompressed(true);
    source_->SetMaxStreamLength(100 * 3 * 20);  // room for 22 of the 50 rows
    source_->SetBytesPerLine(300);
    auto host = ReadPageAsync(100000);
    LogTail log;
    const size_t record = oneRecord ? jpeg.size() : 512;
    const int rc = Receive(DimeMessage(jpeg, "image/jpeg", record), oneRecord ? 1 << 20 : 512);
    if (oneRecord) {
      EXPECT_EQ(SOAP_FATAL_ERROR, rc);
    } else {
      EXPECT_NE(SOAP_OK, rc);
    }
    // A JPEG taller than the capacity is refused at its header, before any row.
    EXPECT_TRUE(log.Has("Error: JPEG does not match the page"));
    EXPECT_TRUE(log.Has("SOAP error: SOAP_FATAL_ERROR"));
    EXPECT_EQ(0u, ExpectFailedPage(host).bytes.size());
    source_->Close();
    EXPECT_TRUE(tmp.Entries().empty());
  }
}

// The host stops a JPEG page while it arrives: the exchange ends in an error (the decoding
// thread meets the cancel and refuses with SOAP_EOF, as a raw page's write does; refused with
// the attachment's very last chunk, the runtime reports a DIME error of its own instead), and
// the host's read ends with the host's reason.
TEST_F(DimeDataSourceTest, AHostCancelDuringAJpegPageEndsTheExchange) {
  PrivateTmpDir tmp;
  LogTail log;
  const Bytes jpeg = imagetest::MakeNoisyJpeg(320, 128, 3, 95, 4);
  source_->SetExpectCompressed(true);
  source_->SetMaxStreamLength(320 * 3 * 128);
  source_->SetBytesPerLine(960);
  auto host = ReadPageAsync();
  const Bytes message = DimeMessage(jpeg, "image/jpeg", 4096);
  // Stopped after about a quarter of the page has arrived.
  const int rc = Receive(message, 4096, message.size() / 4, [this] {
    AwaitReaderOpen();
    EXPECT_TRUE(source_->Cancel(CERR_CANCEL_PRESSED));
  });
  EXPECT_TRUE(rc == SOAP_EOF || rc == SOAP_DIME_MISMATCH) << rc;
  EXPECT_TRUE(log.Has("SOAP error: SOAP_EOF"));
  ASSERT_EQ(std::future_status::ready, host.wait_for(imagetest::kGenerous));
  EXPECT_EQ(uint32_t(CERR_CANCEL_PRESSED), host.get().result);
  source_->Close();
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST_F(DimeDataSourceTest, DestroyedMidPageLeavesNoFile) {
  PrivateTmpDir tmp;
  const Bytes jpeg = imagetest::MakeJpeg(64, 64, 1);
  source_->SetExpectCompressed(true);
  source_->SetMaxStreamLength(64 * 64);
  source_->SetBytesPerLine(64);
  void* handle = DimeDataSource::OpenCallback(soap_, "id", "type", nullptr);
  ASSERT_NE(nullptr, handle);
  ASSERT_EQ(SOAP_OK, DimeDataSource::WriteCallback(soap_, handle, reinterpret_cast<const char*>(jpeg.data()),
                                                   imagetest::JpegHeaderLength(jpeg) + 10));
  source_->Close();
  source_.reset();
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST_F(DimeDataSourceTest, ZeroLengthChunksAndBadReads) {
  LogTail log;
  source_->SetExpectCompressed(true);
  source_->SetMaxStreamLength(100);
  source_->SetBytesPerLine(4);
  void* handle = DimeDataSource::OpenCallback(soap_, "id", "type", nullptr);
  ASSERT_NE(nullptr, handle);
  const char byte = 0;
  EXPECT_EQ(SOAP_OK, DimeDataSource::WriteCallback(soap_, handle, &byte, 0));
  EXPECT_TRUE(log.Has("Warning: gSOAP requested a zero-length DIME write"));
  source_->SetExpectCompressed(false);
  EXPECT_EQ(SOAP_OK, DimeDataSource::WriteCallback(soap_, handle, &byte, 0));
  uint8_t buf[4];
  uint32_t n = 77;
  EXPECT_EQ(uint32_t(CERR_INVALID_PARAMETER), source_->Read(buf, 0, n));
  EXPECT_EQ(uint32_t(CERR_INVALID_PARAMETER), source_->Read(nullptr, 4, n));
  EXPECT_TRUE(log.Has("CERR_INVALID_PARAMETER"));
  source_->Close();
}

TEST_F(DimeDataSourceTest, HooksWithoutTheirDataSourceFail) {
  LogTail log;
  SoapPointerMap other;
  SoapPointerMap::Attach(soap_, &other);  // a context whose map does not know the source
  const char byte = 1;
  EXPECT_EQ(SOAP_FATAL_ERROR, DimeDataSource::WriteCallback(soap_, nullptr, &byte, 1));
  EXPECT_TRUE(log.Has("SOAP error: SOAP_FATAL_ERROR"));
  soap_->error = SOAP_OK;
  EXPECT_EQ(nullptr, DimeDataSource::OpenCallback(soap_, "id", "type", nullptr));
  EXPECT_EQ(SOAP_FATAL_ERROR, soap_->error);
  DimeDataSource::CloseCallback(soap_, nullptr);  // nothing to do, nothing happens
  SoapPointerMap::Attach(soap_, &map_);
  map_.Set(DimeDataSource::kPointerMapKey, source_.get());
}

TEST(DimeJpegHeaderTest, HeaderIsWholeOnlyWithItsStartOfScanSegment) {
  // SOI, an APP0 segment of length 4, SOS of length 8.
  const Bytes jpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0xAA, 0xBB, 0xFF, 0xDA, 0x00, 0x08,
                      0x01, 0x01, 0x00, 0x00, 0x3F, 0x00, 0x12};
  for (size_t n = 0; n < 18; ++n) EXPECT_FALSE(DimeDataSource::HoldsJpegHeader(jpeg.data(), n)) << n;
  EXPECT_TRUE(DimeDataSource::HoldsJpegHeader(jpeg.data(), 18));
  // An FF DA inside another segment is not the start of scan.
  const Bytes hidden = {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x06, 0xFF, 0xDA, 0x00, 0x02};
  EXPECT_FALSE(DimeDataSource::HoldsJpegHeader(hidden.data(), hidden.size()));
  // Not a JPEG: the library is left to say so.
  const Bytes junk = {0x00, 0x01, 0x02};
  EXPECT_TRUE(DimeDataSource::HoldsJpegHeader(junk.data(), junk.size()));
}

}  // namespace
