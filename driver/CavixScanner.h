// The Cavix scanner-driver interfaces, their records and coded values. The record layouts are a
// binary contract with hosts: every offset, width and reserved field is checked below.
// Public header: standard library only.
#ifndef CAVIX_DRIVER_CAVIXSCANNER_H
#define CAVIX_DRIVER_CAVIXSCANNER_H

#include <cstddef>
#include <cstdint>

#include "CavixCom.h"
#include "CavixErrors.h"

// ---- Class and interface identifiers --------------------------------------------------------
constexpr GUID CLSID_CavixScanner = {0x1422B44C, 0xCBF9, 0x440D, {0xA2, 0x86, 0x44, 0xAD, 0x4F, 0x87, 0xBF, 0x5F}};
constexpr GUID LIBID_CavixDriver = {0x067EDDD0, 0xBCE7, 0x404B, {0x9B, 0x9E, 0x3D, 0x7B, 0xA0, 0x33, 0xDB, 0x20}};
constexpr GUID IID_IScanner = {0x35602808, 0x3695, 0x41C2, {0xAE, 0x0F, 0x72, 0xB4, 0xA8, 0x97, 0xE7, 0xB6}};
constexpr GUID IID_IADF = {0x9EF41A8D, 0x1C35, 0x461F, {0xAE, 0xF4, 0x3B, 0xEB, 0x37, 0xF0, 0x34, 0xB0}};
constexpr GUID IID_IADF2 = {0xBBDC924E, 0xA420, 0x48E1, {0x8B, 0x6D, 0x15, 0xC2, 0xC0, 0x69, 0x83, 0xDB}};
constexpr GUID IID_ILog = {0xC47EA89E, 0x79C6, 0x472C, {0x82, 0xA9, 0x5B, 0x88, 0x78, 0xE5, 0xDC, 0xF3}};
constexpr GUID IID_IEventNotify = {0x066C4763, 0xE49B, 0x4619, {0x83, 0x85, 0x90, 0x1B, 0xAD, 0xAD, 0x50, 0x27}};
constexpr GUID IID_IEventCallback = {0x4001350D, 0x955D, 0x493E, {0xA4, 0x29, 0x9B, 0xC6, 0x33, 0x65, 0xCF, 0x30}};
constexpr GUID IID_IMFG = {0xAE418F0C, 0xBF7E, 0x431E, {0xB5, 0x66, 0x41, 0x86, 0x5A, 0xC7, 0x1C, 0x37}};

constexpr const char* CAVIX_PROGID = "CAVIXDriver.scanner.1";
constexpr const char* CAVIX_VERSION_INDEPENDENT_PROGID = "CAVIXDriver.scanner";
constexpr const char* CAVIX_CLASS_DESCRIPTION = "scanner Class";

// ---- Records ------------------------------------------------------------------------------
struct TONEMAP_PARAMETERS {
  WORD wGamma;  // gamma x 1000
  BYTE byBrightness;
  BYTE byContrast;
  WORD wHighlight;
  WORD wShadow;
};

struct SCANNER_CAPABILITIES {
  BYTE byModelNumber[16];
  WORD wLampWarmupTime;
  WORD wOpticalResolution;
  WORD wMaximumXResolution;
  WORD wMaximumYResolution;
  WORD wMinimumResolution;
  DWORD dwMaximumWidth;
  DWORD dwMinimumWidth;
  DWORD dwMaximumHeight;
  DWORD dwMinimumHeight;
  WORD wRawPixelOrder;
  WORD wPixelPacking;
  DWORD dwScanModesSupported;
  DWORD dwScanOptionsSupported;
  WORD wGreyChannelsSupported;
  WORD wPaperPath;
  WORD wGammaTableSize;
  BYTE byColorBitsPerChannel[8];
  BYTE byGreyBitsPerChannel[8];
  DWORD dwGammaEntriesPerChannel;
  DWORD dwGammaMaxEntryValue;
  WORD dwGammaBytesPerEntry;  // 16-bit despite its prefix
  WORD wMaxGreyCCDResolution;
  DWORD dwMaxRotationBytes;
  BYTE byCanSharpen;
  BYTE byCanSmooth;
  int8_t cSharpSmoothDefault;
  BYTE byNoiseRemovalDefault;
  BYTE byBlankPageSensitivityLevels;
  BYTE byACDsensitivityLevels;
  BYTE bySupportedFillColors;
  BYTE bySupportedAutoCropTypes;
  BYTE byACDsensitivityLevelsBW;
  WORD wFiller;
  DWORD dwAutoOrientSupportedLanguages;
  WORD wReserved[6];
};

