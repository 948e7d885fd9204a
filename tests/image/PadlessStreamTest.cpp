// The pad-line-stripping stream over a real page stream: content detection, the readable
// limit, the pad-line count and the reader's waits, with writer and reader on their own threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "ImageTestSupport.h"
#include "image/PadlessStream.h"
#include "image/PadlessStreamFactory.h"

using imagetest::LogTail;
using imagetest::StillBlocked;

namespace {

constexpr uint8_t kDark = 59;   // darkest value that still counts as light is 60
constexpr uint8_t kLight = 60;

std::vector<uint8_t> Row(uint32_t width, uint8_t value) { return std::vector<uint8_t>(width, value); }

class PadlessStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PadlessStreamFactory factory;
    stream_.reset(factory.CreateImageStream());
    ASSERT_TRUE(stream_->Init());
  }
  void TearDown() override {
    stream_->CloseWriteEnd();
    stream_->CloseReadEnd();
  }
  void OpenBoth(uint32_t capacity) {
    auto opened = std::async(std::launch::async, [this] { return stream_->OpenReadEnd(); });
    ASSERT_TRUE(stream_->OpenWriteEnd(capacity));
    ASSERT_TRUE(opened.get());
  }
  void Put(const std::vector<uint8_t>& bytes) {
    uint32_t written = 0;
    ASSERT_EQ(StreamOk, stream_->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), written));
    ASSERT_EQ(bytes.size(), written);
  }
  void PutAndPublish(const std::vector<uint8_t>& bytes) {
    Put(bytes);
    ASSERT_TRUE(stream_->MakeWrittenBytesAvailable());
  }
  // Starts a read of `size` bytes on its own thread.
  std::future<StreamStatus> ReadAsync(uint32_t size) {
    buffer_.assign(size, 0);
    got_ = 0;
    return std::async(std::launch::async, [this, size] { return stream_->Read(buffer_.data(), size, got_); });
  }
  StreamStatus ReadNow(uint32_t size) {
    auto f = ReadAsync(size);
    if (f.wait_for(imagetest::kGenerous) != std::future_status::ready) {
      ADD_FAILURE() << "read did not return";
      stream_->Cancel();
    }
    return f.get();
  }

  std::unique_ptr<IImageStream> stream_;
  std::vector<uint8_t> buffer_;
  uint32_t got_ = 0;
};

TEST_F(PadlessStreamTest, DarkRowsAreReadableAsTheyArrive) {
  stream_->SetBytesPerLine(8);
  OpenBoth(100);
  for (uint8_t i = 0; i < 5; ++i) {
    // Only the dark byte at the row's end marks it as content.
    std::vector<uint8_t> row = Row(8, 200);
    row[7] = static_cast<uint8_t>(i);
    std::thread writer([&] { PutAndPublish(row); });
    writer.join();
    ASSERT_EQ(StreamOk, ReadNow(8)) << "row " << int(i);
    EXPECT_EQ(row, buffer_);
  }
  ASSERT_TRUE(stream_->SetNumberOfTrailingPadlines(0));
  ASSERT_TRUE(stream_->CloseWriteEnd());
  EXPECT_EQ(StreamEndOfData, ReadNow(8));
  EXPECT_EQ(0u, got_);
}

TEST_F(PadlessStreamTest, TrailingLightRowsWaitForTheCount) {
  stream_->SetBytesPerLine(10);
  OpenBoth(100);
  for (int i = 0; i < 3; ++i) PutAndPublish(Row(10, kDark));
  PutAndPublish(Row(10, kLight));
  PutAndPublish(Row(10, 255));
  ASSERT_EQ(StreamOk, ReadNow(30));
  auto blocked = ReadAsync(20);
  EXPECT_TRUE(StillBlocked(blocked));  // light rows are held back
  std::thread writer([&] {
    ASSERT_TRUE(stream_->SetNumberOfTrailingPadlines(0));  // they are image after all
    ASSERT_TRUE(stream_->CloseWriteEnd());
  });
  writer.join();
  ASSERT_EQ(std::future_status::ready, blocked.wait_for(imagetest::kGenerous));
  EXPECT_EQ(StreamOk, blocked.get());
  std::vector<uint8_t> expected = Row(10, kLight);
  std::vector<uint8_t> white = Row(10, 255);
  expected.insert(expected.end(), white.begin(), white.end());
  EXPECT_EQ(expected, buffer_);
  EXPECT_EQ(StreamEndOfData, ReadNow(5));
}

