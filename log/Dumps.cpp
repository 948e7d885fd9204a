#include "log/Dumps.h"

#include <cstring>
#include <ostream>
#include <string>

#include "log/CLog2.h"

namespace {

struct BitName {
  uint32_t bit;
  const char* name;
};

struct ValueName {
  uint32_t value;
  const char* name;
};

template <size_t N>
const char* NameOf(const ValueName (&table)[N], uint32_t value) {
  for (const ValueName& entry : table) {
    if (entry.value == value) return entry.name;
  }
  return nullptr;
}

// The name of `value`, or "unknown type: 0x" and the value in hexadecimal.
template <size_t N>
void WriteNamedOrHex(std::ostream& out, const ValueName (&table)[N], uint32_t value) {
  if (const char* name = NameOf(table, value)) {
    out << name;
  } else {
    out << "unknown type: 0x" << std::hex << value << std::dec;
  }
}

template <size_t N>
void WriteSetBits(std::ostream& out, const BitName (&table)[N], uint32_t bits) {
  for (const BitName& entry : table) {
    if (bits & entry.bit) out << entry.name;
  }
}

unsigned Num(uint8_t value) { return value; }
int Signed(int8_t value) { return value; }

// ---- Scanner parameters -------------------------------------------------------------------

const ValueName kScanModes[] = {
    {C_SCANMODE_COLOR, "COLOR"},
    {C_SCANMODE_GREYSCALE, "GREYSCALE"},
    {C_SCANMODE_BW, "BW"},
    {C_SCANMODE_COLOR_S3L, "COLOR_S3L"},
    {C_SCANMODE_COLOR_S3L_RAW, "COLOR_S3L_RAW"},
};

const ValueName kTwoWayMappings[] = {
    {1, "C_CB: Color->Color, NonColor->B/W)"},
    {2, "C_CH: Color->Color, NonColor->Halftone)"},
    {3, "C_GB: Color->Greyscale, NonColor->B/W)"},
    {4, "C_GH: Color->Greyscale, NonColor->Halftone)"},
    {5, "C_CG: Color->Greyscale, NonColor->Greyscale)"},
    {6, "C_CG: Color->Color, NonColor->Greyscale)"},
    {9, "C_CC: Color->Color, NonColor->Color)"},
    {10, "C_HB: Color->Halftone, NonColor->B/W)"},
};

const ValueName kThreeWayMappings[] = {
    {1, "C_CBB: Color->Color, Greyscale->B/W, Binary->B/W)"},
    {2, "C_CHB: Color->Color, Greyscale->Halftone, Binary->B/W)"},
    {3, "C_GBB: Color->Greyscale, Greyscale->B/W, Binary->B/W)"},
    {4, "C_GHB: Color->Greyscale, Greyscale->Halftone, Binary->B/W)"},
    {5, "C_GGG: Color->Greyscale, Greyscale->Greyscale, Binary->Greyscale)"},
    {6, "C_CGG: Color->Color, Greyscale->Greyscale, Binary->Greyscale)"},
    {7, "C_CGB: Color->Color, Greyscale->Greyscale, Binary->B/W)"},
    {8, "C_CCB: Color->Color, Greyscale->Color, Binary->B/W)"},
    {9, "C_CCC: Color->Color, Greyscale->Color, Binary->Color)"},
    {10, "C_HBB: Color->Halftone, Greyscale->B/W, Binary->B/W)"},
    {11, "C_CCG: Color->Color, Greyscale->Color, Binary->Greyscale)"},
    {12, "C_CHG: Color->Color, Greyscale->Halftone, Binary->Greyscale)"},
    {13, "C_GGB: Color->Greyscale, Greyscale->Greyscale, Binary->B/W)"},
    {14, "C_HHB: Color->Halftone, Greyscale->Halftone, Binary->B/W)"},
    {15, "C_GHG: Color->Greyscale, Greyscale->Halftone, Binary->Greyscale)"},
    {16, "C_HGG: Color->Haltfone, Greyscale->Greyscale, Binary->Greyscale)"},
    {17, "C_HHG: Color->Haltfone, Greyscale->Halftone, Binary->Greyscale)"},
};

template <size_t N>
void WriteMapping(std::ostream& out, const ValueName (&table)[N], uint8_t mapping) {
  if (const char* name = NameOf(table, mapping)) {
    out << name;
  } else {
    out << "unknown mapping value " << Num(mapping) << ")";
  }
}

// The options up to C_HW_ROTATE_UPRIGHT, each written after a line break.
const BitName kLeadingOptions[] = {
    {C_PREVIEW, "\n   C_PREVIEW"},
    {C_PIXELCOORDINATES, "\n   C_PIXELCOORDINATES"},
    {C_QUALITY, "\n   C_QUALITY"},
    {C_BW_DITHER, "\n   C_BW_DITHER"},
    {C_IR, "\n   C_IR"},
    {C_DEWARP, "\n   C_DEWARP"},
    {C_HW_ROTATE_90, "\n   C_HW_ROTATE_90 (HW does rotation 90 degrees CW)"},
    {C_HW_ROTATE_270, "\n   C_HW_ROTATE_270 (HW does rotation 270 degrees CW)"},
    {C_HW_ROTATE_UPRIGHT, "\n   C_HW_ROTATE_UPRIGHT (rotate upright automatically)"},
};

const ValueName kContentTypes[] = {
    {C_CONTENT_ANY, "C_CONTENT_ANY"},
    {C_CONTENT_PHOTO, "C_CONTENT_PHOTO"},
    {C_CONTENT_DOCUMENT, "C_CONTENT_DOCUMENT"},
};

const ValueName kAutoCropTypes[] = {
    {C_AUTOCROP_PAGE, "Page Crop"},
    {C_AUTOCROP_CONTENT, "Content Crop"},
};

const ValueName kLanguages[] = {
    {C_LANG_LATIN, "Latin"},
    {C_LANG_GREEK, "Greek"},
    {C_LANG_RUSSIAN, "Russian"},
    {C_LANG_JAPANESE, "Japanese"},
    {C_LANG_SIMPLIFIED_CHINESE, "Simp Chinese"},
    {C_LANG_KOREAN, "Korean"},
    {C_LANG_TRADITIONAL_CHINESE, "Trad Chinese"},
};

const ValueName kFillColors[] = {
    {C_FILL_BLACK, "Black"},
    {C_FILL_WHITE, "White"},
    {C_FILL_PAGE_COLOR, "Page Color"},
};

const ValueName kGreyChannels[] = {
    {C_GREY_RED, "RED "},
    {C_GREY_GREEN, "GREEN"},
    {C_GREY_BLUE, "BLUE "},
    {C_GREY_NTSC, "NTSC "},
    {C_GREY_CCD, "Grey CCD "},
    {C_GREY_CCD_EMULATION, "Grey CCD Emulation"},
};

const ValueName kScanMethods[] = {
    {C_SCANMETHOD_FLATBED, "Flatbed"},
    {C_SCANMETHOD_ADF, "ADF"},
    {C_SCANMETHOD_TMA_POSITIVE, "XPA Positive"},
    {C_SCANMETHOD_TMA_NEGATIVE, "XPA Negative"},
};

const ValueName kFeedEdges[] = {
    {0, "Top Edge Feed (default)"},
    {1, "Left Edge Feed"},
    {2, "Bottom Edge Feed"},
    {3, "Right Edge Feed"},
};

void WriteScanMode(std::ostream& out, const SCANNER_PARAMETERS& p) {
  out << "Scan Mode = ";
  if (p.dwScanMode == C_SCANMODE_ACD_COLOR) {
    out << "ACD_COLOR (ACD sensitivity = " << Num(p.byACDsensitivity) << ", Mapping =  ";
    WriteMapping(out, kTwoWayMappings, p.byACDmapping);
  } else if (p.dwScanMode == C_SCANMODE_ACD_CGB) {
    out << "ACD_CGB (ACD sensitivity = " << Num(p.byACDsensitivity) << ", "
        << "ACD sensitivity BW = " << Num(p.byACDsensitivityBW) << ", Mapping =  ";
    WriteMapping(out, kThreeWayMappings, p.byACDmapping);
  } else {
    WriteNamedOrHex(out, kScanModes, p.dwScanMode);
  }
  out << '\n';
}

// The options up to the tone map are each preceded by a line break, the later ones are each
// followed by one.
void WriteScanOptions(std::ostream& out, const SCANNER_PARAMETERS& p) {
  const DWORD options = p.dwScanOptions;
  out << "Scan Options = ";
  WriteSetBits(out, kLeadingOptions, options);
  if (options & C_BW_THRESHOLD) {
    out << "\n   C_BW_THRESHOLD (dwBWThreshold = " << p.dwBWThreshold << ")";
  }
  if (options & C_TONEMAP_PARAMETERS) {
    out << "\n   C_TONEMAP_PARAMETERS:\n"
        << "      wGamma = " << static_cast<double>(p.tonemap.wGamma) / 1000 << '\n'
        << "      byBrightness = " << Num(p.tonemap.byBrightness) << '\n'
        << "      byContrast = " << Num(p.tonemap.byContrast) << '\n'
        << "      wHighlight = " << p.tonemap.wHighlight << '\n'
        << "      wShadow = " << p.tonemap.wShadow << '\n';
  }
  if (options & C_NOISE_REMOVAL) {
    out << "   C_NOISE_REMOVAL (byNoizeRemovalLevel = " << Num(p.byNoiseRemovalLevel) << ")\n";
  }
  if (options & C_SHARPSMOOTH) {
    out << "   C_SHARPSMOOTH (cSharpSmoothLevel = " << Signed(p.cSharpSmoothLevel) << ")\n";
  }
  if (options & C_CONTENT_TYPE) {
    out << "   C_CONTENT_TYPE (byContentType = ";
    if (const char* name = NameOf(kContentTypes, p.byContentType)) {
      out << name;
    } else {
      out << "unknown type " << Num(p.byContentType);
    }
    out << '\n';
  }
  if (options & C_PAGECOORDINATES) out << "   C_PAGECOORDINATES\n";
  if (options & C_DESCREEN) out << "   C_DESCREEN\n";
  if (options & C_BLANK_PAGE_DETECT) {
    out << "   C_BLANK_PAGE_DETECT (byBlankPageSensitivity = " << Num(p.byBlankPageSensitivity)
        << ")\n";
  }
  if (options & C_BW_DITHER_BAYER) out << "   C_BW_DITHER_BAYER\n";
  if (options & C_BW_DITHER_ERROR_DIFFUSION) out << "   C_BW_DITHER_ERROR_DIFFUSION\n";
  if (options & C_AUTO_DESKEW) out << "   C_AUTO_DESKEW\n";
  if (options & C_AUTO_CROP) {
    out << "   C_AUTO_CROP (Auto Crop Type = ";
    if (const char* name = NameOf(kAutoCropTypes, p.byAutoCropType)) {
      out << name;
    } else {
      out << "unknown type " << Num(p.byAutoCropType);
    }
    out << '\n';
  }
  const bool autoOrientation = (options & C_AUTO_ORIENTATION) != 0;
  if (autoOrientation) {
    out << "   C_AUTO_ORIENTATION ("
        << (p.byAutoOrientQualityMode ? "quality (full page) algorithm)"
                                      : "speed (1/2 page) algorithm)")
        << '\n';
    out << "   C_AUTO_ORIENTATION language = ";
    if (const char* name = NameOf(kLanguages, p.byAutoOrientLanguage)) out << name;
    out << '\n';
  }
  if (options & C_BW_THRESHOLD_AUTO) out << "   C_BW_THRESHOLD_AUTO\n";
  if (options & C_EDGE_ERASE) {
    out << "   C_EDGE_ERASE (auto-orient is " << (autoOrientation ? "ON)" : "OFF)") << '\n';
    out << "      Top Edge Erase (1/10 in) = " << Num(p.byEdgeEraseTop) << '\n';
    if (!autoOrientation) {
      out << "      Bottom Edge Erase (1/10 in) = " << Num(p.byEdgeEraseBottom) << '\n'
          << "      Left Edge Erase (1/10 in) = " << Num(p.byEdgeEraseLeft) << '\n'
          << "      Right Edge Erase (1/10 in) = " << Num(p.byEdgeEraseRight) << '\n';
    }
    out << "      Fill Color = ";
    if (const char* name = NameOf(kFillColors, p.byFillColor)) {
      out << name;
    } else {
      out << "undefined: " << Num(p.byFillColor);
    }
    out << '\n';
  }
  if (options & C_AUTO_EXPOSURE) out << "   C_AUTO_EXPOSURE\n";
  if (options & C_AUTO_EXCLUSION_AREAS) {
    out << "   C_AUTO_EXCLUSION_AREAS\n"
        << "      Top Exclusion (1/10 in) = " << Num(p.byAutoXclusionTop) << '\n'
        << "      Bottom Exclusion (1/10 in) = " << Num(p.byAutoXclusionBottom) << '\n'
        << "      Left Exclusion (1/10 in) = " << Num(p.byAutoXclusionLeft) << '\n'
        << "      Right Exclusion (1/10 in) = " << Num(p.byAutoXclusionRight) << '\n';
  }
}

// ---- Scanner capabilities -----------------------------------------------------------------

const ValueName kPixelOrders[] = {
    {C_PIXEL_ORDER_RGB, "RGB"},
    {C_PIXEL_ORDER_BGR, "BGR"},
    {C_PIXEL_ORDER_RGBABC, "RGBABC"},
    {C_PIXEL_ORDER_BGRABC, "BGRABC"},
    {C_PIXEL_ORDER_RGB_CYBORG, "RGB_CYBORG"},
    {C_PIXEL_ORDER_BGR_CYBORG, "BGR_CYBORG"},
};

const BitName kSupportedModes[] = {
    {C_SCANMODE_COLOR, "COLOR "},
    {C_SCANMODE_GREYSCALE, "| GREYSCALE "},
    {C_SCANMODE_BW, "| BW "},
    {C_SCANMODE_COLOR_S3L, "| COLOR_S3L "},
    {C_SCANMODE_COLOR_S3L_RAW, "| COLOR_S3L_RAW "},
    {C_SCANMODE_ACD_COLOR, "| AutoDetect Color vs NonColor "},
    {C_SCANMODE_ACD_CGB, "| AutoDetect Color/Greyscale/Binary"},
};

const BitName kSupportedOptions[] = {
    {C_PREVIEW, "C_PREVIEW "},
    {C_QUALITY, "| C_QUALITY "},
    {C_PIXELCOORDINATES, "| C_PIXELCOORDINATES "},
    {C_BW_DITHER, "| C_BW_DITHER "},
    {C_IR, "| C_IR "},
    {C_DEWARP, "| C_DEWARP "},
    {C_HW_ROTATE_90, "| C_HW_ROTATE_90 (HW does rotation 90 degrees CW) "},
    {C_HW_ROTATE_270, "| C_HW_ROTATE_270 (HW does rotation 270 degrees CW) "},
    {C_HW_ROTATE_UPRIGHT, "| C_HW_ROTATE_UPRIGHT (HW does upright rotation automatically) "},
    {C_BW_THRESHOLD, "| C_BW_THRESHOLD "},
    {C_TONEMAP_PARAMETERS, "| C_TONEMAP_PARAMETERS "},
    {C_NOISE_REMOVAL, "| C_NOISE_REMOVAL "},
    {C_SHARPSMOOTH, "| C_SHARPSMOOTH "},
    {C_CONTENT_TYPE, "| C_CONTENT_TYPE "},
    {C_PAGECOORDINATES, "| C_PAGECOORDINATES "},
    {C_DESCREEN, "| C_DESCREEN "},
    {C_BLANK_PAGE_DETECT, "| C_BLANK_PAGE_DETECT "},
    {C_BW_DITHER_BAYER, "| C_BW_DITHER_BAYER "},
    {C_BW_DITHER_ERROR_DIFFUSION, "| C_BW_DITHER_ERROR_DIFFUSION "},
    {C_AUTO_DESKEW, "| C_AUTO_DESKEW "},
    {C_AUTO_CROP, "| C_AUTO_CROP "},
    {C_AUTO_ORIENTATION, "| C_AUTO_ORIENTATION "},
    {C_BW_THRESHOLD_AUTO, "| C_BW_THRESHOLD_AUTO "},
    {C_EDGE_ERASE, "| C_EDGE_ERASE "},
    {C_AUTO_EXPOSURE, "| C_AUTO_EXPOSURE "},
    {C_AUTO_EXCLUSION_AREAS, "| C_AUTO_EXCLUSION_AREAS "},
};

const BitName kSupportedGreyChannels[] = {
    {C_GREY_GREEN, "GREEN "},
    {C_GREY_RED, "| RED "},
    {C_GREY_BLUE, "| BLUE "},
    {C_GREY_NTSC, "| NTSC Grey "},
    {C_GREY_CCD, "| Grey CCD "},
    {C_GREY_CCD_EMULATION, "| Grey CCD Emulation"},
};

const BitName kSupportedFillColors[] = {
    {C_FILL_BLACK, "BLACK "},
    {C_FILL_WHITE, "| WHITE "},
    {C_FILL_PAGE_COLOR, "| PAGE COLOR"},
};

const BitName kSupportedAutoCropTypes[] = {
    {C_AUTOCROP_PAGE, "Page Crop "},
    {C_AUTOCROP_CONTENT, "| Content Crop"},
};

const BitName kSupportedLanguages[] = {
    {C_LANG_LATIN, "Latin"},
    {C_LANG_GREEK, "| Greek"},
    {C_LANG_RUSSIAN, "| RUSSIAN"},
    {C_LANG_JAPANESE, "| JAPANESE"},
    {C_LANG_SIMPLIFIED_CHINESE, "| Simp Chinese"},
    {C_LANG_KOREAN, "| Korean"},
    {C_LANG_TRADITIONAL_CHINESE, "| Trad Chinese"},
};

// The entries of a bits-per-channel list up to its first 0 (a full list of eight has none).
void WriteBitDepths(std::ostream& out, const BYTE (&depths)[8]) {
  for (BYTE depth : depths) {
    if (depth == 0) break;
    out << Num(depth) << ", ";
  }
}

template <class Record>
void WriteRecordEntry(CLog2* log, uint32_t extraLevel, const Record& record,
                      void (*write)(std::ostream&, const Record&)) {
  if (log == nullptr) return;
  CLog2::Line* line = log->BeginLine(extraLevel | LOG_CAT_DUMP, false);
  if (line == nullptr) return;
  write(line->text, record);
  log->WriteLine(line);
}

}  // namespace