struct SCANNER_PARAMETERS {
  DWORD dwLeft;
  DWORD dwTop;
  DWORD dwWidth;
  DWORD dwLength;
  DWORD dwScanMode;
  DWORD dwScanOptions;
  BYTE byBitsPerChannel;
  BYTE byEdgeEraseTop;
  WORD wXResolution;
  WORD wYResolution;
  WORD wGreyChannel;
  WORD wScanMethod;
  DWORD dwBWThreshold;
  WORD wFeedEdge;
  TONEMAP_PARAMETERS tonemap;
  int8_t cSharpSmoothLevel;
  BYTE byNoiseRemovalLevel;
  BYTE byContentType;
  BYTE byBlankPageSensitivity;
  BYTE byEdgeEraseBottom;
  BYTE byFillColor;
  DWORD dwPageWidth;
  DWORD dwPageHeight;
  BYTE byAutoCropType;
  BYTE byACDmapping;
  BYTE byACDsensitivity;
  BYTE byEdgeEraseLeft;
  BYTE byEdgeEraseRight;
  BYTE byAutoOrientQualityMode;
  BYTE byACDsensitivityBW;
  BYTE byAutoOrientLanguage;
  BYTE byAutoXclusionTop;
  BYTE byAutoXclusionLeft;
  BYTE byAutoXclusionRight;
  BYTE byAutoXclusionBottom;
  WORD wReserved[4];
};

struct BUFFER_INFO {
  DWORD dwPixelWidth;
  DWORD dwPixelHeight;
  DWORD dwBytesPerLine;
  DWORD dwReserved[10];
};

struct ADF_CAPABILITIES {
  BYTE byHasADF;
  BYTE byModelNumber[16];
  WORD wADFType;
  WORD wOpticalResolution;
  WORD wMaximumXResolution;
  WORD wMaximumYResolution;
  WORD wMinimumResolution;
  DWORD dwMaximumWidth;
  DWORD dwMinimumWidth;
  DWORD dwMaximumHeight;
  DWORD dwMinimumHeight;
  DWORD dwScanModesSupported;
  DWORD dwScanOptionsSupported;
  WORD wGreyChannelsSupported;
  WORD wGammaTableSize;
  BYTE byColorBitsPerChannel[8];
  BYTE byGreyBitsPerChannel[8];
  DWORD dwGammaEntriesPerChannel;
  DWORD dwGammaMaxEntryValue;
  WORD dwGammaBytesPerEntry;
  WORD wMaxGreyCCDResolution;
  BYTE byCanSharpen;
  BYTE byCanSmooth;
  int8_t cSharpSmoothDefault;
  BYTE byNoiseRemovalDefault;
  BYTE byBlankPageSensitivityLevels;
  BYTE byACDsensitivityLevels;
  BYTE bySupportedFillColors;
  BYTE bySupportedAutoCropTypes;
  BYTE byACDsensitivityLevelsBW;
  WORD wReserved1;
  DWORD dwAutoOrientSupportedLanguages;
  WORD wReserved[8];
};

