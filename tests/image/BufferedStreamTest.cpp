// The page stream between a writer thread and a reader thread: publication, end of data,
// cancellation, limits and misuse, with real threads where the order matters.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "ImageTestSupport.h"
#include "image/BufferedStream.h"
#include "platform/PageMapping.h"
#include "platform/TimeLimits.h"

using imagetest::LogTail;
using imagetest::StillBlocked;

namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return v;
}

class BufferedStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(stream_.Init()); }
  void TearDown() override { TimeLimits::Instance().Reset(); }

  void WriteAll(const std::vector<uint8_t>& bytes) {
    uint32_t written = 0;
    ASSERT_EQ(StreamOk, stream_.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), written));
    ASSERT_EQ(bytes.size(), written);
  }
  // Opens the reader's end on its own thread (it blocks until the writer opens).
  std::future<bool> OpenReaderAsync() {
    return std::async(std::launch::async, [this] { return stream_.OpenReadEnd(); });
  }

  BufferedStream stream_;
};

TEST_F(BufferedStreamTest, InitTwiceKeepsTheObjects) {
  ASSERT_TRUE(stream_.OpenWriteEnd(16));
  ASSERT_TRUE(stream_.Cancel());
  // A second Init must not replace the (signalled) cancel event with a fresh one.
  ASSERT_TRUE(stream_.Init());
  EXPECT_TRUE(stream_.Canceled());
}

TEST_F(BufferedStreamTest, PageCrossesThreadsIntactInManyWriteSizes) {
  const std::vector<uint8_t> page = Pattern(100000, 3);
  const uint32_t sizes[] = {1, 2, 7, 255, 4096, 7650, 33333};
  std::future<bool> opened = OpenReaderAsync();
  std::promise<void> readerOpen;
  std::thread writer([&] {
    ASSERT_TRUE(stream_.OpenWriteEnd(static_cast<uint32_t>(page.size())));
    size_t pos = 0;
    for (size_t i = 0; pos < page.size(); ++i) {
      uint32_t n = sizes[i % 7];
      if (n > page.size() - pos) n = static_cast<uint32_t>(page.size() - pos);
      uint32_t written = 0;
      ASSERT_EQ(StreamOk, stream_.Write(page.data() + pos, n, written));
      pos += written;
      if (i % 3 == 0) {
        ASSERT_TRUE(stream_.MakeWrittenBytesAvailable());
      }
    }
    readerOpen.get_future().wait();
    ASSERT_TRUE(stream_.CloseWriteEnd());
  });
  ASSERT_TRUE(opened.get());
  readerOpen.set_value();
  std::vector<uint8_t> got;
  std::vector<uint8_t> buf(5000);
  StreamStatus status;
  do {
    uint32_t n = 0;
    status = stream_.Read(buf.data(), static_cast<uint32_t>(buf.size()), n);
    ASSERT_TRUE(status == StreamOk || status == StreamEndOfData) << status;
    got.insert(got.end(), buf.begin(), buf.begin() + n);
  } while (status == StreamOk);
  writer.join();
  EXPECT_EQ(page, got);
  EXPECT_TRUE(stream_.Ended());
  EXPECT_TRUE(stream_.CloseReadEnd());
  EXPECT_FALSE(stream_.Ended());
}

TEST_F(BufferedStreamTest, ReaderWaitsForPublicationNotForWrites) {
  std::future<bool> opened = OpenReaderAsync();
  ASSERT_TRUE(stream_.OpenWriteEnd(100));
  ASSERT_TRUE(opened.get());
  const std::vector<uint8_t> bytes = Pattern(40, 1);
  WriteAll(bytes);
  std::vector<uint8_t> buf(40);
  uint32_t n = 0;
  auto read = std::async(std::launch::async, [&] { return stream_.Read(buf.data(), 40, n); });
  EXPECT_TRUE(StillBlocked(read));  // written but not published
  ASSERT_TRUE(stream_.MakeWrittenBytesAvailable());
  ASSERT_EQ(std::future_status::ready, read.wait_for(imagetest::kGenerous));
  EXPECT_EQ(StreamOk, read.get());
  EXPECT_EQ(40u, n);
  EXPECT_EQ(bytes, buf);
  stream_.CloseWriteEnd();
}