void WriteBufferInfo(std::ostream& out, const BUFFER_INFO& info) {
  out << " << BUFFER_INFO >>> \n"
      << "Bytes Per Line = " << info.dwBytesPerLine << '\n'
      << "Pixel Width = " << info.dwPixelWidth << '\n'
      << "Pixel Height = " << info.dwPixelHeight << '\n';
}

void WriteScannerParameters(std::ostream& out, const SCANNER_PARAMETERS& p) {
  out << " << SCANNER PARAMETERS >>> \n"
      << "PixelLeft = " << p.dwLeft << '\n'
      << "PixelTop = " << p.dwTop << '\n'
      << "PixelWidth = " << p.dwWidth << '\n'
      << "PixelLength = " << p.dwLength << '\n'
      << "PageWidth = " << p.dwPageWidth << '\n'
      << "PageHeight = " << p.dwPageHeight << '\n';
  WriteScanMode(out, p);
  WriteScanOptions(out, p);
  out << '\n'
      << "Bits Per Channel = " << Num(p.byBitsPerChannel) << '\n'
      << "X Resolution = " << p.wXResolution << '\n'
      << "Y Resolution = " << p.wYResolution << '\n';
  out << "Grey Channel = ";
  WriteNamedOrHex(out, kGreyChannels, p.wGreyChannel);
  out << '\n' << "Scan Method = ";
  WriteNamedOrHex(out, kScanMethods, p.wScanMethod);
  out << '\n';
  WriteNamedOrHex(out, kFeedEdges, p.wFeedEdge);
  out << '\n';
}