struct ADF2_CAPABILITIES {
  BYTE byHasADF;
  BYTE byModelNumber[16];
  WORD wADFType;
  BYTE byADFCanDetectEndOfPage;
  BYTE byADFFeedCanDetectLengthOfPage;
  DWORD dwADFOptionsSupported;
  WORD wOpticalResolution;
  WORD wMaximumXResolution;
  WORD wMaximumYResolution;
  WORD wMinimumResolution;
  DWORD dwMaximumWidth;
  DWORD dwMinimumWidth;
  DWORD dwMaximumHeight;
  DWORD dwMinimumHeight;
  DWORD dwDuplexMaximumWidth;
  DWORD dwDuplexMinimumWidth;
  DWORD dwDuplexMaximumHeight;
  DWORD dwDuplexMinimumHeight;
  DWORD dwScanModesSupported;
  DWORD dwScanOptionsSupported;
  WORD wGreyChannelsSupported;
  BYTE byColorBitsPerChannel[8];
  BYTE byGreyBitsPerChannel[8];
  DWORD dwGammaEntriesPerChannel;
  DWORD dwGammaMaxEntryValue;
  WORD dwGammaBytesPerEntry;
  WORD wMaxGreyCCDResolution;
  DWORD dwLongPageMaximumHeight;
  DWORD dwDuplexLongPageMaximumHeight;
  DWORD dwOverscanYDelta;
  BYTE byCanSharpen;
  BYTE byCanSmooth;
  int8_t cSharpSmoothDefault;
  BYTE byNoiseRemovalDefault;
  BYTE byBlankPageSensitivityLevels;
  BYTE byACDsensitivityLevels;
  BYTE bySupportedFillColors;
  BYTE bySupportedAutoCropTypes;
  BYTE byACDsensitivityLevelsBW;
  BYTE byReserved1;
  WORD wMaxELPResolution;
  DWORD dwELPMaximumHeight;
  DWORD dwDuplexELPMaximumHeight;
  DWORD dwAutoOrientSupportedLanguages;
  WORD wReserved[22];
};

struct EVENT_CAPABILITIES {
  DWORD dwAppEventsSupported;
  DWORD dwDriverEventsSupported;
  DWORD dwReserved[10];
};

#define CAVIX_CHECK_FIELD(T, f, off) static_assert(offsetof(T, f) == (off), #T "." #f " offset")

static_assert(sizeof(TONEMAP_PARAMETERS) == 8 && alignof(TONEMAP_PARAMETERS) == 2, "TONEMAP_PARAMETERS");
CAVIX_CHECK_FIELD(TONEMAP_PARAMETERS, wGamma, 0);
CAVIX_CHECK_FIELD(TONEMAP_PARAMETERS, byBrightness, 2);
CAVIX_CHECK_FIELD(TONEMAP_PARAMETERS, byContrast, 3);
CAVIX_CHECK_FIELD(TONEMAP_PARAMETERS, wHighlight, 4);
CAVIX_CHECK_FIELD(TONEMAP_PARAMETERS, wShadow, 6);

static_assert(sizeof(SCANNER_CAPABILITIES) == 124, "SCANNER_CAPABILITIES size");
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, byModelNumber, 0);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, wLampWarmupTime, 16);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, wOpticalResolution, 18);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, wMaximumXResolution, 20);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, wMaximumYResolution, 22);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, wMinimumResolution, 24);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, dwMaximumWidth, 28);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, dwMinimumWidth, 32);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, dwMaximumHeight, 36);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, dwMinimumHeight, 40);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, wRawPixelOrder, 44);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, wPixelPacking, 46);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, dwScanModesSupported, 48);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, dwScanOptionsSupported, 52);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, wGreyChannelsSupported, 56);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, wPaperPath, 58);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, wGammaTableSize, 60);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, byColorBitsPerChannel, 62);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, byGreyBitsPerChannel, 70);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, dwGammaEntriesPerChannel, 80);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, dwGammaMaxEntryValue, 84);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, dwGammaBytesPerEntry, 88);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, wMaxGreyCCDResolution, 90);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, dwMaxRotationBytes, 92);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, byCanSharpen, 96);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, byCanSmooth, 97);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, cSharpSmoothDefault, 98);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, byNoiseRemovalDefault, 99);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, byBlankPageSensitivityLevels, 100);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, byACDsensitivityLevels, 101);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, bySupportedFillColors, 102);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, bySupportedAutoCropTypes, 103);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, byACDsensitivityLevelsBW, 104);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, wFiller, 106);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, dwAutoOrientSupportedLanguages, 108);
CAVIX_CHECK_FIELD(SCANNER_CAPABILITIES, wReserved, 112);