TEST_F(BufferedStreamTest, PublishedDataIsDeliveredBeforeCancelAndEnd) {
  const std::vector<uint8_t> bytes = Pattern(64, 9);
  std::future<bool> opened = OpenReaderAsync();
  ASSERT_TRUE(stream_.OpenWriteEnd(128));
  ASSERT_TRUE(opened.get());
  std::thread writer([&] {
    WriteAll(bytes);
    ASSERT_TRUE(stream_.MakeWrittenBytesAvailable());
    ASSERT_TRUE(stream_.Cancel());
    ASSERT_TRUE(stream_.CloseWriteEnd());
  });
  writer.join();
  // Data, cancel and end are all signalled: the data wins.
  std::vector<uint8_t> buf(64);
  uint32_t n = 0;
  EXPECT_EQ(StreamOk, stream_.Read(buf.data(), 64, n));
  EXPECT_EQ(bytes, buf);
  // Then the cancel, ahead of the end.
  EXPECT_EQ(StreamCanceled, stream_.Read(buf.data(), 1, n));
  EXPECT_TRUE(stream_.Canceled());
  EXPECT_TRUE(stream_.CloseReadEnd());
  EXPECT_FALSE(stream_.Canceled());  // the cancel lasts until the read end closes
}

TEST_F(BufferedStreamTest, UnpublishedBytesAreDeliveredAtEndAndExactFillIsOk) {
  std::future<bool> opened = OpenReaderAsync();
  ASSERT_TRUE(stream_.OpenWriteEnd(1000));
  ASSERT_TRUE(opened.get());
  const std::vector<uint8_t> first = Pattern(100, 1), second = Pattern(50, 2), third = Pattern(30, 3);
  WriteAll(first);
  ASSERT_TRUE(stream_.MakeWrittenBytesAvailable());
  WriteAll(second);  // never published
  std::vector<uint8_t> buf(1000);
  uint32_t n = 0;
  auto read = std::async(std::launch::async, [&] { return stream_.Read(buf.data(), 1000, n); });
  EXPECT_TRUE(StillBlocked(read));
  ASSERT_TRUE(stream_.CloseWriteEnd());
  EXPECT_EQ(StreamEndOfData, read.get());
  ASSERT_EQ(150u, n);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), buf.begin()));
  EXPECT_TRUE(std::equal(second.begin(), second.end(), buf.begin() + 100));
  EXPECT_EQ(StreamEndOfData, stream_.Read(buf.data(), 10, n));
  EXPECT_EQ(0u, n);
  ASSERT_TRUE(stream_.CloseReadEnd());

  // Next page: a request filled exactly by the bytes taken at the end is StreamOk.
  opened = OpenReaderAsync();
  ASSERT_TRUE(stream_.OpenWriteEnd(1000));
  ASSERT_TRUE(opened.get());
  WriteAll(third);
  ASSERT_TRUE(stream_.CloseWriteEnd());
  EXPECT_EQ(StreamOk, stream_.Read(buf.data(), 30, n));
  EXPECT_EQ(30u, n);
  EXPECT_TRUE(std::equal(third.begin(), third.end(), buf.begin()));
  EXPECT_EQ(StreamEndOfData, stream_.Read(buf.data(), 1, n));
  EXPECT_TRUE(stream_.CloseReadEnd());
}

TEST_F(BufferedStreamTest, CancelStopsReadersAndWriters) {
  LogTail log;
  // Before the reader opens: its open fails at once instead of waiting for the writer.
  ASSERT_TRUE(stream_.Cancel());
  EXPECT_FALSE(stream_.OpenReadEnd());
  EXPECT_TRUE(log.Has("Canceled"));
  EXPECT_TRUE(log.Has("Error: WaitForWriteEndToOpen() failed"));
  // A writer after the cancel copies nothing.
  ASSERT_TRUE(stream_.OpenWriteEnd(10));
  uint8_t byte = 1;
  uint32_t written = 99;
  EXPECT_EQ(StreamCanceled, stream_.Write(&byte, 1, written));
  EXPECT_EQ(0u, written);
  EXPECT_TRUE(stream_.Canceled());
  ASSERT_TRUE(stream_.CloseWriteEnd());
  ASSERT_TRUE(stream_.CloseReadEnd());  // read end not open: clears the cancel and the end
  EXPECT_FALSE(stream_.Canceled());

  // During a reader's wait.
  std::future<bool> opened = OpenReaderAsync();
  ASSERT_TRUE(stream_.OpenWriteEnd(10));
  ASSERT_TRUE(opened.get());
  uint8_t buf[4];
  uint32_t n = 0;
  auto read = std::async(std::launch::async, [&] { return stream_.Read(buf, 4, n); });
  EXPECT_TRUE(StillBlocked(read));
  std::thread canceller([&] { EXPECT_TRUE(stream_.Cancel()); });
  canceller.join();
  ASSERT_EQ(std::future_status::ready, read.wait_for(imagetest::kGenerous));
  EXPECT_EQ(StreamCanceled, read.get());
  stream_.CloseWriteEnd();
  EXPECT_TRUE(stream_.CloseReadEnd());
}

