#include "tools/TiffPageWriter.h"

#include <tiffio.h>

#include <cstdarg>
#include <cstdio>

namespace {

// libtiff reports through a process-wide handler; the last message of this thread is kept.
thread_local std::string tiffMessage;

void OnTiffError(const char* module, const char* fmt, va_list ap) {
  char text[512];
  std::vsnprintf(text, sizeof text, fmt, ap);
  tiffMessage = module ? std::string(module) + ": " + text : text;
}

void OnTiffWarning(const char*, const char*, va_list) {}

void InstallHandlers() {
  static bool done = [] {
    TIFFSetErrorHandler(OnTiffError);
    TIFFSetWarningHandler(OnTiffWarning);
    return true;
  }();
  (void)done;
}

}  // namespace

TiffPageWriter::TiffPageWriter(std::string path) : path_(std::move(path)) { InstallHandlers(); }

TiffPageWriter::~TiffPageWriter() {
  if (tiff_) TIFFClose(static_cast<TIFF*>(tiff_));
}

bool TiffPageWriter::Fail(const std::string& what, std::string* error) {
  if (error) *error = path_ + ": " + what + (tiffMessage.empty() ? "" : " (" + tiffMessage + ")");
  tiffMessage.clear();
  return false;
}

bool TiffPageWriter::BeginPage(const PageLayout& layout, std::string* error) {
  tiffMessage.clear();
  if (!tiff_) {
    tiff_ = TIFFOpen(path_.c_str(), "w");
    if (!tiff_) return Fail("cannot create the file", error);
  }
  TIFF* t = static_cast<TIFF*>(tiff_);
  layout_ = layout;
  row_ = 0;
  const bool bw = layout.mode == ColorMode::BlackWhite;
  const bool color = layout.mode == ColorMode::Color;
  bool ok = TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE) &&
            TIFFSetField(t, TIFFTAG_IMAGEWIDTH, layout.width) &&
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, layout.height) &&
            TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bw ? 1 : 8) &&
            TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, color ? 3 : 1) &&
            TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                         color ? PHOTOMETRIC_RGB : bw ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK) &&
            TIFFSetField(t, TIFFTAG_COMPRESSION, bw ? COMPRESSION_CCITTFAX4 : COMPRESSION_LZW) &&
            TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
            TIFFSetField(t, TIFFTAG_XRESOLUTION, static_cast<float>(layout.dpi)) &&
            TIFFSetField(t, TIFFTAG_YRESOLUTION, static_cast<float>(layout.dpi)) &&
            TIFFSetField(t, TIFFTAG_PAGENUMBER, page_, static_cast<uint16_t>(0)) &&
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, bw ? layout.height : TIFFDefaultStripSize(t, 0));
  if (!ok) return Fail("cannot describe the page", error);
  buffer_.assign(layout.bytesPerLine, 0);
  return true;
}

bool TiffPageWriter::WriteRow(const uint8_t* row, std::string* error) {
  TIFF* t = static_cast<TIFF*>(tiff_);
  if (!t) return Fail("no page started", error);
  if (row_ >= layout_.height) return Fail("more rows than the page has", error);
  if (layout_.mode == ColorMode::BlackWhite) {
    for (uint32_t i = 0; i < layout_.bytesPerLine; ++i) buffer_[i] = static_cast<uint8_t>(~row[i]);
  } else {
    std::copy(row, row + layout_.bytesPerLine, buffer_.begin());
  }
  if (TIFFWriteScanline(t, buffer_.data(), row_, 0) < 0) return Fail("write failed", error);
  ++row_;
  return true;
}

bool TiffPageWriter::EndPage(std::string* error) {
  TIFF* t = static_cast<TIFF*>(tiff_);
  if (!t) return Fail("no page started", error);
  if (!TIFFWriteDirectory(t)) return Fail("cannot finish the page", error);
  ++page_;
  return true;
}

bool TiffPageWriter::Close(std::string* error) {
  if (!tiff_) return true;
  TIFF* t = static_cast<TIFF*>(tiff_);
  tiff_ = nullptr;
  tiffMessage.clear();
  TIFFClose(t);
  if (!tiffMessage.empty()) return Fail("close failed", error);
  return true;
}