static_assert(sizeof(SCANNER_PARAMETERS) == 84, "SCANNER_PARAMETERS size");
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, dwLeft, 0);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, dwTop, 4);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, dwWidth, 8);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, dwLength, 12);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, dwScanMode, 16);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, dwScanOptions, 20);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byBitsPerChannel, 24);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byEdgeEraseTop, 25);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, wXResolution, 26);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, wYResolution, 28);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, wGreyChannel, 30);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, wScanMethod, 32);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, dwBWThreshold, 36);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, wFeedEdge, 40);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, tonemap, 42);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, cSharpSmoothLevel, 50);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byNoiseRemovalLevel, 51);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byContentType, 52);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byBlankPageSensitivity, 53);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byEdgeEraseBottom, 54);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byFillColor, 55);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, dwPageWidth, 56);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, dwPageHeight, 60);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byAutoCropType, 64);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byACDmapping, 65);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byACDsensitivity, 66);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byEdgeEraseLeft, 67);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byEdgeEraseRight, 68);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byAutoOrientQualityMode, 69);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byACDsensitivityBW, 70);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byAutoOrientLanguage, 71);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byAutoXclusionTop, 72);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byAutoXclusionLeft, 73);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byAutoXclusionRight, 74);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, byAutoXclusionBottom, 75);
CAVIX_CHECK_FIELD(SCANNER_PARAMETERS, wReserved, 76);

static_assert(sizeof(BUFFER_INFO) == 52, "BUFFER_INFO size");
CAVIX_CHECK_FIELD(BUFFER_INFO, dwPixelWidth, 0);
CAVIX_CHECK_FIELD(BUFFER_INFO, dwPixelHeight, 4);
CAVIX_CHECK_FIELD(BUFFER_INFO, dwBytesPerLine, 8);
CAVIX_CHECK_FIELD(BUFFER_INFO, dwReserved, 12);

static_assert(sizeof(ADF_CAPABILITIES) == 116, "ADF_CAPABILITIES size");
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, byHasADF, 0);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, byModelNumber, 1);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, wADFType, 18);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, wOpticalResolution, 20);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, wMaximumXResolution, 22);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, wMaximumYResolution, 24);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, wMinimumResolution, 26);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, dwMaximumWidth, 28);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, dwMinimumWidth, 32);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, dwMaximumHeight, 36);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, dwMinimumHeight, 40);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, dwScanModesSupported, 44);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, dwScanOptionsSupported, 48);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, wGreyChannelsSupported, 52);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, wGammaTableSize, 54);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, byColorBitsPerChannel, 56);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, byGreyBitsPerChannel, 64);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, dwGammaEntriesPerChannel, 72);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, dwGammaMaxEntryValue, 76);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, dwGammaBytesPerEntry, 80);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, wMaxGreyCCDResolution, 82);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, byCanSharpen, 84);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, byCanSmooth, 85);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, cSharpSmoothDefault, 86);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, byNoiseRemovalDefault, 87);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, byBlankPageSensitivityLevels, 88);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, byACDsensitivityLevels, 89);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, bySupportedFillColors, 90);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, bySupportedAutoCropTypes, 91);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, byACDsensitivityLevelsBW, 92);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, wReserved1, 94);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, dwAutoOrientSupportedLanguages, 96);
CAVIX_CHECK_FIELD(ADF_CAPABILITIES, wReserved, 100);

static_assert(sizeof(ADF2_CAPABILITIES) == 188, "ADF2_CAPABILITIES size");
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, byHasADF, 0);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, byModelNumber, 1);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, wADFType, 18);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, byADFCanDetectEndOfPage, 20);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, byADFFeedCanDetectLengthOfPage, 21);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwADFOptionsSupported, 24);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, wOpticalResolution, 28);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, wMaximumXResolution, 30);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, wMaximumYResolution, 32);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, wMinimumResolution, 34);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwMaximumWidth, 36);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwMinimumWidth, 40);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwMaximumHeight, 44);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwMinimumHeight, 48);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwDuplexMaximumWidth, 52);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwDuplexMinimumWidth, 56);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwDuplexMaximumHeight, 60);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwDuplexMinimumHeight, 64);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwScanModesSupported, 68);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwScanOptionsSupported, 72);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, wGreyChannelsSupported, 76);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, byColorBitsPerChannel, 78);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, byGreyBitsPerChannel, 86);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwGammaEntriesPerChannel, 96);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwGammaMaxEntryValue, 100);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwGammaBytesPerEntry, 104);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, wMaxGreyCCDResolution, 106);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwLongPageMaximumHeight, 108);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwDuplexLongPageMaximumHeight, 112);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwOverscanYDelta, 116);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, byCanSharpen, 120);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, byCanSmooth, 121);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, cSharpSmoothDefault, 122);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, byNoiseRemovalDefault, 123);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, byBlankPageSensitivityLevels, 124);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, byACDsensitivityLevels, 125);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, bySupportedFillColors, 126);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, bySupportedAutoCropTypes, 127);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, byACDsensitivityLevelsBW, 128);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, byReserved1, 129);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, wMaxELPResolution, 130);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwELPMaximumHeight, 132);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwDuplexELPMaximumHeight, 136);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, dwAutoOrientSupportedLanguages, 140);
CAVIX_CHECK_FIELD(ADF2_CAPABILITIES, wReserved, 144);