TEST_F(BufferedStreamTest, AWaiterWokenByACancelOrEndFindsItReportedAtOnce) {
  // The host's read learns of a cancel from its wait and then asks Canceled() for the reason;
  // the answer must already agree with what woke it, however the threads interleave. The
  // same holds for the end of data and Ended().
  for (int round = 0; round < 200; ++round) {
    std::future<bool> opened = OpenReaderAsync();
    std::thread canceller([&] { EXPECT_TRUE(stream_.Cancel()); });
    const bool open = opened.get();
    const bool canceledAfterWake = stream_.Canceled();
    canceller.join();
    ASSERT_FALSE(open) << "round " << round;
    ASSERT_TRUE(canceledAfterWake) << "round " << round;
    ASSERT_TRUE(stream_.CloseReadEnd());
    ASSERT_FALSE(stream_.Canceled());
  }
  // The end of a scan cancels and then closes the read end at once, taking the cancel back
  // before a reader waiting for its page may have woken: that reader's open still fails, now
  // and not at the end of its wait limit.
  for (int round = 0; round < 30; ++round) {
    std::future<bool> opened = OpenReaderAsync();
    ASSERT_TRUE(StillBlocked(opened)) << "round " << round;
    ASSERT_TRUE(stream_.Cancel());
    ASSERT_TRUE(stream_.CloseReadEnd());
    ASSERT_EQ(std::future_status::ready, opened.wait_for(imagetest::kGenerous)) << "round " << round;
    ASSERT_FALSE(opened.get()) << "round " << round;
    ASSERT_FALSE(stream_.Canceled());
  }
  for (int round = 0; round < 200; ++round) {
    std::future<bool> opened = OpenReaderAsync();
    ASSERT_TRUE(stream_.OpenWriteEnd(16));
    ASSERT_TRUE(opened.get());
    uint8_t buf[4];
    uint32_t n = 0;
    auto read = std::async(std::launch::async, [&] {
      StreamStatus status = stream_.Read(buf, 4, n);
      return std::make_pair(status, stream_.Ended());
    });
    ASSERT_TRUE(stream_.CloseWriteEnd());
    const auto result = read.get();
    ASSERT_EQ(StreamEndOfData, result.first) << "round " << round;
    ASSERT_TRUE(result.second) << "round " << round;
    ASSERT_TRUE(stream_.CloseReadEnd());
    ASSERT_FALSE(stream_.Ended());
  }
}

TEST_F(BufferedStreamTest, WaitLimitsEndInErrors) {
  TimeLimits::Instance().streamReadMs = 50;
  TimeLimits::Instance().streamWriteMs = 50;
  LogTail log;
  // Nobody opens the write end.
  EXPECT_FALSE(stream_.OpenReadEnd());
  EXPECT_TRUE(log.Has("Error: WaitForWriteEndToOpen() failed"));
  // Nothing published, no cancel, no end.
  std::future<bool> opened = OpenReaderAsync();
  ASSERT_TRUE(stream_.OpenWriteEnd(10));
  ASSERT_TRUE(opened.get());
  uint8_t buf[4];
  uint32_t n = 0;
  EXPECT_EQ(StreamError, stream_.Read(buf, 4, n));
  EXPECT_TRUE(log.Has("Error: WaitForMultipleObjects() failed unexpectedly"));
  // Closing the read end before the end of data fails and leaves it open for a retry.
  EXPECT_FALSE(stream_.CloseReadEnd());
  EXPECT_TRUE(log.Has("Error: Wait on endOfData_ failed"));
  ASSERT_TRUE(stream_.CloseWriteEnd());
  EXPECT_EQ(StreamEndOfData, stream_.Read(buf, 4, n));  // still open for reading
  EXPECT_TRUE(stream_.CloseReadEnd());
}

