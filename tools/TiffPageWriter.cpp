#include "tools/TiffPageWriter.h"

#include <libdeflate.h>
#include <tiffio.h>
#include <zlib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

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

// The horizontal predictor: each sample less the same sample of the pixel before it, the
// first pixel as it is; sixteen bytes at a time (the compiler's vectors: SSE2, NEON).
void Predict(const uint8_t* row, size_t bytes, size_t bytesPerPixel, uint8_t* out) {
  using Bytes16 = uint8_t __attribute__((vector_size(16)));
  size_t i = std::min(bytesPerPixel, bytes);
  std::memcpy(out, row, i);
  for (; i + 16 <= bytes; i += 16) {
    Bytes16 sample, before;
    std::memcpy(&sample, row + i, 16);
    std::memcpy(&before, row + i - bytesPerPixel, 16);
    sample -= before;
    std::memcpy(out + i, &sample, 16);
  }
  for (; i < bytes; ++i) out[i] = static_cast<uint8_t>(row[i] - row[i - bytesPerPixel]);
}

// A worker's part: the strip's rows (predicted already) deflated into one zlib stream, as a
// TIFF strip of Deflate compression holds.
void EncodeStrip(const TiffPageWriter::Tuning& tuning, StripCompressor::Strip& strip) {
  StripCompressor::Bytes& in = strip.input;
  if (tuning.libdeflate) {
    // One compressor a worker thread, kept for the strips that follow.
    struct Compressor {
      libdeflate_compressor* c = nullptr;
      int level = -1;
      ~Compressor() { libdeflate_free_compressor(c); }
    };
    thread_local Compressor compressor;
    if (compressor.level != tuning.level) {
      libdeflate_free_compressor(compressor.c);
      compressor.c = libdeflate_alloc_compressor(tuning.level);
      compressor.level = compressor.c ? tuning.level : -1;
    }
    if (!compressor.c) return;
    strip.output.resize(libdeflate_zlib_compress_bound(compressor.c, in.size()));
    const size_t size =
        libdeflate_zlib_compress(compressor.c, in.data(), in.size(), strip.output.data(), strip.output.size());
    strip.output.resize(size);
    strip.ok = size > 0;
    return;
  }
  z_stream z = {};
  if (deflateInit(&z, tuning.level) != Z_OK) return;
  strip.output.resize(deflateBound(&z, in.size()));
  z.next_in = in.data();
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = strip.output.data();
  z.avail_out = static_cast<uInt>(strip.output.size());
  strip.ok = deflate(&z, Z_FINISH) == Z_STREAM_END;
  strip.output.resize(strip.output.size() - z.avail_out);
  deflateEnd(&z);
}

}  // namespace

TiffPageWriter::TiffPageWriter(std::string path) : TiffPageWriter(std::move(path), Tuning()) {}

TiffPageWriter::TiffPageWriter(std::string path, const Tuning& tuning) : path_(std::move(path)), tuning_(tuning) {
  InstallHandlers();
}