static_assert(sizeof(EVENT_CAPABILITIES) == 48, "EVENT_CAPABILITIES size");
CAVIX_CHECK_FIELD(EVENT_CAPABILITIES, dwAppEventsSupported, 0);
CAVIX_CHECK_FIELD(EVENT_CAPABILITIES, dwDriverEventsSupported, 4);
CAVIX_CHECK_FIELD(EVENT_CAPABILITIES, dwReserved, 8);

#undef CAVIX_CHECK_FIELD

// ---- Coded values -------------------------------------------------------------------------
enum CAVIX_EVENT : uint32_t {
  C_EVENT_SW_CANCEL = 0x1,
  C_EVENT_PERCENT_COMPLETE = 0x2,
  C_EVENT_SCAN = 0x4,
  C_EVENT_SCAN_S3L = 0x8,
  C_EVENT_SCAN_IR = 0x10,
  C_EVENT_CALIBRATION = 0x20,
  C_EVENT_LAMP_WARMUP = 0x40,
  C_EVENT_SW_PAUSE = 0x80,
};
static_assert(sizeof(CAVIX_EVENT) == 4, "CAVIX_EVENT is 32-bit");

// Scan modes (dwScanMode holds one, dwScanModesSupported a set).
constexpr DWORD C_SCANMODE_COLOR = 0x1;
constexpr DWORD C_SCANMODE_GREYSCALE = 0x2;
constexpr DWORD C_SCANMODE_BW = 0x4;
constexpr DWORD C_SCANMODE_COLOR_S3L = 0x8;
constexpr DWORD C_SCANMODE_COLOR_S3L_RAW = 0x10;
constexpr DWORD C_SCANMODE_ACD_COLOR = 0x20;
constexpr DWORD C_SCANMODE_ACD_CGB = 0x40;

// Scan options; bit 0x40 has no name.
constexpr DWORD C_PREVIEW = 0x1;
constexpr DWORD C_PIXELCOORDINATES = 0x2;
constexpr DWORD C_QUALITY = 0x4;
constexpr DWORD C_BW_DITHER = 0x8;
constexpr DWORD C_IR = 0x10;
constexpr DWORD C_DEWARP = 0x20;
constexpr DWORD C_HW_ROTATE_90 = 0x80;
constexpr DWORD C_HW_ROTATE_270 = 0x100;
constexpr DWORD C_BW_THRESHOLD = 0x200;
constexpr DWORD C_HW_ROTATE_UPRIGHT = 0x400;
constexpr DWORD C_TONEMAP_PARAMETERS = 0x800;
constexpr DWORD C_NOISE_REMOVAL = 0x1000;
constexpr DWORD C_SHARPSMOOTH = 0x2000;
constexpr DWORD C_CONTENT_TYPE = 0x4000;
constexpr DWORD C_PAGECOORDINATES = 0x8000;
constexpr DWORD C_DESCREEN = 0x10000;
constexpr DWORD C_BLANK_PAGE_DETECT = 0x20000;
constexpr DWORD C_BW_DITHER_BAYER = 0x40000;
constexpr DWORD C_BW_DITHER_ERROR_DIFFUSION = 0x80000;
constexpr DWORD C_AUTO_DESKEW = 0x100000;
constexpr DWORD C_AUTO_CROP = 0x200000;
constexpr DWORD C_AUTO_ORIENTATION = 0x400000;
constexpr DWORD C_BW_THRESHOLD_AUTO = 0x800000;
constexpr DWORD C_EDGE_ERASE = 0x1000000;
constexpr DWORD C_AUTO_EXPOSURE = 0x2000000;
constexpr DWORD C_AUTO_EXCLUSION_AREAS = 0x4000000;