TEST_F(BufferedStreamTest, ZeroLengthReadReturnsAtOnce) {
  TimeLimits::Instance().streamReadMs = 50;  // a wait would end in StreamError
  std::future<bool> opened = OpenReaderAsync();
  ASSERT_TRUE(stream_.OpenWriteEnd(10));
  ASSERT_TRUE(opened.get());
  uint8_t buf[1];
  uint32_t n = 5;
  EXPECT_EQ(StreamOk, stream_.Read(buf, 0, n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(StreamError, stream_.Read(nullptr, 1, n));
  stream_.CloseWriteEnd();
  stream_.CloseReadEnd();
}

TEST_F(BufferedStreamTest, InvalidWritesAndCapacity) {
  LogTail log;
  EXPECT_FALSE(stream_.OpenWriteEnd(0));
  EXPECT_TRUE(log.Has("Error: CreateFileMapping() failed unexpectedly"));
  uint8_t byte = 0;
  uint32_t written = 7;
  EXPECT_EQ(StreamError, stream_.Write(&byte, 1, written));  // write end not open
  EXPECT_TRUE(log.Has("Error: Stream not ready for writing"));

  std::future<bool> opened = OpenReaderAsync();
  ASSERT_TRUE(stream_.OpenWriteEnd(100));
  ASSERT_TRUE(opened.get());
  EXPECT_EQ(StreamError, stream_.Write(&byte, 0, written));
  EXPECT_TRUE(log.Has("Error: Invalid bufferSize"));
  EXPECT_EQ(StreamError, stream_.Write(nullptr, 1, written));
  EXPECT_TRUE(log.Has("Error: Invalid buffer"));
  const std::vector<uint8_t> first = Pattern(60, 4);
  WriteAll(first);
  const std::vector<uint8_t> tooMuch = Pattern(41, 5);  // one byte past the capacity
  EXPECT_EQ(StreamError, stream_.Write(tooMuch.data(), 41, written));
  EXPECT_EQ(0u, written);
  EXPECT_TRUE(log.Has("Error: Error writing to memory-mapped file"));
  const std::vector<uint8_t> fits = Pattern(40, 6);  // exactly the rest still fits
  WriteAll(fits);
  ASSERT_TRUE(stream_.CloseWriteEnd());
  std::vector<uint8_t> buf(200);
  uint32_t n = 0;
  EXPECT_EQ(StreamEndOfData, stream_.Read(buf.data(), 200, n));
  ASSERT_EQ(100u, n);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), buf.begin()));
  EXPECT_TRUE(std::equal(fits.begin(), fits.end(), buf.begin() + 60));
  EXPECT_TRUE(stream_.CloseReadEnd());
}

TEST_F(BufferedStreamTest, UseBeforeInitFails) {
  BufferedStream fresh;
  LogTail log;
  EXPECT_FALSE(fresh.OpenWriteEnd(10));
  EXPECT_FALSE(fresh.OpenReadEnd());
  EXPECT_EQ(2u, log.Count("Error: BufferedStream not yet initialized"));
  EXPECT_FALSE(fresh.Canceled());
  EXPECT_FALSE(fresh.Ended());
  EXPECT_TRUE(fresh.CloseWriteEnd());
  EXPECT_TRUE(fresh.CloseReadEnd());
}

