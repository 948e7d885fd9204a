// The record dumps compared as whole texts, and their single log entry.
#include <cstring>
#include <sstream>

#include "LogTestSupport.h"
#include "log/CHRESULT2.h"
#include "log/CLog2.h"
#include "log/Dumps.h"

namespace {

template <class Record, class Writer>
std::string Text(const Record& record, Writer write) {
  std::ostringstream out;
  write(out, record);
  return out.str();
}

SCANNER_PARAMETERS PlainParameters() {
  SCANNER_PARAMETERS p;
  std::memset(&p, 0, sizeof p);
  p.dwLeft = 10;
  p.dwTop = 20;
  p.dwWidth = 2550;
  p.dwLength = 3300;
  p.dwPageWidth = 2550;
  p.dwPageHeight = 3508;
  p.dwScanMode = C_SCANMODE_COLOR;
  p.byBitsPerChannel = 8;
  p.wXResolution = 300;
  p.wYResolution = 600;
  p.wGreyChannel = C_GREY_GREEN;
  p.wScanMethod = C_SCANMETHOD_FLATBED;
  return p;
}

TEST(RecordDumps, BufferInfo) {
  BUFFER_INFO info{};
  info.dwPixelWidth = 2550;
  info.dwPixelHeight = 3300;
  info.dwBytesPerLine = 7650;
  EXPECT_EQ(Text(info, WriteBufferInfo),
            " << BUFFER_INFO >>> \n"
            "Bytes Per Line = 7650\n"
            "Pixel Width = 2550\n"
            "Pixel Height = 3300\n");
}

TEST(RecordDumps, ParametersWithoutOptions) {
  EXPECT_EQ(Text(PlainParameters(), WriteScannerParameters),
            " << SCANNER PARAMETERS >>> \n"
            "PixelLeft = 10\n"
            "PixelTop = 20\n"
            "PixelWidth = 2550\n"
            "PixelLength = 3300\n"
            "PageWidth = 2550\n"
            "PageHeight = 3508\n"
            "Scan Mode = COLOR\n"
            "Scan Options = \n"
            "Bits Per Channel = 8\n"
            "X Resolution = 300\n"
            "Y Resolution = 600\n"
            "Grey Channel = GREEN\n"
            "Scan Method = Flatbed\n"
            "Top Edge Feed (default)\n");
}

TEST(RecordDumps, ParametersWithEveryOptionAndAutoOrientation) {
  SCANNER_PARAMETERS p = PlainParameters();
  p.dwScanMode = C_SCANMODE_ACD_CGB;
  p.byACDsensitivity = 3;
  p.byACDsensitivityBW = 250;
  p.byACDmapping = 16;
  p.dwScanOptions = 0x07FFFFBFu;  // every named option
  p.dwBWThreshold = 128;
  p.tonemap = TONEMAP_PARAMETERS{2200, 10, 200, 65535, 0};
  p.byNoiseRemovalLevel = 2;
  p.cSharpSmoothLevel = -3;
  p.byContentType = C_CONTENT_DOCUMENT;
  p.byBlankPageSensitivity = 5;
  p.byAutoCropType = C_AUTOCROP_CONTENT;
  p.byAutoOrientQualityMode = 1;
  p.byAutoOrientLanguage = 0x10;
  p.byEdgeEraseTop = 4;
  p.byEdgeEraseBottom = 5;
  p.byFillColor = C_FILL_PAGE_COLOR;
  p.byAutoXclusionTop = 1;
  p.byAutoXclusionBottom = 2;
  p.byAutoXclusionLeft = 3;
  p.byAutoXclusionRight = 4;
  p.wGreyChannel = C_GREY_CCD_EMULATION;
  p.wScanMethod = C_SCANMETHOD_TMA_NEGATIVE;
  p.wFeedEdge = 3;
  EXPECT_EQ(Text(p, WriteScannerParameters),
            " << SCANNER PARAMETERS >>> \n"
            "PixelLeft = 10\n"
            "PixelTop = 20\n"
            "PixelWidth = 2550\n"
            "PixelLength = 3300\n"
            "PageWidth = 2550\n"
            "PageHeight = 3508\n"
            "Scan Mode = ACD_CGB (ACD sensitivity = 3, ACD sensitivity BW = 250, Mapping =  "
            "C_HGG: Color->Haltfone, Greyscale->Greyscale, Binary->Greyscale)\n"
            "Scan Options = \n"
            "   C_PREVIEW\n"
            "   C_PIXELCOORDINATES\n"
            "   C_QUALITY\n"
            "   C_BW_DITHER\n"
            "   C_IR\n"
            "   C_DEWARP\n"
            "   C_HW_ROTATE_90 (HW does rotation 90 degrees CW)\n"
            "   C_HW_ROTATE_270 (HW does rotation 270 degrees CW)\n"
            "   C_HW_ROTATE_UPRIGHT (rotate upright automatically)\n"
            "   C_BW_THRESHOLD (dwBWThreshold = 128)\n"
            "   C_TONEMAP_PARAMETERS:\n"
            "      wGamma = 2.2\n"
            "      byBrightness = 10\n"
            "      byContrast = 200\n"
            "      wHighlight = 65535\n"
            "      wShadow = 0\n"
            "   C_NOISE_REMOVAL (byNoizeRemovalLevel = 2)\n"
            "   C_SHARPSMOOTH (cSharpSmoothLevel = -3)\n"
            "   C_CONTENT_TYPE (byContentType = C_CONTENT_DOCUMENT\n"
            "   C_PAGECOORDINATES\n"
            "   C_DESCREEN\n"
            "   C_BLANK_PAGE_DETECT (byBlankPageSensitivity = 5)\n"
            "   C_BW_DITHER_BAYER\n"
            "   C_BW_DITHER_ERROR_DIFFUSION\n"
            "   C_AUTO_DESKEW\n"
            "   C_AUTO_CROP (Auto Crop Type = Content Crop\n"
            "   C_AUTO_ORIENTATION (quality (full page) algorithm)\n"
            "   C_AUTO_ORIENTATION language = Simp Chinese\n"
            "   C_BW_THRESHOLD_AUTO\n"
            "   C_EDGE_ERASE (auto-orient is ON)\n"
            "      Top Edge Erase (1/10 in) = 4\n"
            "      Fill Color = Page Color\n"
            "   C_AUTO_EXPOSURE\n"
            "   C_AUTO_EXCLUSION_AREAS\n"
            "      Top Exclusion (1/10 in) = 1\n"
            "      Bottom Exclusion (1/10 in) = 2\n"
            "      Left Exclusion (1/10 in) = 3\n"
            "      Right Exclusion (1/10 in) = 4\n"
            "\n"
            "Bits Per Channel = 8\n"
            "X Resolution = 300\n"
            "Y Resolution = 600\n"
            "Grey Channel = Grey CCD Emulation\n"
            "Scan Method = XPA Negative\n"
            "Right Edge Feed\n");
}

TEST(RecordDumps, ParametersEdgeEraseWithoutAutoOrientationAndUnknownValues) {
  SCANNER_PARAMETERS p = PlainParameters();
  p.dwScanMode = C_SCANMODE_ACD_COLOR;
  p.byACDsensitivity = 7;
  p.byACDmapping = 7;  // no two-way mapping 7
  p.dwScanOptions = C_EDGE_ERASE | C_CONTENT_TYPE | C_AUTO_CROP | 0x40;  // 0x40 has no name
  p.byContentType = 9;
  p.byAutoCropType = 0;
  p.byEdgeEraseTop = 1;
  p.byEdgeEraseBottom = 2;
  p.byEdgeEraseLeft = 3;
  p.byEdgeEraseRight = 4;
  p.byFillColor = 3;
  p.wGreyChannel = 0x3;
  p.wScanMethod = 4;
  p.wFeedEdge = 0x1F;
  EXPECT_EQ(Text(p, WriteScannerParameters),
            " << SCANNER PARAMETERS >>> \n"
            "PixelLeft = 10\n"
            "PixelTop = 20\n"
            "PixelWidth = 2550\n"
            "PixelLength = 3300\n"
            "PageWidth = 2550\n"
            "PageHeight = 3508\n"
            "Scan Mode = ACD_COLOR (ACD sensitivity = 7, Mapping =  unknown mapping value 7)\n"
            "Scan Options =    C_CONTENT_TYPE (byContentType = unknown type 9\n"
            "   C_AUTO_CROP (Auto Crop Type = unknown type 0\n"
            "   C_EDGE_ERASE (auto-orient is OFF)\n"
            "      Top Edge Erase (1/10 in) = 1\n"
            "      Bottom Edge Erase (1/10 in) = 2\n"
            "      Left Edge Erase (1/10 in) = 3\n"
            "      Right Edge Erase (1/10 in) = 4\n"
            "      Fill Color = undefined: 3\n"
            "\n"
            "Bits Per Channel = 8\n"
            "X Resolution = 300\n"
            "Y Resolution = 600\n"
            "Grey Channel = unknown type: 0x3\n"
            "Scan Method = unknown type: 0x4\n"
            "unknown type: 0x1f\n");
}

TEST(RecordDumps, ParametersModesAndMappings) {
  SCANNER_PARAMETERS p = PlainParameters();
  auto modeLine = [&p]() {
    const std::string text = Text(p, WriteScannerParameters);
    const size_t start = text.find("Scan Mode = ");
    return text.substr(start, text.find('\n', start) - start);
  };
  p.dwScanMode = C_SCANMODE_COLOR_S3L_RAW;
  EXPECT_EQ(modeLine(), "Scan Mode = COLOR_S3L_RAW");
  p.dwScanMode = 0x80;
  EXPECT_EQ(modeLine(), "Scan Mode = unknown type: 0x80");
  p.dwScanMode = C_SCANMODE_ACD_COLOR;
  p.byACDmapping = 6;
  EXPECT_EQ(modeLine(), "Scan Mode = ACD_COLOR (ACD sensitivity = 0, Mapping =  C_CG: Color->Color, NonColor->Greyscale)");
  p.byACDmapping = 10;
  EXPECT_EQ(modeLine(), "Scan Mode = ACD_COLOR (ACD sensitivity = 0, Mapping =  C_HB: Color->Halftone, NonColor->B/W)");
  p.dwScanMode = C_SCANMODE_ACD_CGB;
  p.byACDmapping = 1;
  EXPECT_EQ(modeLine(), "Scan Mode = ACD_CGB (ACD sensitivity = 0, ACD sensitivity BW = 0, Mapping =  "
                        "C_CBB: Color->Color, Greyscale->B/W, Binary->B/W)");
  p.byACDmapping = 18;
  EXPECT_EQ(modeLine(), "Scan Mode = ACD_CGB (ACD sensitivity = 0, ACD sensitivity BW = 0, Mapping =  "
                        "unknown mapping value 18)");
}

SCANNER_CAPABILITIES PlainCapabilities() {
  SCANNER_CAPABILITIES c;
  std::memset(&c, 0, sizeof c);
  std::memcpy(c.byModelNumber, "CX-4200", 7);
  c.wLampWarmupTime = 0;
  c.wOpticalResolution = 1200;
  c.wMaximumXResolution = 1200;
  c.wMaximumYResolution = 2400;
  c.wMinimumResolution = 75;
  c.dwMaximumWidth = 8500;
  c.dwMinimumWidth = 100;
  c.dwMaximumHeight = 11700;
  c.dwMinimumHeight = 100;
  c.wRawPixelOrder = C_PIXEL_ORDER_RGB;
  c.wPixelPacking = 1;
  c.dwScanModesSupported = C_SCANMODE_COLOR | C_SCANMODE_GREYSCALE | C_SCANMODE_BW;
  c.dwScanOptionsSupported = C_PREVIEW | C_PIXELCOORDINATES | C_QUALITY;
  c.wGreyChannelsSupported = C_GREY_GREEN | C_GREY_RED;
  c.wGammaTableSize = 256;
  c.byColorBitsPerChannel[0] = 8;
  c.byColorBitsPerChannel[1] = 24;
  c.byGreyBitsPerChannel[0] = 8;
  c.dwGammaEntriesPerChannel = 256;
  c.dwGammaMaxEntryValue = 255;
  c.dwGammaBytesPerEntry = 1;
  return c;
}

TEST(RecordDumps, CapabilitiesPlain) {
  EXPECT_EQ(Text(PlainCapabilities(), WriteScannerCapabilities),
            " <<< SCANNER CAPABILITIES >>> \n"
            "ModelNumber = CX-4200\n"
            "Lamp Warmup Time = 0\n"
            "OpticalResolution = 1200\n"
            "Maximum X Resolution = 1200\n"
            "Maximum Y Resolution = 2400\n"
            "Minimum Resolution = 75\n"
            "Maximum Width = 8500\n"
            "Minimum Width = 100\n"
            "Maximum Height = 11700\n"
            "Minimum Height = 100\n"
            "Pixel Order = RGB\n"
            "Pixel Packing = PACKED\n"
            "Scan Modes Supported = COLOR | GREYSCALE | BW \n"
            "Scan Options Supported = C_PREVIEW | C_QUALITY | C_PIXELCOORDINATES \n"
            "Grey Channels Supported = GREEN | RED \n"
            "Scanner Paper Path = Flatbed\n"
            "Gamma Table Size (obsolete)= 256\n"
            "Supported Color Bits per pixel = 8, 24, \n"
            "Supported Grey Bits per pixel = 8, \n"
            "Gamma Entries Per Channel = 256\n"
            "Gamma Maximum Entry Value = 255\n"
            "Gamma Bytes Per Entry = 1\n");
}

TEST(RecordDumps, CapabilitiesWithEveryFeature) {
  SCANNER_CAPABILITIES c = PlainCapabilities();
  std::memcpy(c.byModelNumber, "ABCDEFGHIJKLMNOP", 16);  // all 16 bytes, no terminator
  c.wRawPixelOrder = 9;
  c.wPixelPacking = 2;
  c.dwScanModesSupported = 0x7F;
  c.dwScanOptionsSupported = 0x07FFFFBFu;
  c.wGreyChannelsSupported = 0x3F;
  c.wPaperPath = 1;
  for (int i = 0; i < 8; ++i) c.byColorBitsPerChannel[i] = static_cast<BYTE>(i + 1);
  c.wMaxGreyCCDResolution = 600;
  c.dwMaxRotationBytes = 123456;
  c.byCanSharpen = 1;
  c.byCanSmooth = 0;
  c.cSharpSmoothDefault = -2;
  c.byNoiseRemovalDefault = 3;
  c.byBlankPageSensitivityLevels = 10;
  c.byACDsensitivityLevels = 5;
  c.byACDsensitivityLevelsBW = 6;
  c.bySupportedFillColors = 0x7;
  c.bySupportedAutoCropTypes = 0x3;
  c.dwAutoOrientSupportedLanguages = 0x7F;
  EXPECT_EQ(Text(c, WriteScannerCapabilities),
            " <<< SCANNER CAPABILITIES >>> \n"
            "ModelNumber = ABCDEFGHIJKLMNOP\n"
            "Lamp Warmup Time = 0\n"
            "OpticalResolution = 1200\n"
            "Maximum X Resolution = 1200\n"
            "Maximum Y Resolution = 2400\n"
            "Minimum Resolution = 75\n"
            "Maximum Width = 8500\n"
            "Minimum Width = 100\n"
            "Maximum Height = 11700\n"
            "Minimum Height = 100\n"
            "Pixel Order = Unknown Type: 9\n"
            "Pixel Packing = PLANAR\n"
            "Scan Modes Supported = COLOR | GREYSCALE | BW | COLOR_S3L | COLOR_S3L_RAW "
            "| AutoDetect Color vs NonColor | AutoDetect Color/Greyscale/Binary\n"
            "Scan Options Supported = C_PREVIEW | C_QUALITY | C_PIXELCOORDINATES | C_BW_DITHER | C_IR "
            "| C_DEWARP | C_HW_ROTATE_90 (HW does rotation 90 degrees CW) "
            "| C_HW_ROTATE_270 (HW does rotation 270 degrees CW) "
            "| C_HW_ROTATE_UPRIGHT (HW does upright rotation automatically) | C_BW_THRESHOLD "
            "| C_TONEMAP_PARAMETERS | C_NOISE_REMOVAL | C_SHARPSMOOTH | C_CONTENT_TYPE "
            "| C_PAGECOORDINATES | C_DESCREEN | C_BLANK_PAGE_DETECT | C_BW_DITHER_BAYER "
            "| C_BW_DITHER_ERROR_DIFFUSION | C_AUTO_DESKEW | C_AUTO_CROP | C_AUTO_ORIENTATION "
            "| C_BW_THRESHOLD_AUTO | C_EDGE_ERASE | C_AUTO_EXPOSURE | C_AUTO_EXCLUSION_AREAS \n"
            "Grey Channels Supported = GREEN | RED | BLUE | NTSC Grey | Grey CCD | Grey CCD Emulation\n"
            "Scanner Paper Path = Scroll\n"
            "Gamma Table Size (obsolete)= 256\n"
            "Supported Color Bits per pixel = 1, 2, 3, 4, 5, 6, 7, 8, \n"
            "Supported Grey Bits per pixel = 8, \n"
            "Gamma Entries Per Channel = 256\n"
            "Gamma Maximum Entry Value = 255\n"
            "Gamma Bytes Per Entry = 1\n"
            "Maximum optical Grey CCD resolution = 600\n"
            "Max flatbed HW rotation bytes = 123456\n"
            "Can Sharpen = TRUE\n"
            "Can Smooth = FALSE\n"
            "Sharp/Smooth default = -2\n"
            "Noise Removal default = 3\n"
            "Blank page sensitivity levels = 10\n"
            "AutoColor Detect sensitivity levels = 5\n"
            "AutoColor Detect sensitivity levels BW = 6\n"
            "Supported Fill Colors = BLACK | WHITE | PAGE COLOR\n"
            "Supported Auto Crop Types = Page Crop | Content Crop\n"
            "\n"
            "Supported Auto Orient Languages = Latin| Greek| RUSSIAN| JAPANESE| Simp Chinese| Korean| Trad Chinese\n");
}

TEST(RecordDumps, BitDepthListStopsAtItsFirstZero) {
  SCANNER_CAPABILITIES c = PlainCapabilities();
  c.byColorBitsPerChannel[2] = 0;
  c.byColorBitsPerChannel[3] = 48;  // after the terminator: not shown
  const std::string text = Text(c, WriteScannerCapabilities);
  EXPECT_NE(text.find("Supported Color Bits per pixel = 8, 24, \n"), std::string::npos) << text;
}

// ---- As log entries -----------------------------------------------------------------------

TEST_F(LogTest, EachRecordDumpIsOneUnindentedEntry) {
  EnableLog("DumpLog", 0x1000001Au);
  CLog2 log(std::string("DumpLog"));
  BUFFER_INFO info{};
  info.dwPixelWidth = 1;
  info.dwPixelHeight = 2;
  info.dwBytesPerLine = 3;
  {
    // Dumps are written without indentation, even inside a scope.
    CHRESULT2 scope(&log, "Dumper::Run");
    DumpBufferInfo(&log, info, 0);
    DumpScannerParameters(&log, PlainParameters(), 0);
    DumpScannerCapabilities(&log, PlainCapabilities(), 0);
  }
  const std::vector<std::string> messages = MessagesOf(PathOf("cavix.log"));
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[0], "+++Dumper::Run: ");
  EXPECT_EQ(messages[1] + "\n", Text(info, WriteBufferInfo));
  EXPECT_EQ(messages[2] + "\n", Text(PlainParameters(), WriteScannerParameters));
  EXPECT_EQ(messages[3] + "\n", Text(PlainCapabilities(), WriteScannerCapabilities));
  EXPECT_EQ(messages[4].rfind("---Dumper::Run: hr=0x0, Elapsed: ", 0), 0u);
}