void WriteScannerCapabilities(std::ostream& out, const SCANNER_CAPABILITIES& c) {
  // The model number is text of at most 16 bytes, not necessarily terminated.
  const char* model = reinterpret_cast<const char*>(c.byModelNumber);
  out << " <<< SCANNER CAPABILITIES >>> \n"
      << "ModelNumber = " << std::string(model, strnlen(model, sizeof c.byModelNumber)) << '\n'
      << "Lamp Warmup Time = " << c.wLampWarmupTime << '\n'
      << "OpticalResolution = " << c.wOpticalResolution << '\n'
      << "Maximum X Resolution = " << c.wMaximumXResolution << '\n'
      << "Maximum Y Resolution = " << c.wMaximumYResolution << '\n'
      << "Minimum Resolution = " << c.wMinimumResolution << '\n'
      << "Maximum Width = " << c.dwMaximumWidth << '\n'
      << "Minimum Width = " << c.dwMinimumWidth << '\n'
      << "Maximum Height = " << c.dwMaximumHeight << '\n'
      << "Minimum Height = " << c.dwMinimumHeight << '\n';

  out << "Pixel Order = ";
  if (const char* name = NameOf(kPixelOrders, c.wRawPixelOrder)) {
    out << name;
  } else {
    out << "Unknown Type: " << c.wRawPixelOrder;
  }
  out << '\n' << "Pixel Packing = " << (c.wPixelPacking == 1 ? "PACKED" : "PLANAR") << '\n';

  out << "Scan Modes Supported = ";
  WriteSetBits(out, kSupportedModes, c.dwScanModesSupported);
  out << '\n' << "Scan Options Supported = ";
  WriteSetBits(out, kSupportedOptions, c.dwScanOptionsSupported);
  out << '\n' << "Grey Channels Supported = ";
  WriteSetBits(out, kSupportedGreyChannels, c.wGreyChannelsSupported);
  out << '\n'
      << "Scanner Paper Path = " << (c.wPaperPath == 0 ? "Flatbed" : "Scroll") << '\n'
      << "Gamma Table Size (obsolete)= " << c.wGammaTableSize << '\n';

  out << "Supported Color Bits per pixel = ";
  WriteBitDepths(out, c.byColorBitsPerChannel);
  out << '\n' << "Supported Grey Bits per pixel = ";
  WriteBitDepths(out, c.byGreyBitsPerChannel);
  out << '\n'
      << "Gamma Entries Per Channel = " << c.dwGammaEntriesPerChannel << '\n'
      << "Gamma Maximum Entry Value = " << c.dwGammaMaxEntryValue << '\n'
      << "Gamma Bytes Per Entry = " << c.dwGammaBytesPerEntry << '\n';
  if (c.wGreyChannelsSupported & C_GREY_CCD) {
    out << "Maximum optical Grey CCD resolution = " << c.wMaxGreyCCDResolution << '\n';
  }
  if (c.dwMaxRotationBytes != 0) {
    out << "Max flatbed HW rotation bytes = " << c.dwMaxRotationBytes << '\n';
  }

  const DWORD options = c.dwScanOptionsSupported;
  if (options & C_SHARPSMOOTH) {
    out << "Can Sharpen = " << (c.byCanSharpen ? "TRUE" : "FALSE") << '\n'
        << "Can Smooth = " << (c.byCanSmooth ? "TRUE" : "FALSE") << '\n'
        << "Sharp/Smooth default = " << Signed(c.cSharpSmoothDefault) << '\n';
  }
  if (options & C_NOISE_REMOVAL) {
    out << "Noise Removal default = " << Num(c.byNoiseRemovalDefault) << '\n';
  }
  if (options & C_BLANK_PAGE_DETECT) {
    out << "Blank page sensitivity levels = " << Num(c.byBlankPageSensitivityLevels) << '\n';
  }
  if (c.dwScanModesSupported & (C_SCANMODE_ACD_COLOR | C_SCANMODE_ACD_CGB)) {
    out << "AutoColor Detect sensitivity levels = " << Num(c.byACDsensitivityLevels) << '\n';
    if (c.dwScanModesSupported & C_SCANMODE_ACD_CGB) {
      out << "AutoColor Detect sensitivity levels BW = " << Num(c.byACDsensitivityLevelsBW)
          << '\n';
    }
  }
  if (c.bySupportedFillColors != 0) {
    out << "Supported Fill Colors = ";
    WriteSetBits(out, kSupportedFillColors, c.bySupportedFillColors);
    out << '\n';
  }
  if (options & C_AUTO_CROP) {
    out << "Supported Auto Crop Types = ";
    WriteSetBits(out, kSupportedAutoCropTypes, c.bySupportedAutoCropTypes);
    out << '\n';
  }
  if (options & C_AUTO_ORIENTATION) {
    out << '\n' << "Supported Auto Orient Languages = ";
    WriteSetBits(out, kSupportedLanguages, c.dwAutoOrientSupportedLanguages);
    out << '\n';
  }
}

