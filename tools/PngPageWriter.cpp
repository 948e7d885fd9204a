#include "tools/PngPageWriter.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

void OnPngError(png_structp png, png_const_charp message) {
  auto* self = static_cast<PngPageWriter*>(png_get_error_ptr(png));
  if (self) self->SetMessage(message);
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

uint8_t PaethPredictor(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
  return static_cast<uint8_t>(pb <= pc ? b : c);
}

// Writes filter `type` of `row` (n bytes, `bpp` bytes a pixel, the row above in `prior`) to
// out[1..n] with the type byte in out[0]; returns the sum of the filtered bytes taken as
// signed, libpng's measure for choosing a filter.
uint32_t FilterRow(int type, const uint8_t* row, const uint8_t* prior, size_t n, size_t bpp, uint8_t* out) {
  out[0] = static_cast<uint8_t>(type);
  uint8_t* f = out + 1;
  switch (type) {
    case 0:
      std::memcpy(f, row, n);
      break;
    case 1:
      for (size_t i = 0; i < n; ++i) f[i] = static_cast<uint8_t>(row[i] - (i >= bpp ? row[i - bpp] : 0));
      break;
    case 2:
      for (size_t i = 0; i < n; ++i) f[i] = static_cast<uint8_t>(row[i] - prior[i]);
      break;
    case 3:
      for (size_t i = 0; i < bpp && i < n; ++i) f[i] = static_cast<uint8_t>(row[i] - (prior[i] >> 1));
      for (size_t i = bpp; i < n; ++i) f[i] = static_cast<uint8_t>(row[i] - ((row[i - bpp] + prior[i]) >> 1));
      break;
    default:
      for (size_t i = 0; i < bpp && i < n; ++i) f[i] = static_cast<uint8_t>(row[i] - prior[i]);
      for (size_t i = bpp; i < n; ++i)
        f[i] = static_cast<uint8_t>(row[i] - PaethPredictor(row[i - bpp], prior[i], prior[i - bpp]));
      break;
  }
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += f[i] < 128 ? f[i] : 256u - f[i];
  return sum;
}

struct StripFormat {
  size_t bytesPerLine = 0;
  size_t bytesPerPixel = 1;
  int filter = 0;  // a type, or PngPageWriter::kFilterMinimum
  int level = 6;
  int strategy = Z_DEFAULT_STRATEGY;
};

// A worker's part: the strip's input is the row above it (zero for the page's first) and then
// its rows. Filters them, keeps their Adler-32 and deflates them into a raw deflate piece that
// ends on a byte boundary, or ends the stream for the page's last strip.
void EncodeStrip(const StripFormat& format, StripCompressor::Strip& strip) {
  const size_t n = format.bytesPerLine;
  const size_t rows = strip.input.size() / n - 1;
  std::vector<uint8_t> filtered(rows * (n + 1));
  std::vector<uint8_t> trial(format.filter == PngPageWriter::kFilterMinimum ? n + 1 : 0);
  for (size_t r = 0; r < rows; ++r) {
    const uint8_t* prior = strip.input.data() + r * n;
    const uint8_t* row = prior + n;
    uint8_t* out = filtered.data() + r * (n + 1);
    if (format.filter != PngPageWriter::kFilterMinimum) {
      FilterRow(format.filter, row, prior, n, format.bytesPerPixel, out);
      continue;
    }
    uint32_t best = FilterRow(0, row, prior, n, format.bytesPerPixel, out);
    for (int type = 1; type < 5; ++type) {
      const uint32_t sum = FilterRow(type, row, prior, n, format.bytesPerPixel, trial.data());
      if (sum < best) {
        best = sum;
        std::memcpy(out, trial.data(), n + 1);
      }
    }
  }
  strip.check = adler32(adler32(0, nullptr, 0), filtered.data(), static_cast<uInt>(filtered.size()));
  z_stream z = {};
  if (deflateInit2(&z, format.level, Z_DEFLATED, -15, 8, format.strategy) != Z_OK) return;
  strip.output.resize(deflateBound(&z, filtered.size()) + 16);
  z.next_in = filtered.data();
  z.avail_in = static_cast<uInt>(filtered.size());
  z.next_out = strip.output.data();
  z.avail_out = static_cast<uInt>(strip.output.size());
  const int flush = strip.last ? Z_FINISH : Z_SYNC_FLUSH;
  int status = deflate(&z, flush);
  while (status == Z_OK && z.avail_out == 0) {  // more than the bound: grow and go on
    const size_t used = strip.output.size();
    strip.output.resize(used * 2);
    z.next_out = strip.output.data() + used;
    z.avail_out = static_cast<uInt>(used);
    status = deflate(&z, flush);
  }
  strip.ok = (strip.last ? status == Z_STREAM_END : status == Z_OK) && z.avail_in == 0;
  strip.output.resize(strip.output.size() - z.avail_out);
  deflateEnd(&z);
}

void PutBigEndian(uint32_t v, uint8_t* out) {
  out[0] = static_cast<uint8_t>(v >> 24);
  out[1] = static_cast<uint8_t>(v >> 16);
  out[2] = static_cast<uint8_t>(v >> 8);
  out[3] = static_cast<uint8_t>(v);
}

// The two bytes that open a zlib stream of a 32 KB window, naming the level's class.
void ZlibHeader(int level, uint8_t* out) {
  out[0] = 0x78;
  out[1] = level == 0 || level == 1 ? 0x01 : level >= 2 && level <= 5 ? 0x5E : level >= 7 ? 0xDA : 0x9C;
}

}  // namespace