TEST_F(LogTest, DumpsNeedTheDumpCategory) {
  EnableLog("NoDumpLog", 0x9000000Au);  // information and errors of 0x2 and 0x8, no 0x10
  CLog2 log(std::string("NoDumpLog"));
  DumpBufferInfo(&log, BUFFER_INFO{}, 0);
  DumpScannerParameters(&log, PlainParameters(), 0);
  DumpScannerCapabilities(&log, PlainCapabilities(), 0);
  DumpBufferInfo(nullptr, BUFFER_INFO{}, 0);
  EXPECT_TRUE(MessagesOf(PathOf("cavix.log")).empty());
}

// The shape of the service's generated ticket class, element for element.
namespace mirror {
enum FormatCode { jfif = 0, zkraw = 1 };
enum SourceCode { ADF = 0, Platen = 1 };
enum ContentCode { Auto = 0, Text = 1, Photo = 2, Mixed = 3 };
enum ColorEntry { BlackAndWhite1 = 0, Grayscale8 = 1, RGB24 = 2 };
struct DimensionsType { int Width, Height; };
struct InputSizeType { DimensionsType InputMediaSize; bool DocumentSizeAutoDetect; };
struct ExposureSettingsType { int Contrast; };
struct ExposureType { bool AutoExposure; ExposureSettingsType ExposureSettings; };
struct RegionType { int ScanRegionXOffset, ScanRegionYOffset, ScanRegionWidth, ScanRegionHeight; };
struct ResolutionType { int Width, Height; };
struct MediaSideType { RegionType ScanRegion; ColorEntry ColorProcessing; ResolutionType Resolution; };
struct MediaSidesType { MediaSideType MediaFront; };
struct JobType { char* JobName; char* JobOriginatingUserName; char* JobInformation; };
struct DocumentParametersType {
  FormatCode Format;
  int CompressionQualityFactor;
  int ImagesToTransfer;
  SourceCode InputSource;
  ContentCode ContentType;
  InputSizeType InputSize;
  ExposureType Exposure;
  MediaSidesType MediaSides;
};
struct Ticket {
  JobType JobDescription;
  DocumentParametersType DocumentParameters;
  unsigned RetrieveImageTimeout;
};
}  // namespace mirror

