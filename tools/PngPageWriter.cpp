#include "tools/PngPageWriter.h"

#include <png.h>

#include <cerrno>
#include <cstring>

namespace {

void OnPngError(png_structp png, png_const_charp message) {
  auto* self = static_cast<PngPageWriter*>(png_get_error_ptr(png));
  if (self) self->SetMessage(message);
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

}  // namespace

PngPageWriter::PngPageWriter(std::string path) : path_(std::move(path)) {}

PngPageWriter::~PngPageWriter() { Release(); }

void PngPageWriter::SetMessage(const char* text) {
  std::snprintf(message_, sizeof message_, "%s", text ? text : "libpng error");
}

void PngPageWriter::Release() {
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

bool PngPageWriter::BeginPage(const PageLayout& layout, std::string* error) {
  if (png_ || pageDone_) {
    if (error) *error = path_ + ": a PNG file holds one page";
    return false;
  }
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
  return true;
}

bool PngPageWriter::WriteRow(const uint8_t* row, std::string* error) {
  png_structp png = static_cast<png_structp>(png_);
  if (!png) {
    if (error) *error = path_ + ": no page started";
    return false;
  }
  if (setjmp(png_jmpbuf(png))) return Failed(error);
  // A set bit is white both in the driver's rows and in a 1-bit grey PNG: rows go unchanged.
  png_write_row(png, const_cast<png_bytep>(row));
  return true;
}

bool PngPageWriter::EndPage(std::string* error) {
  png_structp png = static_cast<png_structp>(png_);
  if (!png) {
    if (error) *error = path_ + ": no page started";
    return false;
  }
  if (setjmp(png_jmpbuf(png))) return Failed(error);
  png_write_end(png, static_cast<png_infop>(info_));
  pageDone_ = true;
  FILE* f = file_;
  file_ = nullptr;
  Release();
  if (std::fflush(f) != 0 || std::ferror(f)) {
    std::fclose(f);
    if (error) *error = path_ + ": write failed";
    return false;
  }
  if (std::fclose(f) != 0) {
    if (error) *error = path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool PngPageWriter::Close(std::string* error) {
  if (png_) {
    if (error) *error = path_ + ": page not finished";
    Release();
    return false;
  }
  return true;
}