TEST_F(PadlessStreamTest, OneDarkByteAnywhereInAWideRowMakesItContent) {
  // Wide rows are looked at in blocks: a dark byte at a block's edge or in the row's tail
  // must count as well as one inside, and light values of every kind (60, 128 and above)
  // must not.
  // Two 512-byte blocks (four of 256), then 16-byte steps and a byte tail.
  constexpr uint32_t kWidth = 1115;
  const uint32_t positions[] = {0,   1,   15,  16,   31,   32,   63,   64,   255,  256,  257,
                                511, 512, 767, 768,  1023, 1024, 1039, 1040, 1103, 1104, 1114};
  stream_->SetBytesPerLine(kWidth);
  OpenBoth(kWidth * 24);
  std::vector<uint8_t> light(kWidth);
  for (uint32_t i = 0; i < kWidth; ++i) light[i] = static_cast<uint8_t>(kLight + (i * 37) % (256 - kLight));
  light[5] = kLight;
  light[70] = 0x80;
  light[130] = 0xFF;
  light[300] = kLight;
  light[590] = kLight;
  light[1023] = kLight;
  light[1110] = kLight;
  for (uint32_t pos : positions) {
    std::vector<uint8_t> row = light;
    row[pos] = kDark;
    PutAndPublish(row);
    // Readable on its own: a later content row would release it anyway.
    EXPECT_EQ(StreamOk, ReadNow(kWidth)) << "dark byte at " << pos;
    EXPECT_EQ(row, buffer_);
  }
  PutAndPublish(light);
  auto blocked = ReadAsync(kWidth);
  EXPECT_TRUE(StillBlocked(blocked)) << "a row without a dark byte is held back";
  std::thread writer([&] {
    ASSERT_TRUE(stream_->SetNumberOfTrailingPadlines(1));
    ASSERT_TRUE(stream_->CloseWriteEnd());
  });
  writer.join();
  ASSERT_EQ(std::future_status::ready, blocked.wait_for(imagetest::kGenerous));
  EXPECT_EQ(StreamEndOfData, blocked.get());
  EXPECT_EQ(0u, got_);
}

TEST_F(PadlessStreamTest, CountedPadRowsAreNeverDelivered) {
  stream_->SetBytesPerLine(10);
  OpenBoth(100);
  for (int i = 0; i < 3; ++i) PutAndPublish(Row(10, kDark));
  PutAndPublish(Row(10, kLight));
  PutAndPublish(Row(10, kLight));
  auto read = ReadAsync(50);
  std::thread writer([&] {
    ASSERT_TRUE(stream_->SetNumberOfTrailingPadlines(2));
    ASSERT_TRUE(stream_->CloseWriteEnd());
  });
  writer.join();
  ASSERT_EQ(std::future_status::ready, read.wait_for(imagetest::kGenerous));
  EXPECT_EQ(StreamEndOfData, read.get());
  EXPECT_EQ(30u, got_);
  EXPECT_EQ(StreamEndOfData, ReadNow(1));
  EXPECT_EQ(0u, got_);
}