TEST_F(LogTest, ScanTicketOfTheGeneratedShapeLabelsEachElement) {
  EnableLog("GeneratedTicketLog", 0x1000000Au);
  CLog2 log(std::string("GeneratedTicketLog"));
  char name[] = "Job 7", info[] = "page 1";
  mirror::Ticket t{};
  t.JobDescription = {name, nullptr, info};  // optional texts are null when absent
  t.DocumentParameters.Format = mirror::zkraw;
  t.DocumentParameters.CompressionQualityFactor = 2;
  t.DocumentParameters.ImagesToTransfer = 3;
  t.DocumentParameters.InputSource = mirror::Platen;
  t.DocumentParameters.ContentType = mirror::Photo;
  t.DocumentParameters.InputSize = {{6, 7}, true};
  t.DocumentParameters.Exposure = {false, {9}};
  t.DocumentParameters.MediaSides.MediaFront = {{14, 15, 16, 17}, mirror::RGB24, {12, 13}};
  DumpScanTicket(&log, t);
  DumpScanTicket(nullptr, t);
  EXPECT_EQ(MessagesOf(PathOf("cavix.log")),
            (std::vector<std::string>{
                "JobDescription.JobName = Job 7",
                "JobDescription.JobOriginatingUserName = (null)",
                "JobDescription.JobInformation = page 1",
                "DocumentParameters.Format = 1",
                "DocumentParameters.CompressionQualityFactor = 2",
                "DocumentParameters.ImagesToTransfer = 3",
                "DocumentParameters.InputSource = 1",
                "DocumentParameters.ContentType = 2",
                "DocumentParameters.InputSize.InputMediaSize.Width = 6",
                "DocumentParameters.InputSize.InputMediaSize.Height = 7",
                "DocumentParameters.InputSize.DocumentSizeAutoDetect = 1",
                "DocumentParameters.Exposure.AutoExposure = 0",
                "DocumentParameters.Exposure.ExposureSettings.Contrast = 9",
                "DocumentParameters.MediaSides.MediaFront.ColorProcessing = 2",
                "DocumentParameters.MediaSides.MediaFront.Resolution.Width = 12",
                "DocumentParameters.MediaSides.MediaFront.Resolution.Height = 13",
                "DocumentParameters.MediaSides.MediaFront.ScanRegion.ScanRegionXOffset = 14",
                "DocumentParameters.MediaSides.MediaFront.ScanRegion.ScanRegionYOffset = 15",
                "DocumentParameters.MediaSides.MediaFront.ScanRegion.ScanRegionWidth = 16",
                "DocumentParameters.MediaSides.MediaFront.ScanRegion.ScanRegionHeight = 17",
            }));
}

}  // namespace