// Content types.
constexpr BYTE C_CONTENT_ANY = 0;
constexpr BYTE C_CONTENT_PHOTO = 1;
constexpr BYTE C_CONTENT_DOCUMENT = 2;

// Grey channels.
constexpr WORD C_GREY_RED = 0x1;
constexpr WORD C_GREY_GREEN = 0x2;
constexpr WORD C_GREY_BLUE = 0x4;
constexpr WORD C_GREY_NTSC = 0x8;
constexpr WORD C_GREY_CCD = 0x10;
constexpr WORD C_GREY_CCD_EMULATION = 0x20;

// Pixel order.
constexpr WORD C_PIXEL_ORDER_RGB = 1;
constexpr WORD C_PIXEL_ORDER_BGR = 2;
constexpr WORD C_PIXEL_ORDER_RGBABC = 3;
constexpr WORD C_PIXEL_ORDER_BGRABC = 4;
constexpr WORD C_PIXEL_ORDER_RGB_CYBORG = 5;
constexpr WORD C_PIXEL_ORDER_BGR_CYBORG = 6;

// Scan methods (wScanMethod).
constexpr WORD C_SCANMETHOD_FLATBED = 0;
constexpr WORD C_SCANMETHOD_ADF = 1;
constexpr WORD C_SCANMETHOD_TMA_POSITIVE = 2;
constexpr WORD C_SCANMETHOD_TMA_NEGATIVE = 3;

// Fill colours, auto-crop types, auto-orientation languages.
constexpr BYTE C_FILL_BLACK = 0x1;
constexpr BYTE C_FILL_WHITE = 0x2;
constexpr BYTE C_FILL_PAGE_COLOR = 0x4;
constexpr BYTE C_AUTOCROP_PAGE = 0x1;
constexpr BYTE C_AUTOCROP_CONTENT = 0x2;
constexpr DWORD C_LANG_LATIN = 0x1;
constexpr DWORD C_LANG_GREEK = 0x2;
constexpr DWORD C_LANG_RUSSIAN = 0x4;
constexpr DWORD C_LANG_JAPANESE = 0x8;
constexpr DWORD C_LANG_SIMPLIFIED_CHINESE = 0x10;
constexpr DWORD C_LANG_KOREAN = 0x20;
constexpr DWORD C_LANG_TRADITIONAL_CHINESE = 0x40;

// I/O types of OpenScannerSession.
constexpr DWORD C_IOTYPE_USB = 1;
constexpr DWORD C_IOTYPE_NETWORK = 5;

// Manufacturing option: device image processing off, raw data.
constexpr DWORD C_MFG_RAW_DATA = 0x1000;

// Lock types of LockScanner.
constexpr WORD C_LOCK_PROCESS = 0;
constexpr WORD C_LOCK_THREAD = 1;

// ---- Interfaces (methods in type-library order) -------------------------------------------
struct IEventCallback : IUnknown {
  virtual HRESULT EventCallback(DWORD hSession, CAVIX_EVENT event, LONG lEventData, DWORD* pdwErrorCode) = 0;
};

struct ILog : IUnknown {
  virtual HRESULT LogString(DWORD dwFunctionAttribute, LPCWSTR pszString) = 0;
  virtual HRESULT IsEnabled(DWORD dwFunctionAttribute, BYTE* pbyEnabled) = 0;
};