void DumpBufferInfo(CLog2* log, const BUFFER_INFO& info, uint32_t extraLevel) {
  WriteRecordEntry(log, extraLevel, info, &WriteBufferInfo);
}

void DumpScannerParameters(CLog2* log, const SCANNER_PARAMETERS& params, uint32_t extraLevel) {
  WriteRecordEntry(log, extraLevel, params, &WriteScannerParameters);
}

void DumpScannerCapabilities(CLog2* log, const SCANNER_CAPABILITIES& caps, uint32_t extraLevel) {
  WriteRecordEntry(log, extraLevel, caps, &WriteScannerCapabilities);
}

void DumpScanTicket(CLog2* log, const ScanTicketDumpFields& t) {
  if (log == nullptr || !log->Admits(LOG_INFO_MSG)) return;
  auto text = [](const char* s) { return s ? s : "(null)"; };
  log->print(LOG_INFO_MSG, "JobDescription.JobName = %s", text(t.jobName));
  log->print(LOG_INFO_MSG, "JobDescription.JobOriginatingUserName = %s", text(t.jobOriginatingUserName));
  log->print(LOG_INFO_MSG, "JobDescription.JobInformation = %s", text(t.jobInformation));
  const struct {
    const char* format;
    int value;
  } numbers[] = {
      {"DocumentParameters.Format = %d", t.format},
      {"DocumentParameters.CompressionQualityFactor = %d", t.compressionQualityFactor},
      {"DocumentParameters.ImagesToTransfer = %d", t.imagesToTransfer},
      {"DocumentParameters.InputSource = %d", t.inputSource},
      {"DocumentParameters.ContentType = %d", t.contentType},
      {"DocumentParameters.InputSize.InputMediaSize.Width = %d", t.inputMediaWidth},
      {"DocumentParameters.InputSize.InputMediaSize.Height = %d", t.inputMediaHeight},
      {"DocumentParameters.InputSize.DocumentSizeAutoDetect = %d", t.documentSizeAutoDetect},
      {"DocumentParameters.Exposure.AutoExposure = %d", t.autoExposure},
      {"DocumentParameters.Exposure.ExposureSettings.Contrast = %d", t.contrast},
      {"DocumentParameters.MediaSides.MediaFront.ColorProcessing = %d", t.colorProcessing},
      {"DocumentParameters.MediaSides.MediaFront.Resolution.Width = %d", t.resolutionWidth},
      {"DocumentParameters.MediaSides.MediaFront.Resolution.Height = %d", t.resolutionHeight},
      {"DocumentParameters.MediaSides.MediaFront.ScanRegion.ScanRegionXOffset = %d", t.scanRegionXOffset},
      {"DocumentParameters.MediaSides.MediaFront.ScanRegion.ScanRegionYOffset = %d", t.scanRegionYOffset},
      {"DocumentParameters.MediaSides.MediaFront.ScanRegion.ScanRegionWidth = %d", t.scanRegionWidth},
      {"DocumentParameters.MediaSides.MediaFront.ScanRegion.ScanRegionHeight = %d", t.scanRegionHeight},
  };
  for (const auto& n : numbers) {
    log->print(LOG_INFO_MSG, n.format, n.value);  // each format is a fixed text with one %d
  }
}