// A light stretch taller than the page's ring (128 rows of 8 KB), in four runs of identical
// rows, written in place or from the caller's copy: released whole by a row with content or
// by the count, or dropped as pad wholly or in part; the reader gets exactly the page's rows.
TEST_F(PadlessStreamTest, StretchTallerThanTheRingIsReleasedOrDroppedAsPad) {
  constexpr uint32_t kWidth = 8192, kContent = 10, kStretch = 200;
  const struct { bool inPlace, darkRowAfter; uint32_t padLines, delivered; } kCases[] = {
      {true, true, 0, kContent + kStretch + 1},
      {true, false, kStretch, kContent},
      {false, false, 60, kContent + kStretch - 60},
      {false, true, 0, kContent + kStretch + 1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.padLines);
    std::vector<uint8_t> page;
    for (uint32_t i = 0; i < kContent + kStretch + 1; ++i) {
      const uint8_t value = i < kContent ? static_cast<uint8_t>(i) : static_cast<uint8_t>(200 + (i - kContent) / 50);
      if (i < kContent + kStretch || c.darkRowAfter) page.resize(page.size() + kWidth, i == kContent + kStretch ? 5 : value);
    }
    stream_->SetBytesPerLine(kWidth);
    OpenBoth(400 * kWidth);
    auto read = ReadAsync(400 * kWidth);
    for (size_t at = 0; at < page.size(); at += 16 * kWidth) {
      const uint32_t size = static_cast<uint32_t>(std::min<size_t>(16 * kWidth, page.size() - at));
      uint32_t written = 0;
      if (c.inPlace) {
        uint8_t* space = stream_->WriteSpace(size);
        ASSERT_NE(nullptr, space);
        std::copy(page.begin() + at, page.begin() + at + size, space);
      }
      ASSERT_EQ(StreamOk, c.inPlace ? stream_->CommitWrite(size, written) : stream_->Write(&page[at], size, written));
      ASSERT_EQ(size, written);
      ASSERT_TRUE(stream_->MakeWrittenBytesAvailable());
    }
    ASSERT_TRUE(stream_->SetNumberOfTrailingPadlines(c.padLines));
    ASSERT_TRUE(stream_->CloseWriteEnd());
    ASSERT_EQ(std::future_status::ready, read.wait_for(imagetest::kGenerous));
    EXPECT_EQ(StreamEndOfData, read.get());
    ASSERT_EQ(c.delivered * kWidth, got_);
    EXPECT_TRUE(std::equal(page.begin(), page.begin() + got_, buffer_.begin()));
    ASSERT_TRUE(stream_->CloseReadEnd());
  }
}

TEST_F(PadlessStreamTest, DarkPadRowsAreWithheldByTheCount) {
  stream_->SetBytesPerLine(4);
  OpenBoth(100);
  PutAndPublish(Row(4, 1));
  PutAndPublish(Row(4, 2));
  PutAndPublish(Row(4, 3));  // a pad row with dark bytes: readable until the count arrives
  ASSERT_EQ(StreamOk, ReadNow(8));
  ASSERT_TRUE(stream_->SetNumberOfTrailingPadlines(1));
  ASSERT_TRUE(stream_->CloseWriteEnd());
  EXPECT_EQ(StreamEndOfData, ReadNow(4));
  EXPECT_EQ(0u, got_);
}

// A page the writer finishes (rows, count, end) before the reader opens it, as when the host
// reads a feeder page late: only the page's own reads may hold its limit up, never what the
// reader took of an earlier page. Earlier pages of fewer, as many and more bytes than this one.
TEST_F(PadlessStreamTest, PageOpenedAfterItsEndWithholdsItsPadRows) {
  const std::vector<uint8_t> content = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  for (uint32_t earlierRows : {0u, 1u, 4u, 9u}) {
    SCOPED_TRACE("earlier page of " + std::to_string(earlierRows) + " rows");
    stream_->SetBytesPerLine(10);
    OpenBoth(100);
    for (uint32_t i = 0; i < earlierRows; ++i) PutAndPublish(Row(10, kDark));
    ASSERT_TRUE(stream_->SetNumberOfTrailingPadlines(0));
    ASSERT_TRUE(stream_->CloseWriteEnd());
    EXPECT_EQ(StreamEndOfData, ReadNow(100));
    EXPECT_EQ(earlierRows * 10, got_);
    ASSERT_TRUE(stream_->CloseReadEnd());

    // Two content rows and two light pad rows, counted and ended with no reader there.
    stream_->SetBytesPerLine(10);
    ASSERT_TRUE(stream_->OpenWriteEnd(100));
    PutAndPublish(content);
    PutAndPublish(Row(10, kDark));
    PutAndPublish(Row(10, kLight));
    PutAndPublish(Row(10, 255));
    ASSERT_TRUE(stream_->SetNumberOfTrailingPadlines(2));
    ASSERT_TRUE(stream_->CloseWriteEnd());
    ASSERT_TRUE(stream_->OpenReadEnd());
    EXPECT_EQ(StreamEndOfData, ReadNow(100));
    ASSERT_EQ(20u, got_);
    EXPECT_TRUE(std::equal(content.begin(), content.end(), buffer_.begin()));
    EXPECT_EQ(Row(10, kDark), std::vector<uint8_t>(buffer_.begin() + 10, buffer_.begin() + 20));
    ASSERT_TRUE(stream_->CloseReadEnd());
  }
}

