// Page geometry, the test chart's rows and their encodings.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "sim/DeviceSimulator.h"
#include "sim/PageEncoder.h"
#include "sim/PageImage.h"
#include "sim/PageTransfer.h"
#include "tests/sim/SimTestSupport.h"

using namespace cavixsim;

TEST(PageImageTest, GeometryMatchesWhatTheHostComputesFromItsRegion) {
  // The host: pixels = dpi * width / 300 (one-bit: down to a multiple of 8), lines = dpi *
  // length / 300, bytes per line by mode. The device only sees the ticket made from them.
  const uint32_t dpis[] = {75, 100, 150, 200, 300, 600, 1200};
  int checked = 0;
  for (uint32_t dpi : dpis) {
    for (uint32_t w = 576; w <= 2550; w += 7) {
      const uint32_t len = 576 + (w * 13) % 3600;
      for (int color : {kColorBw1, kColorGray8, kColorRgb24}) {
        Ticket t = simtest::HostTicket(kSourceAdf, color, kFormatZkraw, dpi, 0, 0, w, len);
        PageGeometry g = PageImage::Geometry(t);
        uint32_t ppl = dpi * w / 300;
        if (color == kColorBw1) ppl = ppl / 8 * 8;
        const uint32_t bpl = color == kColorBw1 ? ppl / 8 : color == kColorGray8 ? ppl : ppl * 3;
        ASSERT_EQ(g.pixelsPerLine, ppl) << dpi << " " << w << " " << color;
        ASSERT_EQ(g.lines, dpi * len / 300) << dpi << " " << len;
        ASSERT_EQ(g.bytesPerLine, bpl);
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 5000);
  // The worked example: 300 dpi grey full platen page.
  PageGeometry g = PageImage::Geometry(simtest::HostTicket(kSourcePlaten, kColorGray8, kFormatJfif, 300, 0, 0, 2550, 3507));
  EXPECT_EQ(g.pixelsPerLine, 2550u);
  EXPECT_EQ(g.lines, 3507u);
  EXPECT_EQ(g.bytesPerLine, 2550u);
}

TEST(PageImageTest, SupportedFormatsAndColours) {
  auto t = [](int color, int format) {
    return simtest::HostTicket(kSourcePlaten, color, format, 300, 0, 0, 2550, 3507);
  };
  EXPECT_TRUE(PageImage::Supported(t(kColorBw1, kFormatZkraw)));
  EXPECT_TRUE(PageImage::Supported(t(kColorRgb24, kFormatZkraw)));
  EXPECT_TRUE(PageImage::Supported(t(kColorGray8, kFormatJfif)));
  EXPECT_FALSE(PageImage::Supported(t(kColorBw1, kFormatJfif)));
  EXPECT_FALSE(PageImage::Supported(t(kColorRgb48, kFormatZkraw)));
  EXPECT_FALSE(PageImage::Supported(t(kColorGray8, kFormatPng)));
  Ticket odd = t(kColorGray8, kFormatZkraw);
  odd.resolutionY = 150;
  EXPECT_FALSE(PageImage::Supported(odd));
  Ticket empty = t(kColorGray8, kFormatZkraw);
  empty.regionWidth = 0;
  EXPECT_FALSE(PageImage::Supported(empty));
}

TEST(PageImageTest, OneBitRowsPackTheGreyPageMostSignificantBitFirstWhiteSet) {
  Ticket grey = simtest::HostTicket(kSourcePlaten, kColorGray8, kFormatZkraw, 100, 0, 0, 2544, 1200);
  Ticket bw = grey;
  bw.colorProcessing = kColorBw1;
  PageImage g(grey, 1, 0, false), b(bw, 1, 0, false);
  ASSERT_EQ(g.geometry().pixelsPerLine, b.geometry().pixelsPerLine);
  std::vector<uint8_t> gr(g.geometry().bytesPerLine), br(b.geometry().bytesPerLine);
  int black = 0, white = 0;
  for (uint32_t y = 0; y < g.geometry().lines; y += 3) {
    g.Row(y, gr.data());
    b.Row(y, br.data());
    for (uint32_t x = 0; x < g.geometry().pixelsPerLine; ++x) {
      const bool set = br[x / 8] & (0x80 >> (x % 8));
      ASSERT_EQ(set, gr[x] >= 128) << x << "," << y;
      (set ? white : black)++;
    }
  }
  EXPECT_GT(black, 1000);  // text rows, marks and digits
  EXPECT_GT(white, black);
}

TEST(PageImageTest, ChartIsDeterministicAndShowsPageAndSide) {
  Ticket t = simtest::HostTicket(kSourceAdfDuplex, kColorRgb24, kFormatZkraw, 75, 0, 0, 2550, 3507);
  PageImage a(t, 3, 0, false), again(t, 3, 0, false), back(t, 3, 1, false), other(t, 4, 0, false);
  const uint32_t bpl = a.geometry().bytesPerLine;
  std::vector<uint8_t> r1(bpl), r2(bpl), r3(bpl), r4(bpl);
  bool backDiffers = false, pageDiffers = false, textHasInk = false;
  for (uint32_t y = 0; y < a.geometry().lines; ++y) {
    a.Row(y, r1.data());
    again.Row(y, r2.data());
    back.Row(y, r3.data());
    other.Row(y, r4.data());
    ASSERT_EQ(r1, r2) << y;
    backDiffers = backDiffers || r1 != r3;
    pageDiffers = pageDiffers || r1 != r4;
    // Text rows (from 1.1 inch down) carry bytes dark enough to count as content.
    if (y > 90 && y < 370)
      for (uint8_t v : r1) textHasInk = textHasInk || v < 60;
  }
  EXPECT_TRUE(backDiffers);
  EXPECT_TRUE(pageDiffers);
  EXPECT_TRUE(textHasInk);
  // A region cut out of the page shows the same pixels as the full page.
  Ticket part = simtest::HostTicket(kSourceAdfDuplex, kColorRgb24, kFormatZkraw, 75, 600, 900, 900, 900);
  PageImage p(part, 3, 0, false);
  uint8_t full[3], cut[3];
  a.Pixel(150 + 10, 225 + 20, full);
  p.Pixel(10, 20, cut);
  EXPECT_EQ(std::vector<uint8_t>(full, full + 3), std::vector<uint8_t>(cut, cut + 3));
}

TEST(PageImageTest, PadRowsAreWhiteOrDarkAndFollowTheLastLine) {
  Ticket t = simtest::HostTicket(kSourcePlaten, kColorGray8, kFormatZkraw, 75, 0, 0, 1000, 1000);
  PageImage light(t, 1, 0, false), dark(t, 1, 0, true);
  std::vector<uint8_t> row(light.geometry().bytesPerLine);
  light.Row(light.geometry().lines, row.data());
  for (uint8_t v : row) ASSERT_EQ(v, 0xFF);
  dark.Row(dark.geometry().lines + 5, row.data());
  for (uint8_t v : row) ASSERT_LT(v, 60);
  Ticket bw = t;
  bw.colorProcessing = kColorBw1;
  PageImage darkBw(bw, 1, 0, true);
  std::vector<uint8_t> bits(darkBw.geometry().bytesPerLine);
  darkBw.Row(darkBw.geometry().lines, bits.data());
  for (uint8_t v : bits) ASSERT_EQ(v, 0x00);
}

TEST(PageImageTest, RawEncodingIsTheRowsWhateverTheReadSizes) {
  Ticket t = simtest::HostTicket(kSourcePlaten, kColorRgb24, kFormatZkraw, 75, 0, 0, 1200, 900);
  PageImage image(t, 1, 0, false);
  const uint32_t pad = 4;
  std::vector<uint8_t> expected;
  std::vector<uint8_t> row(image.geometry().bytesPerLine);
  for (uint32_t y = 0; y < image.geometry().lines + pad; ++y) {
    image.Row(y, row.data());
    expected.insert(expected.end(), row.begin(), row.end());
  }
  for (size_t step : {size_t(1), size_t(7), size_t(4096), size_t(1) << 20}) {
    PageEncoder enc(image, kFormatZkraw, pad, 85);
    EXPECT_EQ(enc.KnownSize(), expected.size());
    std::vector<uint8_t> got, buf(step);
    for (size_t n; (n = enc.Read(buf.data(), step)) > 0;) got.insert(got.end(), buf.begin(), buf.begin() + long(n));
    EXPECT_TRUE(enc.Finished());
    EXPECT_EQ(got, expected) << step;
  }
}

TEST(PageImageTest, JpegEncodingIsDeterministicAndStartsWithItsHeaders) {
  Ticket t = simtest::HostTicket(kSourcePlaten, kColorGray8, kFormatJfif, 100, 0, 0, 2550, 3507);
  std::vector<uint8_t> a = DeviceSimulator::RenderPage(t, 1, 0, 2, false);
  std::vector<uint8_t> b = DeviceSimulator::RenderPage(t, 1, 0, 2, false);
  ASSERT_GT(a.size(), 1000u);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a[0], 0xFF);
  EXPECT_EQ(a[1], 0xD8);                 // start of image
  EXPECT_EQ(a[a.size() - 2], 0xFF);
  EXPECT_EQ(a[a.size() - 1], 0xD9);      // end of image
  // The encoder's first piece is the headers, whole, up to the start of scan.
  PageImage image(t, 1, 0, false);
  PageEncoder enc(image, kFormatJfif, 2, 85);
  EXPECT_EQ(enc.KnownSize(), 0u);
  std::vector<uint8_t> first(2048);
  size_t n = enc.Read(first.data(), first.size());
  ASSERT_EQ(n, first.size());
  bool sos = false;
  for (size_t i = 0; i + 1 < n; ++i) sos = sos || (first[i] == 0xFF && first[i + 1] == 0xDA);
  EXPECT_TRUE(sos);
}

TEST(PageImageTest, PageFilesReplaceTheChart) {
  char name[] = "/tmp/cavix-sim-page-XXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  // A 2 x 2 grey image: black, white / white, black.
  const char data[] = "P5\n# made by hand\n2 2\n255\n\x00\xff\xff\x00";
  ASSERT_EQ(write(fd, data, sizeof data - 1), ssize_t(sizeof data - 1));
  close(fd);
  auto file = std::make_shared<PnmImage>();
  std::string error;
  ASSERT_TRUE(PnmImage::Load(name, *file, error)) << error;
  EXPECT_EQ(file->width, 2u);
  EXPECT_EQ(file->height, 2u);
  Ticket t = simtest::HostTicket(kSourcePlaten, kColorGray8, kFormatZkraw, 75, 0, 0, 2550, 3507);
  PageImage image(t, 1, 0, false, file);
  std::vector<uint8_t> row(image.geometry().bytesPerLine);
  image.Row(10, row.data());  // top half: black then white
  EXPECT_EQ(row[10], 0);
  EXPECT_EQ(row[600], 255);
  image.Row(800, row.data());  // bottom half: white then black
  EXPECT_EQ(row[10], 255);
  EXPECT_EQ(row[600], 0);
  unlink(name);

  PnmImage bad;
  EXPECT_FALSE(PnmImage::Load("/nonexistent.pgm", bad, error));
  char text[] = "/tmp/cavix-sim-page-XXXXXX";
  fd = mkstemp(text);
  ASSERT_EQ(write(fd, "P2\n2 2\n255\n0 1 2 3\n", 19), 19);
  close(fd);
  EXPECT_FALSE(PnmImage::Load(text, bad, error));
  EXPECT_NE(error.find("PGM/PPM"), std::string::npos);
  unlink(text);
}

// A page served again from the page cache reports the same hash as when it was encoded, and
// one that stops short the hash of what it sent.
TEST(PageImageTest, CachedPagesReportTheHashOfTheBytesSent) {
  PagePlan plan;
  plan.ticket = simtest::HostTicket(kSourcePlaten, kColorGray8, kFormatJfif, 75, 0, 0, 1200, 900);
  plan.sheet = 4;
  plan.padLines = 1;
  plan.jpegQuality = 61;  // a plan no other test caches
  plan.cached = true;
  const std::vector<uint8_t> page = DeviceSimulator::RenderPage(plan.ticket, 4, 0, 1, false, 61);
  std::vector<uint8_t> buf(777);
  for (int round = 0; round < 2; ++round) {  // encoded and kept, then served from the cache
    PageTransfer whole(plan, false, nullptr);
    while (whole.Read(buf.data(), buf.size()) > 0) {
    }
    EXPECT_TRUE(whole.Finished()) << round;
    EXPECT_EQ(whole.bytes(), page.size());
    EXPECT_EQ(whole.hash(), DeviceSimulator::Hash(page)) << round;
  }
  PageTransfer part(plan, false, nullptr);
  ASSERT_EQ(part.Read(buf.data(), buf.size()), buf.size());
  EXPECT_FALSE(part.Finished());
  EXPECT_EQ(part.hash(), PageTransfer::Fnv1a(page.data(), buf.size()));
}