// A short page can be written and closed before the host's reader gets to its open: the
// reader must get that page and its end at once, not wait out its time limits for a writer
// that has already been and gone.
TEST_F(BufferedStreamTest, APageClosedBeforeTheReaderOpensIsReadAtOnce) {
  // Shortened limits: a reader that waits for the writer fails (instead of hanging the run)
  // well before it would give up on the real ones.
  TimeLimits::Instance().streamReadMs = 3000;
  TimeLimits::Instance().streamWriteMs = 3000;
  LogTail log;
  for (int page = 0; page < 2; ++page) {
    const std::vector<uint8_t> published = Pattern(300, static_cast<uint8_t>(10 + page));
    const std::vector<uint8_t> unpublished = Pattern(77, static_cast<uint8_t>(20 + page));
    // The writer's whole page, on its own thread, finishes before the reader starts.
    std::thread writer([&] {
      ASSERT_TRUE(stream_.OpenWriteEnd(1000));
      WriteAll(published);
      ASSERT_TRUE(stream_.MakeWrittenBytesAvailable());
      WriteAll(unpublished);
      ASSERT_TRUE(stream_.CloseWriteEnd());
    });
    writer.join();
    ASSERT_TRUE(stream_.Ended());
    std::future<bool> opened = OpenReaderAsync();
    ASSERT_TRUE(opened.get()) << "page " << page;
    std::vector<uint8_t> buf(1000);
    uint32_t n = 0;
    EXPECT_EQ(StreamEndOfData, stream_.Read(buf.data(), 1000, n));
    ASSERT_EQ(377u, n);
    EXPECT_TRUE(std::equal(published.begin(), published.end(), buf.begin()));
    EXPECT_TRUE(std::equal(unpublished.begin(), unpublished.end(), buf.begin() + 300));
    EXPECT_TRUE(stream_.CloseReadEnd());
  }
  EXPECT_EQ(2u, log.Count("Write end of stream already closed"));
  EXPECT_FALSE(log.Has("Error: Stream already closed"));
  // Once read and closed, the page is gone: the next open waits for a new one.
  TimeLimits::Instance().streamReadMs = 50;
  EXPECT_FALSE(stream_.OpenReadEnd());
}

TEST_F(BufferedStreamTest, AClosedPageNobodyOpenedIsDroppedWithTheReadEnd) {
  // The host gave up before opening the page: closing the (never opened) read end drops it,
  // and the next reader gets the next page, not the old one.
  const std::vector<uint8_t> old = Pattern(100, 1), fresh = Pattern(60, 2);
  ASSERT_TRUE(stream_.OpenWriteEnd(200));
  WriteAll(old);
  ASSERT_TRUE(stream_.CloseWriteEnd());
  ASSERT_TRUE(stream_.CloseReadEnd());
  EXPECT_FALSE(stream_.Ended());
  TimeLimits::Instance().streamReadMs = 50;
  EXPECT_FALSE(stream_.OpenReadEnd());
  TimeLimits::Instance().Reset();
  std::future<bool> opened = OpenReaderAsync();
  ASSERT_TRUE(stream_.OpenWriteEnd(200));
  WriteAll(fresh);
  ASSERT_TRUE(stream_.CloseWriteEnd());
  ASSERT_EQ(std::future_status::ready, opened.wait_for(imagetest::kGenerous));
  ASSERT_TRUE(opened.get());
  std::vector<uint8_t> buf(200);
  uint32_t n = 0;
  EXPECT_EQ(StreamEndOfData, stream_.Read(buf.data(), 200, n));
  ASSERT_EQ(60u, n);
  EXPECT_TRUE(std::equal(fresh.begin(), fresh.end(), buf.begin()));
  EXPECT_TRUE(stream_.CloseReadEnd());
}

TEST_F(BufferedStreamTest, PagesFollowEachOtherWithFreshCounters) {
  // Pages of one capacity reuse the memory of the pages before; each shrinks, so a reader that
  // saw anything beyond what its own page wrote would get the earlier page's tail.
  for (int page = 0; page < 3; ++page) {
    const std::vector<uint8_t> bytes = Pattern(1500 - page * 600, static_cast<uint8_t>(page));
    std::future<bool> opened = OpenReaderAsync();
    std::promise<void> readerOpen;
    std::thread writer([&] {
      ASSERT_TRUE(stream_.OpenWriteEnd(2000));
      WriteAll(bytes);
      ASSERT_TRUE(stream_.MakeWrittenBytesAvailable());
      readerOpen.get_future().wait();
      ASSERT_TRUE(stream_.CloseWriteEnd());
    });
    ASSERT_TRUE(opened.get());
    readerOpen.set_value();
    std::vector<uint8_t> buf(3000);
    uint32_t n = 0;
    EXPECT_EQ(StreamEndOfData, stream_.Read(buf.data(), 3000, n));
    writer.join();
    ASSERT_EQ(bytes.size(), n);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), buf.begin()));
    EXPECT_TRUE(stream_.CloseReadEnd());
  }
}