TEST_F(PadlessStreamTest, CountLargerThanThePageIsReducedWithWarnings) {
  stream_->SetBytesPerLine(10);
  OpenBoth(100);
  for (int i = 0; i < 3; ++i) PutAndPublish(Row(10, kDark));
  ASSERT_EQ(StreamOk, ReadNow(10));
  LogTail log;
  ASSERT_TRUE(stream_->SetNumberOfTrailingPadlines(4));
  EXPECT_TRUE(log.Has("padlines 4"));
  EXPECT_TRUE(log.Has("Warning: Client claims that the image contains"));
  EXPECT_TRUE(log.Has("more padlines than there are lines in the entire image."));
  EXPECT_TRUE(log.Has("Automatically reducing padline count to compensate..."));
  ASSERT_TRUE(stream_->CloseWriteEnd());
  // Nothing beyond what was already read is released, nothing read is taken back.
  EXPECT_EQ(StreamEndOfData, ReadNow(20));
  EXPECT_EQ(0u, got_);
}

TEST_F(PadlessStreamTest, HugeCountDoesNotWrapRoundToASmallOne) {
  stream_->SetBytesPerLine(2);
  OpenBoth(100);
  PutAndPublish(Row(2, 200));
  PutAndPublish(Row(2, 200));
  LogTail log;
  // 0x80000000 rows of 2 bytes would be 0 bytes in 32 bits and release every row.
  ASSERT_TRUE(stream_->SetNumberOfTrailingPadlines(0x80000000u));
  EXPECT_TRUE(log.Has("Automatically reducing padline count to compensate..."));
  ASSERT_TRUE(stream_->CloseWriteEnd());
  EXPECT_EQ(StreamEndOfData, ReadNow(4));
  EXPECT_EQ(0u, got_);
}

// An announced page of two rows of 4 followed by a third dark row: the reader never gets past
// the page, and the page ends only when the count leaves exactly the page.
TEST_F(PadlessStreamTest, AnAnnouncedPageIsNeverReadPastAndEndsOnlyWhenExact) {
  const struct {
    uint32_t padLines;
    bool ends;
  } kCases[] = {
      {1, true},
      {0, false},            // a row more than announced
      {2, false},            // a row less
      {0x40000001u, false},  // 4 x this is 4 in 32 bits: a row less, not the whole page
      {0x40000000u, false},  // 0 in 32 bits: the whole page and the extra row
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.padLines);
    stream_->SetBytesPerLine(4);
    stream_->SetPageLength(8);
    OpenBoth(100);
    PutAndPublish(Row(4, 1));
    PutAndPublish(Row(4, 2));
    PutAndPublish(Row(4, 3));
    auto read = ReadAsync(12);
    EXPECT_TRUE(StillBlocked(read)) << "the third row is past the page";
    EXPECT_EQ(c.ends, stream_->SetNumberOfTrailingPadlines(c.padLines));
    if (c.ends) {
      ASSERT_TRUE(stream_->CloseWriteEnd());
      ASSERT_EQ(std::future_status::ready, read.wait_for(imagetest::kGenerous));
      EXPECT_EQ(StreamEndOfData, read.get());
      EXPECT_EQ(8u, got_);
      EXPECT_EQ(std::vector<uint8_t>({1, 1, 1, 1, 2, 2, 2, 2}), std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + 8));
    } else {
      EXPECT_TRUE(StillBlocked(read)) << "a page of another size is not ended";
      ASSERT_TRUE(stream_->Cancel());
      ASSERT_EQ(std::future_status::ready, read.wait_for(imagetest::kGenerous));
      EXPECT_EQ(StreamCanceled, read.get());
      ASSERT_TRUE(stream_->CloseWriteEnd());
    }
    EXPECT_EQ(Row(4, 0), std::vector<uint8_t>(buffer_.begin() + 8, buffer_.end())) << "nothing of the third row";
    ASSERT_TRUE(stream_->CloseReadEnd());
  }
}

