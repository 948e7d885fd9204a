// The JPEG decompressor fed in chunks: rows against libjpeg's own one-go decoding, the
// readiness rule, final flushing, early finish, failures and the temporary file.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <memory>
#include <vector>

#include "ImageTestSupport.h"
#include "image/JpegDecompressor.h"

using imagetest::LogTail;
using imagetest::OpenDescriptors;
using imagetest::PrivateTmpDir;

namespace {

struct Decoded {
  std::vector<uint8_t> pixels;
  uint32_t rows = 0;
  uint32_t rowLength = 0;
  bool split = false;  // the page was decoded ahead
};

// Feeds the JPEG in chunks of `chunk` bytes, taking every row as soon as it is available, then
// flushes and finishes like the data source does.
Decoded FeedInChunks(JpegDecompressor& d, const std::vector<uint8_t>& jpeg, size_t chunk) {
  Decoded out;
  auto take = [&](bool final) {
    std::unique_ptr<uint8_t[]> row;
    uint32_t length = 0;
    while (d.GetRow(row, length, final)) {
      out.pixels.insert(out.pixels.end(), row.get(), row.get() + length);
      out.rowLength = length;
      ++out.rows;
    }
  };
  size_t first = std::max(chunk, imagetest::JpegHeaderLength(jpeg));
  first = std::min(first, jpeg.size());
  EXPECT_TRUE(d.SubmitFirstBuffer(jpeg.data(), static_cast<uint32_t>(first)));
  EXPECT_TRUE(d.StartDecompression());
  out.split = d.DecodingAhead();
  take(false);
  for (size_t pos = first; pos < jpeg.size(); pos += chunk) {
    size_t n = std::min(chunk, jpeg.size() - pos);
    EXPECT_TRUE(d.SubmitNextBuffer(jpeg.data() + pos, static_cast<uint32_t>(n)));
    take(false);
  }
  take(false);
  take(true);
  EXPECT_FALSE(d.Failed());
  EXPECT_TRUE(d.FinishDecompress());
  return out;
}

TEST(JpegDecompressorTest, GreyAndColourRowsMatchOneGoDecoding) {
  PrivateTmpDir tmp;
  JpegDecompressor d;
  for (int components : {1, 3}) {
    for (size_t chunk : {1u, 97u, 4096u, 65536u}) {
      const std::vector<uint8_t> jpeg = imagetest::MakeJpeg(123, 45, components);
      uint32_t width = 0, height = 0;
      const std::vector<uint8_t> reference = imagetest::DecodeWhole(jpeg, &width, &height);
      Decoded got = FeedInChunks(d, jpeg, chunk);
      SCOPED_TRACE(testing::Message() << "components " << components << " chunk " << chunk);
      EXPECT_EQ(45u, got.rows);
      EXPECT_EQ(123u * components, got.rowLength);
      EXPECT_EQ(reference, got.pixels);
      // The rows are the picture, not just whatever libjpeg makes of the stream.
      ASSERT_EQ(size_t(123) * 45 * components, got.pixels.size());
      for (uint32_t y : {0u, 22u, 44u})
        for (uint32_t x : {0u, 61u, 122u})
          for (int c = 0; c < components; ++c)
            EXPECT_NEAR(imagetest::PictureSample(x, y, c, components),
                        got.pixels[(size_t(y) * 123 + x) * components + c], 12);
    }
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

// Dense scan data (noise at high quality) in small chunks, rows taken after every chunk: a row
// of blocks needs far more compressed data than two decoded rows, so the library runs out of
// input in the middle of a row many times. Every row must still be the picture's, not grey
// filler made up after an invented end of the data.
TEST(JpegDecompressorTest, DenseHighQualityPageInSmallChunksDecodesWhole) {
  PrivateTmpDir tmp;
  JpegDecompressor d;
  for (int components : {3, 1}) {
    for (int quality : {95, 100}) {
      const std::vector<uint8_t> jpeg = imagetest::MakeNoisyJpeg(256, 96, components, quality);
      uint32_t width = 0, height = 0;
      const std::vector<uint8_t> reference = imagetest::DecodeWhole(jpeg, &width, &height);
      // Check that the picture really is dense: more than a 2 KB chunk per row of blocks.
      ASSERT_GT(jpeg.size() / (components == 3 ? 6 : 12), 2048u);
      for (size_t chunk : {2048u, 700u, 4096u}) {
        SCOPED_TRACE(testing::Message() << "components " << components << " quality " << quality << " chunk "
                                        << chunk);
        Decoded got = FeedInChunks(d, jpeg, chunk);
        EXPECT_EQ(96u, got.rows);
        ASSERT_EQ(reference.size(), got.pixels.size());
        EXPECT_TRUE(reference == got.pixels);
      }
    }
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST(JpegDecompressorTest, ALargePageInOddChunksDecodesWholeAcrossBatchedFileWrites) {
  // Small chunks are appended to the file in batches; the decoder's input comes partly from the
  // file and partly from the batch not yet written, and must join the two without a gap.
  PrivateTmpDir tmp;
  JpegDecompressor d;
  const std::vector<uint8_t> jpeg = imagetest::MakeNoisyJpeg(512, 160, 3, 100, 5);
  ASSERT_GT(jpeg.size(), 4u * 32 * 1024) << "several batches";
  const std::vector<uint8_t> reference = imagetest::DecodeWhole(jpeg);
  for (size_t chunk : {777u, 5000u, 40000u}) {
    SCOPED_TRACE(testing::Message() << "chunk " << chunk);
    Decoded got = FeedInChunks(d, jpeg, chunk);
    EXPECT_EQ(160u, got.rows);
    EXPECT_TRUE(reference == got.pixels);
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

// The device's data stops in the middle of the scan: the rows before the cut are the picture's,
// then the page fails. Grey filler rows after an invented end are never handed out.
TEST(JpegDecompressorTest, APageCutShortFailsInsteadOfEndingInGreyRows) {
  PrivateTmpDir tmp;
  LogTail log;
  // The library's warnings go to the log, not to the host's standard streams.
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  JpegDecompressor d;
  for (int components : {3, 1}) {
    SCOPED_TRACE(components);
    const std::vector<uint8_t> jpeg = imagetest::MakeNoisyJpeg(256, 96, components, 95, 7);
    const std::vector<uint8_t> reference = imagetest::DecodeWhole(jpeg);
    const std::vector<uint8_t> cut(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() * 6 / 10));
    const size_t rowLength = 256u * components;
    const size_t header = imagetest::JpegHeaderLength(cut);
    ASSERT_TRUE(d.SubmitFirstBuffer(cut.data(), static_cast<uint32_t>(header)));
    ASSERT_TRUE(d.StartDecompression());
    std::vector<uint8_t> pixels;
    std::unique_ptr<uint8_t[]> row;
    uint32_t length = 0;
    auto take = [&](bool final) {
      while (d.GetRow(row, length, final)) pixels.insert(pixels.end(), row.get(), row.get() + length);
    };
    for (size_t pos = header; pos < cut.size(); pos += 2048) {
      ASSERT_TRUE(d.SubmitNextBuffer(cut.data() + pos, static_cast<uint32_t>(std::min<size_t>(2048, cut.size() - pos))));
      take(false);
    }
    EXPECT_FALSE(d.Failed());  // while the page arrives, running out of data only means waiting
    take(false);
    take(true);
    EXPECT_TRUE(d.Failed());
    EXPECT_LT(pixels.size(), reference.size());
    EXPECT_GT(pixels.size(), 0u);
    EXPECT_EQ(0u, pixels.size() % rowLength);
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), reference.begin())) << "rows before the cut";
    EXPECT_FALSE(d.GetRow(row, length, true));  // a failed page yields nothing more
    EXPECT_FALSE(d.FinishDecompress());
    EXPECT_FALSE(d.Busy());
  }
  EXPECT_TRUE(log.Has("Error: jpeg_read_scanlines failed unexpectedly"));
  EXPECT_TRUE(log.Has("Warning: Premature end of JPEG file"));
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_TRUE(tmp.Entries().empty());
}

// The data is complete but for the closing end-of-image marker: that is supplied, and the page
// is whole.
TEST(JpegDecompressorTest, APageWithoutItsEndMarkerIsWhole) {
  PrivateTmpDir tmp;
  JpegDecompressor d;
  for (int components : {3, 1}) {
    std::vector<uint8_t> jpeg = imagetest::MakeNoisyJpeg(128, 64, components, 95, 3);
    const std::vector<uint8_t> reference = imagetest::DecodeWhole(jpeg);
    ASSERT_EQ(0xFF, jpeg[jpeg.size() - 2]);
    ASSERT_EQ(0xD9, jpeg[jpeg.size() - 1]);
    jpeg.resize(jpeg.size() - 2);
    Decoded got = FeedInChunks(d, jpeg, 2048);
    EXPECT_EQ(64u, got.rows);
    EXPECT_TRUE(reference == got.pixels);
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST(JpegDecompressorTest, RowsWaitForTwoRowsOfCompressedDataAhead) {
  PrivateTmpDir tmp;
  JpegDecompressor d;
  // Grey 200-pixel rows: 400 bytes must lie ahead of the library's read position.
  const std::vector<uint8_t> jpeg = imagetest::MakeJpeg(200, 64, 1, 95);
  const size_t header = imagetest::JpegHeaderLength(jpeg);
  ASSERT_TRUE(d.SubmitFirstBuffer(jpeg.data(), static_cast<uint32_t>(header)));
  ASSERT_TRUE(d.StartDecompression());
  std::unique_ptr<uint8_t[]> row;
  uint32_t length = 0;
  EXPECT_FALSE(d.EnoughDataAvailableForDecompression(false));
  EXPECT_FALSE(d.GetRow(row, length, false));
  EXPECT_TRUE(d.EnoughDataAvailableForDecompression(true));
  // 399 more bytes are not enough, 400 are.
  ASSERT_GT(jpeg.size(), header + 400);
  ASSERT_TRUE(d.SubmitNextBuffer(jpeg.data() + header, 399));
  EXPECT_FALSE(d.GetRow(row, length, false));
  ASSERT_TRUE(d.SubmitNextBuffer(jpeg.data() + header + 399, 1));
  EXPECT_TRUE(d.EnoughDataAvailableForDecompression(false));
  // The rest arrives; rows come while two rows' worth lies ahead, the final flag yields the rest.
  ASSERT_TRUE(d.SubmitNextBuffer(jpeg.data() + header + 400, static_cast<uint32_t>(jpeg.size() - header - 400)));
  std::vector<uint8_t> pixels;
  uint32_t rows = 0;
  for (bool final : {false, true}) {
    while (d.GetRow(row, length, final)) {
      EXPECT_EQ(200u, length);
      pixels.insert(pixels.end(), row.get(), row.get() + length);
      ++rows;
    }
  }
  EXPECT_EQ(64u, rows);
  EXPECT_EQ(imagetest::DecodeWhole(jpeg), pixels);
  EXPECT_TRUE(d.FinishDecompress());
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST(JpegDecompressorTest, FinishingEarlyAndStartingAgain) {
  PrivateTmpDir tmp;
  JpegDecompressor d;
  const std::vector<uint8_t> jpeg = imagetest::MakeJpeg(64, 64, 3);
  ASSERT_TRUE(d.SubmitFirstBuffer(jpeg.data(), static_cast<uint32_t>(jpeg.size())));
  ASSERT_TRUE(d.StartDecompression());
  std::unique_ptr<uint8_t[]> row;
  uint32_t length = 0;
  ASSERT_TRUE(d.GetRow(row, length, true));
  ASSERT_TRUE(d.GetRow(row, length, true));
  EXPECT_TRUE(d.FinishDecompress());
  EXPECT_FALSE(d.Busy());
  // The object serves the next page.
  Decoded again = FeedInChunks(d, jpeg, 1000);
  EXPECT_EQ(imagetest::DecodeWhole(jpeg), again.pixels);
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST(JpegDecompressorTest, AFinishedPagesFileIsClosedLaterButNeverLeftOpen) {
  PrivateTmpDir tmp;
  const std::vector<uint8_t> jpeg = imagetest::MakeJpeg(64, 48, 3);
  const size_t before = OpenDescriptors();
  {
    JpegDecompressor d;
    FeedInChunks(d, jpeg, 700);  // finishes the page
    EXPECT_FALSE(d.Busy());
    EXPECT_EQ(before + 1, OpenDescriptors()) << "the finished page's file waits to be closed";
    d.CloseRetiredFile();
    EXPECT_EQ(before, OpenDescriptors());
    d.CloseRetiredFile();  // nothing left: harmless
    // A page finished while the one before still waits closes the earlier file: one at most.
    FeedInChunks(d, jpeg, 700);
    FeedInChunks(d, jpeg, 700);
    EXPECT_EQ(before + 1, OpenDescriptors());
    // The same from another thread than the one that decoded.
    std::thread([&d] { d.CloseRetiredFile(); }).join();
    EXPECT_EQ(before, OpenDescriptors());
    FeedInChunks(d, jpeg, 700);
  }
  EXPECT_EQ(before, OpenDescriptors()) << "the decompressor closes what it still holds";
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST(JpegDecompressorTest, FailuresAreReportedAndLeaveNoFile) {
  PrivateTmpDir tmp;
  LogTail log;
  JpegDecompressor d;
  const std::vector<uint8_t> jpeg = imagetest::MakeJpeg(32, 32, 1);
  std::unique_ptr<uint8_t[]> row;
  uint32_t length = 0;
  // Nothing started yet.
  EXPECT_FALSE(d.SubmitNextBuffer(jpeg.data(), 10));
  EXPECT_TRUE(log.Has("Error: Invalid file_"));
  EXPECT_FALSE(d.GetRow(row, length, false));
  EXPECT_TRUE(log.Has("Error: file_ is NULL"));
  // A first chunk shorter than the header.
  EXPECT_FALSE(d.SubmitFirstBuffer(jpeg.data(), 20));
  EXPECT_TRUE(log.Has("Error: jpeg library exception"));
  EXPECT_FALSE(d.Busy());
  EXPECT_TRUE(tmp.Entries().empty());
  // Not a JPEG at all.
  const std::vector<uint8_t> junk(500, 0x42);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(d.SubmitFirstBuffer(junk.data(), 500));
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_TRUE(log.Has("Exception thrown = 0"));  // the library's error exit
  EXPECT_TRUE(log.Has("Error: Not a JPEG file: starts with 0x42 0x42"));  // in its own words
  EXPECT_TRUE(tmp.Entries().empty());
  // Empty chunks of a running page.
  ASSERT_TRUE(d.SubmitFirstBuffer(jpeg.data(), static_cast<uint32_t>(imagetest::JpegHeaderLength(jpeg))));
  EXPECT_TRUE(tmp.Entries().empty());  // the file has no name while the page runs
  ASSERT_TRUE(d.StartDecompression());
  EXPECT_FALSE(d.SubmitNextBuffer(jpeg.data(), 0));
  EXPECT_TRUE(log.Has("Error: Invalid bufferSize"));
  EXPECT_FALSE(d.SubmitNextBuffer(nullptr, 5));
  EXPECT_TRUE(log.Has("Error: Invalid buffer"));
  d.Abort();
  EXPECT_FALSE(d.Busy());
  EXPECT_TRUE(tmp.Entries().empty());
}

// A JPEG's header against the page it must be: a mismatch of row length, width, components or
// height, or dimensions no page can hold, is refused before any row or image buffer exists.
TEST(JpegDecompressorTest, AHeaderThatIsNotTheAnnouncedPageIsRefusedBeforeAnyRow) {
  PrivateTmpDir tmp;
  using Shape = JpegDecompressor::PageShape;
  using imagetest::WithFrameSize;
  const std::vector<uint8_t> colour = imagetest::MakeJpeg(64, 48, 3);
  const std::vector<uint8_t> grey = imagetest::MakeJpeg(192, 48, 1);  // rows as long as colour's
  const Shape colourPage{192, 64, 3, 48, 52};
  const struct {
    const char* name;
    const std::vector<uint8_t> jpeg;
    Shape page;
    bool fits;
  } kCases[] = {
      {"the announced colour page", colour, colourPage, true},
      {"the announced grey page", grey, Shape{192, 192, 1, 48, 52}, true},
      {"pad rows within the capacity", colour, Shape{192, 64, 3, 40, 52}, true},
      {"wider", WithFrameSize(colour, 65, 48), colourPage, false},
      {"narrower", WithFrameSize(colour, 63, 48), colourPage, false},
      {"grey rows as long as the colour page's", grey, colourPage, false},
      {"colour for a grey page", colour, Shape{192, 192, 1, 48, 52}, false},
      {"shorter", WithFrameSize(colour, 64, 47), colourPage, false},
      {"taller than the capacity", WithFrameSize(colour, 64, 53), colourPage, false},
      {"row length only", WithFrameSize(colour, 65, 48), Shape{192, 0, 0, 0, 0}, false},
      {"a bomb against the page", WithFrameSize(colour, 65500, 65500), colourPage, false},
      {"a bomb no page can hold", WithFrameSize(colour, 65500, 65500), Shape{}, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    LogTail log;
    JpegDecompressor d;
    d.ExpectPage(c.page);
    const uint32_t header = static_cast<uint32_t>(imagetest::JpegHeaderLength(c.jpeg));
    EXPECT_EQ(c.fits, d.SubmitFirstBuffer(c.jpeg.data(), header));
    EXPECT_EQ(c.fits, d.Busy());
    EXPECT_EQ(!c.fits, log.Has("Error: JPEG does not match the page"));
    if (c.fits) {
      ASSERT_TRUE(d.StartDecompression());
      Decoded got;
      std::unique_ptr<uint8_t[]> row;
      uint32_t length = 0;
      EXPECT_TRUE(d.SubmitNextBuffer(c.jpeg.data() + header, static_cast<uint32_t>(c.jpeg.size() - header)));
      while (d.GetRow(row, length, true)) ++got.rows, got.rowLength = length;
      EXPECT_EQ(48u, got.rows);
      EXPECT_EQ(192u, got.rowLength);
      EXPECT_TRUE(d.FinishDecompress());
    } else {
      EXPECT_FALSE(d.StartDecompression());
      EXPECT_EQ(0u, d.RowsLeft());
    }
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST(JpegDecompressorTest, CorruptScanDataEndsInAnErrorNotACrash) {
  PrivateTmpDir tmp;
  LogTail log;
  JpegDecompressor d;
  std::vector<uint8_t> jpeg = imagetest::MakeJpeg(48, 48, 3);
  const size_t header = imagetest::JpegHeaderLength(jpeg);
  // A restart marker with a number out of sequence and garbage after it.
  for (size_t i = header + 10; i < jpeg.size() - 2; ++i) jpeg[i] = (i % 2) ? 0xFF : 0xC4;
  ASSERT_TRUE(d.SubmitFirstBuffer(jpeg.data(), static_cast<uint32_t>(jpeg.size())));
  ASSERT_TRUE(d.StartDecompression());
  std::unique_ptr<uint8_t[]> row;
  uint32_t length = 0;
  int rows = 0;
  while (rows < 100 && d.GetRow(row, length, true)) ++rows;
  // Either the library gave up with an error or it produced the page's rows; never more.
  EXPECT_LE(rows, 48);
  d.FinishDecompress();
  EXPECT_FALSE(d.Busy());
  EXPECT_TRUE(tmp.Entries().empty());
}

// Feeds like FeedInChunks, taking rows in place, up to maxRows at a time, into one page.
Decoded FeedInPlace(JpegDecompressor& d, const std::vector<uint8_t>& jpeg, size_t chunk, uint32_t maxRows) {
  Decoded out;
  size_t first = std::min(std::max(chunk, imagetest::JpegHeaderLength(jpeg)), jpeg.size());
  EXPECT_TRUE(d.SubmitFirstBuffer(jpeg.data(), static_cast<uint32_t>(first)));
  EXPECT_TRUE(d.StartDecompression());
  out.split = d.DecodingAhead();
  out.rowLength = d.DirectRowLength();
  const uint32_t height = d.RowsLeft();
  out.pixels.assign(size_t(out.rowLength) * height + 1, 0x5A);  // one guard byte past the page
  auto take = [&](bool final) {
    uint32_t rows = 0;
    while (d.RowsLeft() > 0 &&
           d.GetRows(out.pixels.data() + size_t(out.rows) * out.rowLength, maxRows, rows, final)) {
      EXPECT_GE(maxRows, rows);
      out.rows += rows;
    }
  };
  take(false);
  for (size_t pos = first; pos < jpeg.size(); pos += chunk) {
    EXPECT_TRUE(d.SubmitNextBuffer(jpeg.data() + pos, static_cast<uint32_t>(std::min(chunk, jpeg.size() - pos))));
    take(false);
  }
  take(true);
  EXPECT_FALSE(d.Failed());
  EXPECT_EQ(0x5A, out.pixels.back()) << "nothing written past the last row";
  out.pixels.pop_back();
  EXPECT_TRUE(d.FinishDecompress());
  return out;
}

TEST(JpegDecompressorTest, RowsDecodedInPlaceMatchOneGoDecodingInAnyBatchSize) {
  PrivateTmpDir tmp;
  JpegDecompressor d;
  EXPECT_EQ(0u, d.DirectRowLength());  // no page
  for (int components : {1, 3}) {
    const std::vector<uint8_t> jpeg = imagetest::MakeNoisyJpeg(200, 75, components, 95, 3);
    const std::vector<uint8_t> reference = imagetest::DecodeWhole(jpeg);
    for (uint32_t maxRows : {1u, 5u, 16u, 100u}) {
      for (size_t chunk : {700u, 65536u}) {
        SCOPED_TRACE(testing::Message() << "components " << components << " rows " << maxRows << " chunk " << chunk);
        Decoded got = FeedInPlace(d, jpeg, chunk, maxRows);
        EXPECT_EQ(200u * components, got.rowLength);
        EXPECT_EQ(75u, got.rows);
        EXPECT_TRUE(reference == got.pixels);
      }
    }
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST(JpegDecompressorTest, RowsInPlaceFromACutShortPageFail) {
  PrivateTmpDir tmp;
  JpegDecompressor d;
  const std::vector<uint8_t> jpeg = imagetest::MakeNoisyJpeg(256, 96, 3, 95, 7);
  const std::vector<uint8_t> cut(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2));
  const size_t header = imagetest::JpegHeaderLength(cut);
  ASSERT_TRUE(d.SubmitFirstBuffer(cut.data(), static_cast<uint32_t>(header)));
  ASSERT_TRUE(d.StartDecompression());
  ASSERT_TRUE(d.SubmitNextBuffer(cut.data() + header, static_cast<uint32_t>(cut.size() - header)));
  std::vector<uint8_t> page(256u * 3 * 96);
  uint32_t done = 0, rows = 0;
  while (d.GetRows(page.data() + size_t(done) * 768, 16, rows, false)) done += rows;
  EXPECT_FALSE(d.Failed());
  while (d.GetRows(page.data() + size_t(done) * 768, 16, rows, true)) done += rows;
  EXPECT_TRUE(d.Failed());
  EXPECT_LT(done, 96u);
  EXPECT_EQ(0u, d.DirectRowLength());  // a failed page hands out no more room
  EXPECT_FALSE(d.GetRows(page.data(), 16, rows, true));
  EXPECT_EQ(0u, rows);
  d.Abort();
  EXPECT_TRUE(tmp.Entries().empty());
}

// The receiving thread appends while another thread takes the rows: every row arrives intact,
// decoded in one piece, or split with a third thread decoding ahead.
TEST(JpegDecompressorTest, ChunksAppendedWhileAnotherThreadDecodes) {
  PrivateTmpDir tmp;
  const std::vector<uint8_t> jpeg = imagetest::MakeNoisyColourJpeg(512, 160, 2, 2, 100, 41);
  const std::vector<uint8_t> reference = imagetest::DecodeWhole(jpeg);
  const size_t header = imagetest::JpegHeaderLength(jpeg);
  for (const bool split : {false, true}) {
    SCOPED_TRACE(testing::Message() << "split " << split);
    JpegDecompressor d;
    d.UseDecodeAhead(split);
    ASSERT_TRUE(d.SubmitFirstBuffer(jpeg.data(), static_cast<uint32_t>(header)));
    ASSERT_TRUE(d.StartDecompression());
    ASSERT_EQ(split, d.DecodingAhead());
    std::vector<uint8_t> page(reference.size());
    std::atomic<bool> allIn{false};
    uint32_t done = 0;
    std::thread taker([&] {
      uint32_t rows = 0;
      while (!allIn.load()) {
        if (d.GetRows(page.data() + size_t(done) * 1536, 16, rows, false))
          done += rows;
        else
          std::this_thread::yield();
      }
    });
    for (size_t pos = header; pos < jpeg.size(); pos += 1000)
      ASSERT_TRUE(
          d.SubmitNextBuffer(jpeg.data() + pos, static_cast<uint32_t>(std::min<size_t>(1000, jpeg.size() - pos))));
    allIn = true;
    taker.join();
    uint32_t rows = 0;
    while (done < 160 && d.GetRows(page.data() + size_t(done) * 1536, 16, rows, true)) done += rows;
    EXPECT_EQ(160u, done);
    EXPECT_TRUE(reference == page);
    EXPECT_TRUE(d.FinishDecompress());
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

}  // namespace

// A page that arrived whole before its rows are asked for is several times the input the
// decoder takes from the file at once, and a row of blocks needs more than half of that: the
// rows still come out in one go, without waiting for another chunk, and match the one-go
// decoding both row by row and in place.
TEST(JpegDecompressorTest, APageThatArrivedWholeIsDecodedPastEachLoadOfInput) {
  PrivateTmpDir tmp;
  JpegDecompressor d;
  const std::vector<uint8_t> jpeg = imagetest::MakeNoisyJpeg(16384, 64, 3, 100, 13);
  ASSERT_GT(jpeg.size(), 3u * 256 * 1024) << "several loads of input";
  ASSERT_GT(jpeg.size() / (64 / 8), 128u * 1024) << "a row of blocks needs more than half a load";
  const std::vector<uint8_t> reference = imagetest::DecodeWhole(jpeg);
  const size_t header = imagetest::JpegHeaderLength(jpeg);
  const uint32_t rowLength = 16384 * 3;
  for (bool inPlace : {true, false}) {
    SCOPED_TRACE(inPlace ? "in place" : "row by row");
    ASSERT_TRUE(d.SubmitFirstBuffer(jpeg.data(), static_cast<uint32_t>(header)));
    ASSERT_TRUE(d.StartDecompression());
    ASSERT_TRUE(d.SubmitNextBuffer(jpeg.data() + header, static_cast<uint32_t>(jpeg.size() - header)));
    std::vector<uint8_t> page;
    auto take = [&](bool final) {
      if (inPlace) {
        uint32_t rows = 0;
        const size_t done = page.size();
        page.resize(reference.size());
        uint32_t got = 0;
        while (d.RowsLeft() > 0 && d.GetRows(page.data() + done + size_t(got) * rowLength, 16, rows, final)) got += rows;
        page.resize(done + size_t(got) * rowLength);
      } else {
        std::unique_ptr<uint8_t[]> row;
        uint32_t length = 0;
        while (d.GetRow(row, length, final)) page.insert(page.end(), row.get(), row.get() + length);
      }
    };
    take(false);
    // Only the last rows of blocks wait for the end of the page (two rows' worth of data ahead).
    EXPECT_GE(page.size(), reference.size() / 2);
    EXPECT_LT(page.size(), reference.size());
    take(true);
    EXPECT_FALSE(d.Failed());
    EXPECT_TRUE(reference == page);
    EXPECT_TRUE(d.FinishDecompress());
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

// Decoding ahead: colour pages in the three usual layouts are split between the decode-ahead
// thread and the caller and come out exactly as in one go, in any chunking and batch size, in
// place and row by row; other pages, and any page while it is not asked for, are decoded in one
// piece.
TEST(JpegDecompressorTest, PagesDecodedAheadMatchOneGoDecoding) {
  PrivateTmpDir tmp;
  JpegDecompressor d;
  struct Case {
    int across, down;
    uint32_t width, height;
    bool split;
  };
  const Case cases[] = {{1, 1, 200, 75, true},  {2, 1, 201, 77, true}, {2, 2, 333, 101, true},
                        {2, 2, 16, 1, true},    {2, 2, 64, 16, true},  {4, 1, 64, 40, false},
                        {2, 2, 15, 40, false}};  // 4:1:1; and too narrow for the library's filter
  uint32_t seed = 20;
  for (const Case& c : cases) {
    const std::vector<uint8_t> jpeg = imagetest::MakeNoisyColourJpeg(c.width, c.height, c.across, c.down, 95, seed++);
    const std::vector<uint8_t> reference = imagetest::DecodeWhole(jpeg);
    for (uint32_t maxRows : {1u, 16u, 100u})
      for (size_t chunk : {700u, 1u << 20}) {
        SCOPED_TRACE(testing::Message() << c.across << "x" << c.down << " " << c.width << "x" << c.height << " rows "
                                        << maxRows << " chunk " << chunk);
        d.UseDecodeAhead(true);
        Decoded got = FeedInPlace(d, jpeg, chunk, maxRows);
        EXPECT_EQ(c.split, got.split);
        EXPECT_EQ(c.height, got.rows);
        EXPECT_TRUE(reference == got.pixels);
        EXPECT_FALSE(d.DecodingAhead()) << "the page has ended";
      }
    Decoded byRow = FeedInChunks(d, jpeg, 500);
    EXPECT_EQ(c.split, byRow.split);
    EXPECT_TRUE(reference == byRow.pixels);
    d.UseDecodeAhead(false);
    EXPECT_FALSE(FeedInPlace(d, jpeg, 700, 16).split);
  }
  d.UseDecodeAhead(true);
  const std::vector<uint8_t> grey = imagetest::MakeNoisyJpeg(200, 40, 1, 95, 5);
  Decoded got = FeedInPlace(d, grey, 700, 16);
  EXPECT_FALSE(got.split);
  EXPECT_TRUE(imagetest::DecodeWhole(grey) == got.pixels);
  EXPECT_TRUE(tmp.Entries().empty());
}

// A split page that ends early, is cut short, is damaged or is abandoned while the ahead thread
// works on it: the failure is reported, nothing waits for ever, and the next page decodes right
// on the same thread.
TEST(JpegDecompressorTest, SplitPagesThatEndBadlyOrEarlyLeaveTheNextPageIntact) {
  PrivateTmpDir tmp;
  const std::vector<uint8_t> jpeg = imagetest::MakeNoisyColourJpeg(512, 200, 2, 2, 100, 31);
  const std::vector<uint8_t> reference = imagetest::DecodeWhole(jpeg);
  const size_t header = imagetest::JpegHeaderLength(jpeg);
  const uint32_t rowLength = 512 * 3;
  std::vector<uint8_t> page(reference.size());
  JpegDecompressor d;
  d.UseDecodeAhead(true);
  auto start = [&](const std::vector<uint8_t>& bytes, size_t length) {
    ASSERT_TRUE(d.SubmitFirstBuffer(bytes.data(), static_cast<uint32_t>(header)));
    ASSERT_TRUE(d.StartDecompression());
    ASSERT_TRUE(d.DecodingAhead());
    if (length > header) ASSERT_TRUE(d.SubmitNextBuffer(bytes.data() + header, static_cast<uint32_t>(length - header)));
  };
  auto drain = [&](bool final) {
    uint32_t done = 0, rows = 0;
    while (d.RowsLeft() > 0 && d.GetRows(page.data() + size_t(done) * rowLength, 16, rows, final)) done += rows;
    return done;
  };
  auto nextPageIsIntact = [&] {
    Decoded again = FeedInPlace(d, jpeg, 4096, 16);
    EXPECT_TRUE(again.split);
    EXPECT_TRUE(reference == again.pixels);
  };
  {
    SCOPED_TRACE("cut short");
    start(jpeg, jpeg.size() / 2);
    const uint32_t before = drain(false);
    EXPECT_GT(before, 0u);
    EXPECT_LT(before, 100u);
    EXPECT_FALSE(d.Failed());
    const uint32_t after = drain(true);
    EXPECT_TRUE(d.Failed());
    EXPECT_LT(before + after, 200u);
    EXPECT_TRUE(std::equal(page.begin(), page.begin() + long(before) * rowLength, reference.begin()));
    std::unique_ptr<uint8_t[]> row;
    uint32_t length = 0;
    EXPECT_FALSE(d.GetRow(row, length, true));
    EXPECT_FALSE(d.FinishDecompress());
    nextPageIsIntact();
  }
  {
    SCOPED_TRACE("damaged");
    std::vector<uint8_t> damaged = jpeg;
    for (size_t i = header + damaged.size() / 4; i < damaged.size() / 2; ++i) damaged[i] = (i % 2) ? 0xFF : 0xC4;
    start(damaged, damaged.size());
    drain(false);
    drain(true);
    d.FinishDecompress();
    EXPECT_FALSE(d.Busy());
    nextPageIsIntact();
  }
  {
    SCOPED_TRACE("finished early");
    start(jpeg, jpeg.size());
    uint32_t rows = 0;
    ASSERT_TRUE(d.GetRows(page.data(), 16, rows, false));
    EXPECT_TRUE(d.FinishDecompress());
    nextPageIsIntact();
  }
  for (size_t length : {jpeg.size(), jpeg.size() / 3}) {
    SCOPED_TRACE(testing::Message() << "abandoned with " << length << " bytes in");
    // The ahead thread is decoding (the ring has room for a few rows of blocks) when the page
    // goes.
    start(jpeg, length);
    uint32_t rows = 0;
    ASSERT_TRUE(d.GetRows(page.data(), 1, rows, false));
    d.Abort();
    EXPECT_FALSE(d.Busy());
    EXPECT_FALSE(d.DecodingAhead());
    nextPageIsIntact();
  }
  {
    SCOPED_TRACE("destroyed during a page");
    JpegDecompressor other;
    other.UseDecodeAhead(true);
    ASSERT_TRUE(other.SubmitFirstBuffer(jpeg.data(), static_cast<uint32_t>(header)));
    ASSERT_TRUE(other.StartDecompression());
    ASSERT_TRUE(other.SubmitNextBuffer(jpeg.data() + header, static_cast<uint32_t>(jpeg.size() - header)));
  }
  EXPECT_TRUE(tmp.Entries().empty());
}