// Resident shared memory of the process (shared memory and file pages), in bytes.
size_t ResidentSharedBytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  unsigned long size = 0, resident = 0, shared = 0;
  if (f == nullptr) return 0;
  const int got = std::fscanf(f, "%lu %lu %lu", &size, &resident, &shared);
  std::fclose(f);
  return got == 3 ? shared * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

// A reader that keeps up: the memory it has passed is reused for what comes, so a large page
// costs a few megabytes while it streams, and every byte still arrives intact (written with
// Write or in place, in rows that straddle the memory's ring and chunks). A reader that pauses
// for longer than the memory holds gets every byte too, and holds little again once it has
// caught up; a reader that comes late gets the whole page all the same.
TEST_F(BufferedStreamTest, MemoryBehindAReaderThatKeepsUpIsReused) {
  const uint32_t row = 3 * 5001;  // not a divisor of the ring or the chunks
  const uint32_t rows = 2000;     // about 30 MB
  const uint32_t pauseRows = 500; // about 7.5 MB, more than the ring
  const std::vector<uint8_t> pattern = Pattern(size_t(row) * 7, 5);
  enum Reader { kKeepsUp, kPauses, kLate };
  for (const Reader reader : {kKeepsUp, kPauses, kLate}) {
    for (const bool inPlace : {false, true}) {
      SCOPED_TRACE(testing::Message() << "reader " << reader << " in place " << inPlace);
      const size_t before = ResidentSharedBytes();
      size_t peak = before;
      size_t caughtUpAt = 0;  // memory when the paused reader has caught up
      ASSERT_TRUE(stream_.OpenWriteEnd(row * rows));
      ASSERT_TRUE(stream_.OpenReadEnd());  // the page is there: this does not wait
      std::vector<uint8_t> buf(row);
      bool intact = true;
      uint32_t read = 0;
      auto readRow = [&]() {
        uint32_t n = 0;
        const StreamStatus status = stream_.Read(buf.data(), row, n);
        intact = intact && n == row && (status == StreamOk || status == StreamEndOfData) &&
                 std::equal(buf.begin(), buf.end(), pattern.begin() + (read % 7) * row);
        ++read;
      };
      for (uint32_t r = 0; r < rows; ++r) {
        const uint8_t* bytes = pattern.data() + (r % 7) * row;
        uint32_t written = 0;
        if (inPlace) {
          uint8_t* space = stream_.WriteSpace(row);
          ASSERT_NE(space, nullptr);
          std::memcpy(space, bytes, row);
          ASSERT_EQ(StreamOk, stream_.CommitWrite(row, written));
        } else {
          ASSERT_EQ(StreamOk, stream_.Write(bytes, row, written));
        }
        ASSERT_TRUE(stream_.MakeWrittenBytesAvailable());
        if (reader == kKeepsUp) {
          readRow();
        } else if (reader == kPauses && r >= pauseRows) {
          readRow();
          if (read <= r) readRow();  // catching up, two rows at a time
        }
        if (r % 64 == 0) peak = std::max(peak, ResidentSharedBytes());
        if (reader == kPauses && caughtUpAt == 0 && read == r + 1 && r > pauseRows) caughtUpAt = ResidentSharedBytes();
      }
      ASSERT_TRUE(stream_.CloseWriteEnd());
      while (read < rows) readRow();
      EXPECT_TRUE(intact);
      EXPECT_TRUE(stream_.CloseReadEnd());
      if (reader == kKeepsUp)
        EXPECT_LT(peak - before, size_t(12) << 20) << "a 30 MB page streamed through a few megabytes";
      else if (reader == kLate)
        EXPECT_GT(peak - before, size_t(24) << 20) << "a late reader's page is held whole";
      else
        EXPECT_LT(peak - caughtUpAt, size_t(4) << 20) << "once the reader has caught up, the page grows no more";
      PageMapping::DrainPool();
    }
  }
}

