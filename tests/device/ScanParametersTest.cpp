// Scan parameters: page geometry, ticket values, the checks and the region enlargement.
#include <gtest/gtest.h>

#include <cstring>

#include "device/AdfScanParameters.h"
#include "device/FlatbedScanParameters.h"
#include "device/ScanParameters.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/support/HostCalls.h"

namespace {

// A platen (method 0) or feeder (1) record at 300 dpi, 8-bit grey, full width.
SCANNER_PARAMETERS Record(uint16_t method, uint32_t left, uint32_t top, uint32_t width, uint32_t length,
                          uint32_t mode = 2, uint8_t bits = 8, uint16_t dpi = 300) {
  return testsupport::HostParameters(method, mode, bits, dpi, left, top, width, length);
}

class ScanParametersTest : public ::testing::Test {
 protected:
  devicetest::Sandbox sandbox_;
};

TEST_F(ScanParametersTest, FullPlatenPageInGreyGivesTheWorkedGeometry) {
  FlatbedScanParameters p(Record(0, 0, 0, 2550, 3507), false);
  EXPECT_TRUE(p.Valid());
  EXPECT_EQ(2550u, p.PixelsPerLine());
  EXPECT_EQ(3507u, p.Lines());
  EXPECT_EQ(2550u, p.BytesPerLine());
  EXPECT_EQ(8942850u, p.BytesPerLine() * p.Lines());
  EXPECT_EQ(0, p.ScanRegionXOffset());
  EXPECT_EQ(0, p.ScanRegionYOffset());
  EXPECT_EQ(8500, p.ScanRegionWidth());
  EXPECT_EQ(11690, p.ScanRegionHeight());
  EXPECT_EQ(kColorGrayScale8, p.ColorProcessing());
  EXPECT_EQ(kFormatJfif, p.Format());
  EXPECT_TRUE(p.ExpectCompressed());
  EXPECT_FALSE(p.ExpectOneBit());
}

TEST_F(ScanParametersTest, BlackAndWhiteRoundsTheLineDownToWholeBytes) {
  FlatbedScanParameters p(Record(0, 0, 0, 2550, 3507, 4, 1), false);
  EXPECT_TRUE(p.Valid());
  EXPECT_EQ(2544u, p.PixelsPerLine());
  EXPECT_EQ(318u, p.BytesPerLine());
  EXPECT_EQ(8480, p.ScanRegionWidth());  // ceil(2544 x 1000 / 300)
  EXPECT_EQ(kColorBlackAndWhite1, p.ColorProcessing());
  EXPECT_EQ(kFormatZkraw, p.Format());
  EXPECT_FALSE(p.ExpectCompressed());
  EXPECT_TRUE(p.ExpectOneBit());
}

TEST_F(ScanParametersTest, ColourAndLowResolutionGeometryTruncates) {
  FlatbedScanParameters colour(Record(0, 0, 0, 2550, 3507, 1, 8), false);
  EXPECT_EQ(7650u, colour.BytesPerLine());
  EXPECT_EQ(kColorRgb24, colour.ColorProcessing());
  // 75 dpi: 3507 x 75 / 300 = 876.75 lines, 601 x 75 / 300 = 150.25 pixels.
  FlatbedScanParameters low(Record(0, 0, 0, 601, 3507, 2, 8, 75), false);
  EXPECT_EQ(876u, low.Lines());
  EXPECT_EQ(150u, low.PixelsPerLine());
  // Black and white at 75 dpi: 150 pixels become 144, 18 bytes; the ticket width follows the
  // bytes actually sent: ceil(144 x 1000 / 75) = 1920.
  FlatbedScanParameters bw(Record(0, 0, 0, 601, 3507, 4, 1, 75), false);
  EXPECT_EQ(144u, bw.PixelsPerLine());
  EXPECT_EQ(18u, bw.BytesPerLine());
  EXPECT_EQ(1920, bw.ScanRegionWidth());
  // A mode that is not exactly one of the three has no line size.
  FlatbedScanParameters mixed(Record(0, 0, 0, 2550, 3507, 3, 8), false);
  EXPECT_EQ(0u, mixed.BytesPerLine());
  EXPECT_EQ(kColorRgb24, mixed.ColorProcessing());
}

TEST_F(ScanParametersTest, RegionOriginsRoundDownAndSizesRoundUp) {
  FlatbedScanParameters p(Record(0, 1, 2, 577, 578), false);
  EXPECT_EQ(3, p.ScanRegionXOffset());    // 3.33
  EXPECT_EQ(6, p.ScanRegionYOffset());    // 6.67
  EXPECT_EQ(1924, p.ScanRegionWidth());   // 1923.33
  EXPECT_EQ(1927, p.ScanRegionHeight());  // 1926.67
}

TEST_F(ScanParametersTest, ContentTypeTranslatesHostCodesToTicketCodes) {
  SCANNER_PARAMETERS r = Record(0, 0, 0, 2550, 3507);
  const struct {
    uint8_t host;
    int ticket;
  } cases[] = {{0, kContentAuto}, {1, kContentPhoto}, {2, kContentDocument}, {3, kContentObject3D}, {7, kContentAuto}};
  for (const auto& c : cases) {
    r.byContentType = c.host;
    EXPECT_EQ(c.ticket, FlatbedScanParameters(r, false).ContentType()) << "host code " << int(c.host);
  }
}

TEST_F(ScanParametersTest, SourcesReportTheirLimits) {
  const FlatbedScanParameters platen(false);
  EXPECT_EQ(kInputSourcePlaten, platen.InputSource());
  EXPECT_EQ(11690, platen.InputMediaHeight());
  EXPECT_EQ(1200, platen.OpticalResolution());
  EXPECT_EQ(2550u, platen.MaximumWidth());
  EXPECT_EQ(3507u, platen.MaximumLength());
  EXPECT_EQ(576u, platen.MinimumLength());
  EXPECT_EQ(1974u, platen.MaximumLeft());
  EXPECT_EQ(2931u, platen.MaximumTop());
  EXPECT_EQ(0, platen.ImagesToTransfer(true));
  EXPECT_EQ(2550u, platen.parameters.dwWidth);
  EXPECT_EQ(3507u, platen.parameters.dwLength);
  EXPECT_EQ(16, platen.parameters.wGreyChannel);
  EXPECT_EQ(1u, platen.parameters.dwScanMode);

  AdfScanParameters adf(false);
  EXPECT_EQ(kInputSourceAdf, adf.InputSource());
  EXPECT_EQ(14000, adf.InputMediaHeight());
  EXPECT_EQ(300, adf.OpticalResolution());
  EXPECT_EQ(4200u, adf.MaximumLength());
  EXPECT_EQ(576u, adf.MinimumLength());
  EXPECT_EQ(3624u, adf.MaximumTop());
  EXPECT_EQ(4200u, adf.parameters.dwLength);
  EXPECT_EQ(1, adf.parameters.wScanMethod);
  adf.duplex = true;
  EXPECT_EQ(kInputSourceAdfDuplex, adf.InputSource());
}

TEST_F(ScanParametersTest, UndersizedRegionsAreEnlargedAndKeptInside) {
  // Too small at the origin: both sides grow to the minimum.
  auto small = ScanParameters::Create(Record(0, 0, 0, 300, 400), false);
  ASSERT_TRUE(small);
  EXPECT_EQ(576u, small->parameters.dwWidth);
  EXPECT_EQ(576u, small->parameters.dwLength);
  EXPECT_TRUE(small->Valid());
  // Near the right edge: width grows, the origin moves back so the region ends at the edge.
  auto right = ScanParameters::Create(Record(0, 2400, 0, 100, 3507), false);
  EXPECT_EQ(576u, right->parameters.dwWidth);
  EXPECT_EQ(1974u, right->parameters.dwLeft);
  EXPECT_TRUE(right->Valid());
  // Near the bottom of the platen and of the feeder.
  auto bottom = ScanParameters::Create(Record(0, 0, 3000, 2550, 100), false);
  EXPECT_EQ(576u, bottom->parameters.dwLength);
  EXPECT_EQ(2931u, bottom->parameters.dwTop);
  EXPECT_TRUE(bottom->Valid());
  auto feeder = ScanParameters::Create(Record(1, 0, 3700, 2550, 100), false);
  EXPECT_EQ(576u, feeder->parameters.dwLength);
  EXPECT_EQ(3624u, feeder->parameters.dwTop);
  EXPECT_TRUE(feeder->Valid());
  // Large enough: untouched.
  auto fine = ScanParameters::Create(Record(0, 10, 20, 600, 700), false);
  EXPECT_EQ(10u, fine->parameters.dwLeft);
  EXPECT_EQ(20u, fine->parameters.dwTop);
  EXPECT_EQ(600u, fine->parameters.dwWidth);
  EXPECT_EQ(700u, fine->parameters.dwLength);
}

TEST_F(ScanParametersTest, RegionOutsideTheSourceIsLoggedLeftAloneAndRefused) {
  sandbox_.CaptureLog();
  const SCANNER_PARAMETERS cases[] = {
      Record(0, 2550, 0, 100, 100),    // origin past the right edge
      Record(0, 0, 3507, 100, 100),    // origin past the bottom
      Record(0, 2000, 0, 600, 3507),   // ends past the right edge
      Record(1, 0, 3700, 2550, 600),   // ends past the feeder's bottom
      Record(0, 0, 0, 0, 3507),        // empty region at the origin
  };
  for (const SCANNER_PARAMETERS& record : cases) {
    sandbox_.ClearLog();
    auto p = ScanParameters::Create(record, false);
    ASSERT_TRUE(p);
    EXPECT_EQ(0, std::memcmp(&record, &p->parameters, sizeof record)) << "left " << record.dwLeft;
    EXPECT_FALSE(p->Valid()) << "left " << record.dwLeft;
    EXPECT_NE(std::string::npos, sandbox_.Log().find("Error: Invalid Scan Region"));
  }
}

TEST_F(ScanParametersTest, HugeSizesDoNotWrapIntoTheSource) {
  // 5 + 0xFFFFFFFF - 1 would wrap to 3 in 32 bits and pass for a 4-billion-pixel line.
  auto wide = ScanParameters::Create(Record(0, 5, 0, 0xFFFFFFFFu, 3507), false);
  ASSERT_TRUE(wide);
  EXPECT_FALSE(wide->Valid());
  auto tall = ScanParameters::Create(Record(1, 0, 10, 2550, 0xFFFFFFF8u), false);
  EXPECT_FALSE(tall->Valid());
}

TEST_F(ScanParametersTest, ResolutionsDependOnTheSource) {
  for (uint16_t dpi : {75, 100, 150, 200, 300, 600, 1200}) {
    EXPECT_TRUE(FlatbedScanParameters(Record(0, 0, 0, 2550, 3507, 2, 8, dpi), false).Valid()) << dpi;
  }
  for (uint16_t dpi : {75, 100, 150, 200, 300}) {
    EXPECT_TRUE(AdfScanParameters(Record(1, 0, 0, 2550, 4200, 2, 8, dpi), false).Valid()) << dpi;
  }
  EXPECT_FALSE(AdfScanParameters(Record(1, 0, 0, 2550, 4200, 2, 8, 600), false).Valid());
  EXPECT_FALSE(FlatbedScanParameters(Record(0, 0, 0, 2550, 3507, 2, 8, 250), false).Valid());
  EXPECT_FALSE(AdfScanParameters(Record(1, 0, 0, 2550, 4200, 2, 8, 250), false).Valid());
  SCANNER_PARAMETERS uneven = Record(0, 0, 0, 2550, 3507);
  uneven.wYResolution = 600;
  EXPECT_FALSE(FlatbedScanParameters(uneven, false).Valid());
}

TEST_F(ScanParametersTest, ModesOptionsAndBitDepthsMustMatch) {
  EXPECT_FALSE(FlatbedScanParameters(Record(0, 0, 0, 2550, 3507, 4, 8), false).Valid());
  EXPECT_FALSE(FlatbedScanParameters(Record(0, 0, 0, 2550, 3507, 1, 1), false).Valid());
  EXPECT_FALSE(FlatbedScanParameters(Record(0, 0, 0, 2550, 3507, 2, 16), false).Valid());
  EXPECT_FALSE(FlatbedScanParameters(Record(0, 0, 0, 2550, 3507, 3, 8), false).Valid());
  EXPECT_FALSE(FlatbedScanParameters(Record(0, 0, 0, 2550, 3507, 0, 8), false).Valid());
  EXPECT_TRUE(FlatbedScanParameters(Record(0, 0, 0, 2550, 3507, 1, 8), false).Valid());
  SCANNER_PARAMETERS options = Record(0, 0, 0, 2550, 3507);
  options.dwScanOptions = 0x4000;
  EXPECT_TRUE(FlatbedScanParameters(options, false).Valid());
  options.dwScanOptions = 0x0001;
  EXPECT_FALSE(FlatbedScanParameters(options, false).Valid());
}

TEST_F(ScanParametersTest, LosslessModeSendsRawRowsAndAllowsShortPages) {
  sandbox_.CaptureLog();
  FlatbedScanParameters p(Record(0, 0, 0, 2550, 3507, 1, 8), true);
  EXPECT_EQ(kFormatZkraw, p.Format());
  EXPECT_FALSE(p.ExpectCompressed());
  EXPECT_EQ(90u, p.MinimumLength());
  EXPECT_EQ(3417u, p.MaximumTop());
  EXPECT_NE(std::string::npos, sandbox_.Log().find("Lossless mode set for Manufacturing test"));
  // A strip of 50 rows grows only to 90 and may start lower than in normal mode.
  auto strip = ScanParameters::Create(Record(0, 0, 3450, 2550, 50), true);
  EXPECT_EQ(90u, strip->parameters.dwLength);
  EXPECT_EQ(3417u, strip->parameters.dwTop);
  EXPECT_TRUE(strip->Valid());
  // The feeder keeps its limits.
  EXPECT_EQ(576u, AdfScanParameters(true).MinimumLength());
}

TEST_F(ScanParametersTest, CreateMakesTheSourceOfTheScanMethod) {
  sandbox_.CaptureLog();
  auto platen = ScanParameters::Create(Record(0, 0, 0, 2550, 3507), false);
  ASSERT_TRUE(platen);
  EXPECT_EQ(kInputSourcePlaten, platen->InputSource());
  auto adf = ScanParameters::Create(Record(1, 0, 0, 2550, 4200), true);
  ASSERT_TRUE(adf);
  EXPECT_EQ(kInputSourceAdf, adf->InputSource());
  EXPECT_TRUE(adf->lossless);
  EXPECT_FALSE(ScanParameters::Create(Record(2, 0, 0, 2550, 3507), false));
  EXPECT_NE(std::string::npos, sandbox_.Log().find("Error: unsupported scan method"));
}

TEST_F(ScanParametersTest, TheSharedDefaultIsAFullColourPlatenPage) {
  const ScanParameters& d = ScanParameters::DefaultParameters();
  EXPECT_EQ(&d, &ScanParameters::DefaultParameters());
  EXPECT_EQ(kInputSourcePlaten, d.InputSource());
  EXPECT_FALSE(d.lossless);
  EXPECT_TRUE(d.Valid());
  EXPECT_EQ(7650u, d.BytesPerLine());
  EXPECT_EQ(3507u, d.Lines());
}

}  // namespace