TiffPageWriter::~TiffPageWriter() {
  filling_.reset();
  compressor_.reset();
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
  const uint32_t stripRows =
      std::max<uint32_t>(1, tuning_.stripBytes / std::max<uint32_t>(1, layout.bytesPerLine));
  bool ok = TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE) &&
            TIFFSetField(t, TIFFTAG_IMAGEWIDTH, layout.width) &&
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, layout.height) &&
            TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bw ? 1 : 8) &&
            TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, color ? 3 : 1) &&
            TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC,
                         color ? PHOTOMETRIC_RGB : bw ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK) &&
            TIFFSetField(t, TIFFTAG_COMPRESSION, bw ? COMPRESSION_CCITTFAX4 : COMPRESSION_ADOBE_DEFLATE) &&
            (bw || TIFFSetField(t, TIFFTAG_PREDICTOR, tuning_.predictor ? PREDICTOR_HORIZONTAL : PREDICTOR_NONE)) &&
            TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
            TIFFSetField(t, TIFFTAG_XRESOLUTION, static_cast<float>(layout.dpi)) &&
            TIFFSetField(t, TIFFTAG_YRESOLUTION, static_cast<float>(layout.dpi)) &&
            TIFFSetField(t, TIFFTAG_PAGENUMBER, page_, static_cast<uint16_t>(0)) &&
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, bw ? layout.height : stripRows);
  if (!ok) return Fail("cannot describe the page", error);
  buffer_.assign(layout.bytesPerLine, 0);
  if (compressor_) {
    // Strips of a page that ended early are dropped.
    if (filling_) compressor_->Recycle(std::move(filling_));
    while (std::unique_ptr<StripCompressor::Strip> strip = compressor_->Take(true))
      compressor_->Recycle(std::move(strip));
  }
  strip_ = 0;
  if (!bw) {
    stripRows_ = stripRows;
    bytesPerPixel_ = color ? 3 : 1;
    if (!compressor_) {
      const Tuning tuning = tuning_;
      compressor_ = std::make_unique<StripCompressor>(
          tuning.threads, tuning.threads * 2, [tuning](StripCompressor::Strip& strip) { EncodeStrip(tuning, strip); });
    }
    filling_ = compressor_->Blank();
  }
  return true;
}

bool TiffPageWriter::WriteDone(bool wait, std::string* error) {
  TIFF* t = static_cast<TIFF*>(tiff_);
  while (std::unique_ptr<StripCompressor::Strip> strip = compressor_->Take(wait)) {
    if (!strip->ok) return Fail("compression failed", error);
    if (TIFFWriteRawStrip(t, strip_++, strip->output.data(), static_cast<tmsize_t>(strip->output.size())) < 0)
      return Fail("write failed", error);
    compressor_->Recycle(std::move(strip));
  }
  return true;
}

bool TiffPageWriter::WriteRow(const uint8_t* row, std::string* error) {
  TIFF* t = static_cast<TIFF*>(tiff_);
  if (!t) return Fail("no page started", error);
  if (row_ >= layout_.height) return Fail("more rows than the page has", error);
  if (filling_) {
    StripCompressor::Bytes& in = filling_->input;
    const size_t at = in.size();
    if (at == 0) in.reserve(size_t(stripRows_) * layout_.bytesPerLine);
    in.resize(at + layout_.bytesPerLine);
    if (tuning_.predictor) Predict(row, layout_.bytesPerLine, bytesPerPixel_, in.data() + at);
    else std::memcpy(in.data() + at, row, layout_.bytesPerLine);
    ++row_;
    if (row_ % stripRows_ != 0 && row_ != layout_.height) return true;
    compressor_->Submit(std::move(filling_));
    filling_ = compressor_->Blank();
    return WriteDone(false, error);
  }
  for (uint32_t i = 0; i < layout_.bytesPerLine; ++i) buffer_[i] = static_cast<uint8_t>(~row[i]);
  if (TIFFWriteScanline(t, buffer_.data(), row_, 0) < 0) return Fail("write failed", error);
  ++row_;
  return true;
}

bool TiffPageWriter::EndPage(std::string* error) {
  TIFF* t = static_cast<TIFF*>(tiff_);
  if (!t) return Fail("no page started", error);
  if (filling_) {
    if (row_ != layout_.height) return Fail("the page lacks rows", error);
    if (!WriteDone(true, error)) return false;
    compressor_->Recycle(std::move(filling_));
  }
  if (!TIFFWriteDirectory(t)) return Fail("cannot finish the page", error);
  ++page_;
  return true;
}

bool TiffPageWriter::Close(std::string* error) {
  filling_.reset();
  compressor_.reset();
  if (!tiff_) return true;
  TIFF* t = static_cast<TIFF*>(tiff_);
  tiff_ = nullptr;
  tiffMessage.clear();
  TIFFClose(t);
  if (!tiffMessage.empty()) return Fail("close failed", error);
  return true;
}