// The ring a page streams through follows the page's rows: short rows, a small ring.
TEST_F(BufferedStreamTest, AReaderThatKeepsUpOnShortRowsHoldsAnEvenSmallerRing) {
  const uint32_t row = 3 * 1001;  // 256 rows fit in 1 MB
  const uint32_t rows = 4000;     // about 12 MB
  const std::vector<uint8_t> pattern = Pattern(size_t(row) * 3, 11);
  stream_.SetRowLength(row);
  const size_t before = ResidentSharedBytes();
  size_t peak = before;
  ASSERT_TRUE(stream_.OpenWriteEnd(row * rows));
  ASSERT_TRUE(stream_.OpenReadEnd());
  std::vector<uint8_t> buf(row);
  bool intact = true;
  for (uint32_t r = 0; r < rows; ++r) {
    uint8_t* space = stream_.WriteSpace(row);
    ASSERT_NE(space, nullptr);
    std::memcpy(space, pattern.data() + (r % 3) * row, row);
    uint32_t n = 0;
    ASSERT_EQ(StreamOk, stream_.CommitWrite(row, n));
    ASSERT_TRUE(stream_.MakeWrittenBytesAvailable());
    const StreamStatus status = stream_.Read(buf.data(), row, n);
    intact = intact && status == StreamOk && n == row &&
             std::equal(buf.begin(), buf.end(), pattern.begin() + (r % 3) * row);
    if (r % 64 == 0) peak = std::max(peak, ResidentSharedBytes());
  }
  ASSERT_TRUE(stream_.CloseWriteEnd());
  EXPECT_TRUE(intact);
  EXPECT_TRUE(stream_.CloseReadEnd());
  EXPECT_LT(peak - before, size_t(3) << 20) << "a 12 MB page of short rows through about a megabyte";
  PageMapping::DrainPool();
}

// A writer far quicker than its reader (as decoding threads can be on a busy machine) is paced
// to it once it runs far ahead, so the page's memory stays small; a reader that stops reading
// holds the writer up no longer than a moment, and then gets the whole page.
TEST_F(BufferedStreamTest, AWriterFarAheadOfItsReaderIsPacedUnlessTheReaderStops) {
  const uint32_t row = 3 * 4001;
  const uint32_t rows = 3000;  // about 36 MB
  const std::vector<uint8_t> pattern = Pattern(size_t(row) * 5, 9);
  for (const bool readerStops : {false, true}) {
    SCOPED_TRACE(testing::Message() << "reader stops " << readerStops);
    const size_t before = ResidentSharedBytes();
    std::atomic<size_t> peak{before};
    std::promise<void> writerDone;
    std::future<void> writerDoneFuture = writerDone.get_future();
    ASSERT_TRUE(stream_.OpenWriteEnd(row * rows));
    std::thread writer([&] {
      for (uint32_t r = 0; r < rows; ++r) {
        uint32_t written = 0;
        ASSERT_EQ(StreamOk, stream_.Write(pattern.data() + (r % 5) * row, row, written));
        ASSERT_TRUE(stream_.MakeWrittenBytesAvailable());
        stream_.PaceWriter();
        if (r % 64 == 0) peak = std::max(peak.load(), ResidentSharedBytes());
      }
      ASSERT_TRUE(stream_.CloseWriteEnd());
      writerDone.set_value();
    });
    ASSERT_TRUE(stream_.OpenReadEnd());
    std::vector<uint8_t> page;
    page.reserve(size_t(row) * rows);
    std::vector<uint8_t> buf(65536);
    StreamStatus status = StreamOk;
    while (status == StreamOk) {
      uint32_t n = 0;
      status = stream_.Read(buf.data(), static_cast<uint32_t>(buf.size()), n);
      page.insert(page.end(), buf.begin(), buf.begin() + n);
      if (readerStops && page.size() >= (size_t(1) << 20) && page.size() < (size_t(1) << 20) + buf.size()) {
        EXPECT_EQ(std::future_status::ready, writerDoneFuture.wait_for(std::chrono::seconds(60)))
            << "the writer finishes the page while the reader has stopped";
      } else if (!readerStops) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));  // a slow reader
      }
    }
    writer.join();
    EXPECT_EQ(StreamEndOfData, status);
    ASSERT_EQ(page.size(), size_t(row) * rows);
    bool intact = true;
    for (uint32_t r = 0; r < rows && intact; ++r)
      intact = std::equal(pattern.begin() + (r % 5) * row, pattern.begin() + (r % 5 + 1) * row,
                          page.begin() + size_t(r) * row);
    EXPECT_TRUE(intact);
    EXPECT_TRUE(stream_.CloseReadEnd());
    if (!readerStops) EXPECT_LT(peak - before, size_t(20) << 20) << "a 36 MB page paced through a few megabytes";
    PageMapping::DrainPool();
  }
}