TEST_F(PadlessStreamTest, RowSplitAcrossWritesCountsOnlyItsFirstPart) {
  stream_->SetBytesPerLine(10);
  OpenBoth(100);
  std::vector<uint8_t> firstHalf = Row(5, kLight), secondHalf = Row(5, kLight);
  secondHalf[2] = kDark;
  PutAndPublish(firstHalf);
  PutAndPublish(secondHalf);  // finishes row 0: counted, not examined
  PutAndPublish(Row(10, kLight));
  auto read = ReadAsync(1);
  EXPECT_TRUE(StillBlocked(read));
  // A write running past a row boundary is cut into row stretches: row 2 is light, the first
  // four bytes of row 3 hold a dark byte, so the limit moves into the middle of row 3.
  std::vector<uint8_t> tail = Row(14, kLight);
  tail[12] = kDark;
  PutAndPublish(tail);
  ASSERT_EQ(std::future_status::ready, read.wait_for(imagetest::kGenerous));
  EXPECT_EQ(StreamOk, read.get());
  EXPECT_EQ(kLight, buffer_[0]);
  ASSERT_EQ(StreamOk, ReadNow(33));
  EXPECT_EQ(kDark, buffer_[6]);   // byte 7 of the page
  EXPECT_EQ(kDark, buffer_[33 - 2]);  // byte 32 of the page
  auto more = ReadAsync(1);
  EXPECT_TRUE(StillBlocked(more));  // the rest of row 3 is not yet known to hold content
  PutAndPublish(Row(6, kLight));    // finishes row 3: counted, not examined
  EXPECT_TRUE(StillBlocked(more));
  ASSERT_TRUE(stream_->SetNumberOfTrailingPadlines(0));
  ASSERT_EQ(std::future_status::ready, more.wait_for(imagetest::kGenerous));
  EXPECT_EQ(StreamOk, more.get());
  ASSERT_TRUE(stream_->CloseWriteEnd());
  EXPECT_EQ(StreamEndOfData, ReadNow(100));
  EXPECT_EQ(5u, got_);
}

TEST_F(PadlessStreamTest, BytesPerLineMustBeSetForEachPage) {
  LogTail log;
  OpenBoth(100);
  uint8_t byte = 0;
  uint32_t n = 0;
  EXPECT_EQ(StreamError, stream_->Write(&byte, 1, n));
  EXPECT_EQ(StreamError, stream_->Read(&byte, 1, n));
  EXPECT_EQ(2u, log.Count("Error: Bytes-per-line not yet set"));
  EXPECT_EQ(2u, log.Count("Error: I/O operation invalid"));
  EXPECT_TRUE(log.Has("Error: Write attempt was invalid"));
  EXPECT_TRUE(log.Has("Error: Read attempt was invalid"));
  stream_->SetBytesPerLine(3);
  EXPECT_EQ(3u, stream_->GetBytesPerLine());
  ASSERT_TRUE(stream_->CloseWriteEnd());
  ASSERT_TRUE(stream_->CloseReadEnd());
  EXPECT_EQ(0u, stream_->GetBytesPerLine());
}