PngPageWriter::PngPageWriter(std::string path) : PngPageWriter(std::move(path), Tuning()) {}

PngPageWriter::PngPageWriter(std::string path, const Tuning& tuning) : path_(std::move(path)), tuning_(tuning) {}

PngPageWriter::~PngPageWriter() { Release(); }

void PngPageWriter::SetMessage(const char* text) {
  std::snprintf(message_, sizeof message_, "%s", text ? text : "libpng error");
}

void PngPageWriter::Release() {
  filling_.reset();
  compressor_.reset();
  if (png_) {
    png_structp png = static_cast<png_structp>(png_);
    png_infop info = static_cast<png_infop>(info_);
    png_destroy_write_struct(&png, info ? &info : nullptr);
    png_ = nullptr;
    info_ = nullptr;
  }
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
}

bool PngPageWriter::Failed(std::string* error) {
  if (error) *error = path_ + ": " + message_;
  Release();
  return false;
}

bool PngPageWriter::Fail(const std::string& what, std::string* error) {
  SetMessage(what.c_str());
  return Failed(error);
}

bool PngPageWriter::WriteHeader(const PageLayout& layout, std::string* error) {
  file_ = std::fopen(path_.c_str(), "wb");
  if (!file_) {
    if (error) *error = path_ + ": " + std::strerror(errno);
    return false;
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, this, OnPngError, OnPngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  png_ = png;
  info_ = info;
  if (!png || !info) {
    SetMessage("out of memory");
    return Failed(error);
  }
  if (setjmp(png_jmpbuf(png))) return Failed(error);
  png_init_io(png, file_);
  const int depth = layout.mode == ColorMode::BlackWhite ? 1 : 8;
  const int type = layout.mode == ColorMode::Color ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
  png_set_IHDR(png, info, layout.width, layout.height, depth, type, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  const png_uint_32 perMetre = static_cast<png_uint_32>(layout.dpi / 0.0254 + 0.5);
  png_set_pHYs(png, info, perMetre, perMetre, PNG_RESOLUTION_METER);
  png_write_info(png, info);
  // The header chunks are in the file's buffer; the rest is written here, not by libpng.
  png_destroy_write_struct(&png, &info);
  png_ = info_ = nullptr;
  return true;
}

bool PngPageWriter::BeginPage(const PageLayout& layout, std::string* error) {
  if (png_ || compressor_ || pageDone_) {
    if (error) *error = path_ + ": a PNG file holds one page";
    return false;
  }
  if (!WriteHeader(layout, error)) return false;
  const int depth = layout.mode == ColorMode::BlackWhite ? 1 : 8;
  layout_ = layout;
  row_ = 0;
  adler_ = adler32(0, nullptr, 0);
  StripFormat format;
  format.bytesPerLine = layout.bytesPerLine;
  format.bytesPerPixel = layout.mode == ColorMode::Color ? 3 : 1;
  format.filter = depth == 8 ? tuning_.filter : 0;
  format.level = tuning_.level;
  format.strategy = tuning_.strategy;
  stripRows_ = std::max<uint32_t>(1, tuning_.stripBytes / std::max<uint32_t>(1, layout.bytesPerLine));
  compressor_ = std::make_unique<StripCompressor>(
      tuning_.threads, tuning_.threads * 2,
      [format](StripCompressor::Strip& strip) { EncodeStrip(format, strip); });
  filling_ = compressor_->Blank();
  filling_->input.assign(layout.bytesPerLine, 0);  // above the first row: zeros
  rowsInStrip_ = 0;
  uint8_t header[2];
  ZlibHeader(tuning_.level, header);
  if (!WriteChunk("IDAT", header, sizeof header)) return Fail(std::strerror(errno), error);
  return true;
}

bool PngPageWriter::WriteChunk(const char* type, const uint8_t* data, size_t size) {
  uint8_t head[8];
  PutBigEndian(static_cast<uint32_t>(size), head);
  std::memcpy(head + 4, type, 4);
  uint8_t crc[4];
  uLong c = crc32(crc32(0, nullptr, 0), head + 4, 4);
  if (size) c = crc32(c, data, static_cast<uInt>(size));
  PutBigEndian(static_cast<uint32_t>(c), crc);
  return std::fwrite(head, 1, 8, file_) == 8 && (size == 0 || std::fwrite(data, 1, size, file_) == size) &&
         std::fwrite(crc, 1, 4, file_) == 4;
}

bool PngPageWriter::WriteDone(bool wait, std::string* error) {
  while (std::unique_ptr<StripCompressor::Strip> strip = compressor_->Take(wait)) {
    if (!strip->ok) return Fail("compression failed", error);
    const size_t filtered = (strip->input.size() / layout_.bytesPerLine - 1) * (layout_.bytesPerLine + 1);
    adler_ = static_cast<uint32_t>(adler32_combine(adler_, strip->check, static_cast<z_off_t>(filtered)));
    if (strip->last) {
      uint8_t trailer[4];
      PutBigEndian(adler_, trailer);
      strip->output.insert(strip->output.end(), trailer, trailer + 4);
    }
    if (!WriteChunk("IDAT", strip->output.data(), strip->output.size())) return Fail(std::strerror(errno), error);
    compressor_->Recycle(std::move(strip));
  }
  return true;
}

bool PngPageWriter::SubmitStrip(bool last, std::string* error) {
  std::unique_ptr<StripCompressor::Strip> next = compressor_->Blank();
  // The next strip starts with the row above it, the last of this one.
  const uint32_t n = layout_.bytesPerLine;
  next->input.assign(filling_->input.end() - n, filling_->input.end());
  filling_->last = last;
  compressor_->Submit(std::move(filling_));
  filling_ = std::move(next);
  rowsInStrip_ = 0;
  return WriteDone(last, error);
}

bool PngPageWriter::WriteRow(const uint8_t* row, std::string* error) {
  if (!compressor_) {
    if (error) *error = path_ + ": no page started";
    return false;
  }
  if (row_ >= layout_.height) return Fail("more rows than the page has", error);
  // A set bit is white both in the driver's rows and in a 1-bit grey PNG: rows go unchanged.
  filling_->input.insert(filling_->input.end(), row, row + layout_.bytesPerLine);
  ++row_;
  if (++rowsInStrip_ == stripRows_ && row_ < layout_.height) return SubmitStrip(false, error);
  return true;
}

bool PngPageWriter::EndPage(std::string* error) {
  if (!compressor_) {
    if (error) *error = path_ + ": no page started";
    return false;
  }
  if (row_ != layout_.height) return Fail("the page lacks rows", error);
  if (!SubmitStrip(true, error)) return false;
  if (!WriteChunk("IEND", nullptr, 0)) return Fail(std::strerror(errno), error);
  pageDone_ = true;
  FILE* f = file_;
  file_ = nullptr;
  Release();
  errno = 0;
  if (std::fflush(f) != 0 || std::ferror(f)) {
    const int err = errno;
    std::fclose(f);
    if (error) *error = path_ + ": write failed" + (err ? std::string(" (") + std::strerror(err) + ")" : "");
    return false;
  }
  if (std::fclose(f) != 0) {
    if (error) *error = path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool PngPageWriter::Close(std::string* error) {
  if (compressor_) {
    if (error) *error = path_ + ": page not finished";
    Release();
    return false;
  }
  return true;
}