struct IScanner : IUnknown {
  virtual HRESULT OpenScannerSession(LPCWSTR pszDevName, DWORD dwDevIOType, DWORD* phSession, DWORD* pdwErrorCode) = 0;
  virtual HRESULT CloseScannerSession(DWORD hSession, DWORD* pdwErrorCode) = 0;
  virtual HRESULT LockScanner(DWORD hSession, WORD wLockType, DWORD dwTimeout, DWORD* pdwErrorCode) = 0;
  virtual HRESULT UnlockScanner(DWORD hSession, DWORD* pdwErrorCode) = 0;
  virtual HRESULT GetLampStatus(DWORD hSession, BYTE* pbLampOn, DWORD* pdwErrorCode) = 0;
  virtual HRESULT LampOn(DWORD hSession, DWORD* pdwErrorCode) = 0;
  virtual HRESULT LampOff(DWORD hSession, DWORD* pdwErrorCode) = 0;
  virtual HRESULT GetScannerCapabilities(DWORD hSession, SCANNER_CAPABILITIES* pScannerCapabilities, DWORD* pdwErrorCode) = 0;
  virtual HRESULT GetBufferInfo(DWORD hSession, SCANNER_PARAMETERS* pScanParam, BUFFER_INFO* pBufferInfo, DWORD* pdwdErrorCode) = 0;
  virtual HRESULT InitializeScanner(DWORD hSession, DWORD* pdwErrorCode) = 0;
  virtual HRESULT ResetScanner(DWORD hSession, DWORD* pdwErrorCode) = 0;
  virtual HRESULT SetScannerParameters(DWORD hSession, SCANNER_PARAMETERS* pScanParam, DWORD* pdwErrorCode) = 0;
  virtual HRESULT SetGammaTable(DWORD hSession, UINT uSz, BYTE* pbyRed, BYTE* pbyGreen, BYTE* pbyBlue, DWORD* pdwErrorCode) = 0;
  virtual HRESULT StartScan(DWORD hSession, DWORD* pdwErrorCode) = 0;
  virtual HRESULT StopScan(DWORD hSession, DWORD* pdwErrorCode) = 0;
  virtual HRESULT ReadScan(DWORD hSession, BYTE* pbyBuffer, DWORD dwBytes, DWORD* pdwErrorCode) = 0;
  virtual HRESULT ReadScanEx(DWORD hSession, BYTE* pbyBuffer, DWORD dwBytes, DWORD* pdwBytesRead, DWORD* pdwErrorCode) = 0;
};

struct IADF : IUnknown {
  virtual HRESULT GetADFCapabilities(DWORD hSession, ADF_CAPABILITIES* pADFCapabilities, DWORD* pdwErrorCode) = 0;
  virtual HRESULT ADFPaperFeed(DWORD hSession, DWORD* pdwErrorCode) = 0;
  virtual HRESULT ADFIsReady(DWORD hSession, BYTE* pbIsReady, DWORD* pdwErrorCode) = 0;
};

struct IADF2 : IADF {
  virtual HRESULT GetADF2Capabilities(DWORD hSession, ADF2_CAPABILITIES* pADF2Capabilities, DWORD* pdwErrorCode) = 0;
  virtual HRESULT SetADFOptions(DWORD hSession, DWORD dwADFOptionsSelected, DWORD* pdwErrorCode) = 0;
  virtual HRESULT ADFEjectMedia(DWORD hSession, DWORD* pdwErrorCode) = 0;
  virtual HRESULT ADF2PaperFeed(DWORD hSession, DWORD* pdwLength, DWORD* pdwErrorCode) = 0;
};

struct IEventNotify : IUnknown {
  virtual HRESULT GetEventCapabilities(DWORD dwSession, EVENT_CAPABILITIES* pEventCaps, DWORD* pdwErrorCode) = 0;
  virtual HRESULT SendAppEvent(DWORD dwSession, CAVIX_EVENT event, DWORD* pdwErrorCode) = 0;
  virtual HRESULT SubscribeDriverEvents(DWORD dwSession, IEventCallback* pIEvent, DWORD events, DWORD* pdwErrorCode) = 0;
  virtual HRESULT UnsubscribeDriverEvents(DWORD dwSession, DWORD events, DWORD* pdwErrorCode) = 0;
};

struct IMFG : IUnknown {
  virtual HRESULT ReadContinuousScanLine(DWORD hSession, BYTE* pbyBuffer, DWORD dwBytes, DWORD* pdwErrorCode) = 0;
  virtual HRESULT SetMFGParameters(DWORD hSession, DWORD dwMfgOptions, DWORD* pdwErrorCode) = 0;
  virtual HRESULT GetMFGCapabilities(DWORD hSession, DWORD* pdwMfgCaps, DWORD* pdwErrorCode) = 0;
};

#endif