TEST_F(PadlessStreamTest, CancelWakesAWaitingReader) {
  stream_->SetBytesPerLine(10);
  OpenBoth(100);
  PutAndPublish(Row(10, kLight));
  auto read = ReadAsync(10);
  EXPECT_TRUE(StillBlocked(read));
  std::thread canceller([&] { EXPECT_TRUE(stream_->Cancel()); });
  canceller.join();
  ASSERT_EQ(std::future_status::ready, read.wait_for(imagetest::kGenerous));
  EXPECT_EQ(StreamCanceled, read.get());
  EXPECT_TRUE(stream_->Canceled());
  uint32_t n = 0;
  EXPECT_EQ(StreamCanceled, stream_->Write(Row(10, kDark).data(), 10, n));
}

TEST_F(PadlessStreamTest, UseBeforeInitFails) {
  PadlessStreamFactory factory;
  std::unique_ptr<IImageStream> fresh(factory.CreateImageStream());
  LogTail log;
  EXPECT_FALSE(fresh->OpenWriteEnd(10));
  EXPECT_FALSE(fresh->Cancel());
  EXPECT_FALSE(fresh->Canceled());
  EXPECT_EQ(3u, log.Count("Error: Stream not yet initialized"));
}

// Rows produced in place are looked at for content where they lie, as written rows are; room
// is tied to the page and the size it was asked for.
TEST_F(PadlessStreamTest, RowsCommittedInPlaceAreLookedAtForContent) {
  LogTail log;
  uint32_t written = 0;
  EXPECT_EQ(nullptr, stream_->WriteSpace(10));  // no page yet
  stream_->SetBytesPerLine(10);
  OpenBoth(100);
  EXPECT_EQ(StreamError, stream_->CommitWrite(10, written));  // no room asked for
  EXPECT_TRUE(log.Has("Error: Commit without the space for it"));
  uint8_t* space = stream_->WriteSpace(30);
  ASSERT_NE(nullptr, space);
  std::fill(space, space + 10, kDark);
  std::fill(space + 10, space + 30, kLight);
  EXPECT_EQ(StreamError, stream_->CommitWrite(31, written));  // more than the room
  space = stream_->WriteSpace(30);
  ASSERT_NE(nullptr, space);
  ASSERT_EQ(StreamOk, stream_->CommitWrite(30, written));
  EXPECT_EQ(30u, written);
  ASSERT_TRUE(stream_->MakeWrittenBytesAvailable());
  // The dark row is readable; the two light rows below it wait for the pad-line count.
  EXPECT_EQ(StreamOk, ReadNow(10));
  EXPECT_EQ(Row(10, kDark), buffer_);
  auto blocked = ReadAsync(10);
  EXPECT_TRUE(StillBlocked(blocked));
  ASSERT_TRUE(stream_->SetNumberOfTrailingPadlines(1));
  ASSERT_TRUE(stream_->CloseWriteEnd());
  ASSERT_EQ(std::future_status::ready, blocked.wait_for(imagetest::kGenerous));
  EXPECT_EQ(StreamOk, blocked.get());
  EXPECT_EQ(Row(10, kLight), buffer_);
  EXPECT_EQ(StreamEndOfData, ReadNow(10));
  EXPECT_EQ(0u, got_);
  ASSERT_TRUE(stream_->CloseReadEnd());
  // Room handed out on one page is not committable on the next.
  stream_->SetBytesPerLine(10);
  OpenBoth(100);
  ASSERT_NE(nullptr, stream_->WriteSpace(10));
  ASSERT_TRUE(stream_->CloseWriteEnd());
  ASSERT_TRUE(stream_->CloseReadEnd());
  stream_->SetBytesPerLine(10);
  OpenBoth(100);
  EXPECT_EQ(StreamError, stream_->CommitWrite(10, written));
  EXPECT_EQ(0u, written);
}

}  // namespace