// A writer that produces bytes in place: room is only handed out where Write would take the
// bytes, and nothing reaches the reader until it is committed (and published or ended).
TEST_F(BufferedStreamTest, BytesProducedInPlaceCountOnlyOnceCommitted) {
  LogTail log;
  EXPECT_EQ(nullptr, stream_.WriteSpace(10));  // write end not open
  uint32_t written = 7;
  EXPECT_EQ(StreamError, stream_.CommitWrite(10, written));
  EXPECT_EQ(0u, written);
  std::future<bool> opened = OpenReaderAsync();
  ASSERT_TRUE(stream_.OpenWriteEnd(100));
  ASSERT_TRUE(opened.get());
  EXPECT_EQ(nullptr, stream_.WriteSpace(0));
  EXPECT_EQ(nullptr, stream_.WriteSpace(101));  // past the capacity
  const std::vector<uint8_t> first = Pattern(60, 9);
  uint8_t* space = stream_.WriteSpace(60);
  ASSERT_NE(nullptr, space);
  std::copy(first.begin(), first.end(), space);
  // Produced but not committed: a publication gives the reader nothing, and its wait runs out.
  ASSERT_TRUE(stream_.MakeWrittenBytesAvailable());
  TimeLimits::Instance().streamReadMs = 50;
  std::vector<uint8_t> buf(200);
  uint32_t n = 0;
  EXPECT_EQ(StreamError, stream_.Read(buf.data(), 60, n));
  EXPECT_EQ(0u, n);
  TimeLimits::Instance().Reset();
  ASSERT_EQ(StreamOk, stream_.CommitWrite(60, written));
  EXPECT_EQ(60u, written);
  ASSERT_TRUE(stream_.MakeWrittenBytesAvailable());
  ASSERT_EQ(StreamOk, stream_.Read(buf.data(), 60, n));
  EXPECT_TRUE(std::equal(first.begin(), first.end(), buf.begin()));
  // The room left is 40: more is neither handed out nor committed.
  EXPECT_EQ(nullptr, stream_.WriteSpace(41));
  EXPECT_EQ(StreamError, stream_.CommitWrite(41, written));
  EXPECT_TRUE(log.Has("Error: Error writing to memory-mapped file"));
  space = stream_.WriteSpace(40);
  ASSERT_NE(nullptr, space);
  std::fill(space, space + 40, uint8_t{0xAB});
  ASSERT_EQ(StreamOk, stream_.CommitWrite(25, written));  // less than the room is fine
  // Bytes put beyond the committed 25 are not part of the page.
  ASSERT_TRUE(stream_.CloseWriteEnd());
  EXPECT_EQ(StreamEndOfData, stream_.Read(buf.data(), 200, n));
  EXPECT_EQ(25u, n);
  EXPECT_TRUE(std::all_of(buf.begin(), buf.begin() + 25, [](uint8_t b) { return b == 0xAB; }));
  EXPECT_TRUE(stream_.CloseReadEnd());
}

TEST_F(BufferedStreamTest, ACancelRefusesRoomAndCommits) {
  std::future<bool> opened = OpenReaderAsync();
  ASSERT_TRUE(stream_.OpenWriteEnd(100));
  ASSERT_TRUE(opened.get());
  ASSERT_NE(nullptr, stream_.WriteSpace(10));
  ASSERT_TRUE(stream_.Cancel());
  // Room handed out before the cancel may still be filled, but it no longer counts.
  uint32_t written = 3;
  EXPECT_EQ(StreamCanceled, stream_.CommitWrite(10, written));
  EXPECT_EQ(0u, written);
  EXPECT_EQ(nullptr, stream_.WriteSpace(10));
  ASSERT_TRUE(stream_.CloseWriteEnd());
  EXPECT_TRUE(stream_.CloseReadEnd());
}

}  // namespace
