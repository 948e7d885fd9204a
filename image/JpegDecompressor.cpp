#include "image/JpegDecompressor.h"

#include <unistd.h>

#include <cstring>
#include <exception>
#include <string>

#include "image/ImageLog.h"
#include "log/CHRESULT2.h"
#include "log/LogHelpers.h"
#include "platform/TempFile.h"

JpegDecompressor::JpegDecompressor() {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::JpegDecompressor");
  std::memset(&decompressionState_, 0, sizeof decompressionState_);
  std::memset(&errorManager_, 0, sizeof errorManager_);
  file_ = nullptr;
}

JpegDecompressor::~JpegDecompressor() {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::~JpegDecompressor");
  Abort();
}

void JpegDecompressor::JpegErrorHandler(j_common_ptr info) {
  {
    CHRESULT2 hr(GetGlobalLog(), "JpegErrorHandler");
    ImageLogLine(LOG_ERROR_MSG, "Exception thrown = %d", 0);
  }
  // The error manager is the first member of ErrorManager.
  ErrorManager* manager = reinterpret_cast<ErrorManager*>(info->err);
  longjmp(manager->jump, 1);
}

bool JpegDecompressor::CallLibrary(void (*step)(JpegDecompressor*)) {
  if (setjmp(errorManager_.jump) != 0) return false;
  step(this);
  return true;
}

void JpegDecompressor::ReleasePage() {
  if (created_) {
    // Destroying never raises an error; it frees the object's memory pools.
    jpeg_destroy_decompress(&decompressionState_);
    created_ = false;
  }
  rowBuffer_ = nullptr;
  if (file_ != nullptr) {
    std::fclose(file_);
    file_ = nullptr;
  }
  fileLength_ = 0;
}

void JpegDecompressor::Abort() { ReleasePage(); }

bool JpegDecompressor::SubmitFirstBuffer(const uint8_t* bytes, uint32_t length) {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::SubmitFirstBuffer");
  ReleasePage();  // a page that never finished is dropped
  fileLength_ = 0;
  rowBuffer_ = nullptr;
  rowsRead_ = 0;
  if (bytes == nullptr || length == 0) return LogErrorText("Invalid buffer");
  try {
    TempFile temp("x4U");
    std::snprintf(tempPath_, sizeof tempPath_, "%s", temp.Path().c_str());
    int fd = dup(temp.Fd());
    if (fd >= 0) {
      file_ = fdopen(fd, "w+b");
      if (file_ == nullptr) close(fd);
    }
    // Leaving the block removes the name; the open file lives on until it is closed.
  } catch (const std::exception&) {
    file_ = nullptr;
  }
  if (file_ == nullptr) return LogErrorText("fopen() failed unexpectedly");
  LogText(tempPath_);
  size_t written = std::fwrite(bytes, 1, length, file_);
  fileLength_ += static_cast<int32_t>(written);
  if (written != length || std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0) {
    ReleasePage();
    return LogErrorText("fopen() failed unexpectedly");
  }
  decompressionState_.err = jpeg_std_error(&errorManager_.pub);
  errorManager_.pub.error_exit = &JpegDecompressor::JpegErrorHandler;
  LogText(tempPath_);
  bool ok = CallLibrary([](JpegDecompressor* self) {
    jpeg_create_decompress(&self->decompressionState_);
    self->created_ = true;
    jpeg_stdio_src(&self->decompressionState_, self->file_);
    jpeg_read_header(&self->decompressionState_, TRUE);
  });
  if (!ok) {
    ReleasePage();
    return LogErrorText("jpeg library exception");
  }
  LogNamedValue("decompressionState_.output_scanline", static_cast<int>(decompressionState_.output_scanline));
  LogNamedValue("decompressionState_.output_height", static_cast<int>(decompressionState_.output_height));
  return true;
}

bool JpegDecompressor::StartDecompression() {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::StartDecompression");
  if (!created_ || file_ == nullptr) return LogErrorText("jpeg_start_decompress() failed unexpectedly");
  if (!CallLibrary([](JpegDecompressor* self) { jpeg_start_decompress(&self->decompressionState_); }))
    return LogErrorText("jpeg_start_decompress() failed unexpectedly");
  rowBuffer_ = nullptr;
  bool ok = CallLibrary([](JpegDecompressor* self) {
    jpeg_decompress_struct& state = self->decompressionState_;
    self->rowBuffer_ = (*state.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&state), JPOOL_IMAGE,
                                                  state.output_width * state.output_components, 1);
  });
  if (!ok || rowBuffer_ == nullptr) return LogErrorText("Buffer allocation failed");
  return true;
}

bool JpegDecompressor::SubmitNextBuffer(const uint8_t* bytes, uint32_t length) {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::SubmitNextBuffer");
  if (file_ == nullptr) return LogErrorText("Invalid file_");
  if (bytes == nullptr) return LogErrorText("Invalid buffer");
  if (length == 0) return LogErrorText("Invalid bufferSize");
  long readPosition = std::ftell(file_);
  if (readPosition < 0 || std::fseek(file_, 0, SEEK_END) != 0)
    return LogErrorText("error in determining current position in file");
  size_t written = std::fwrite(bytes, 1, length, file_);
  long end = std::ftell(file_);
  if (end < 0) return LogErrorText("error in determining current position in file");
  fileLength_ = static_cast<int32_t>(end);
  if (std::fflush(file_) != 0 || std::fseek(file_, readPosition, SEEK_SET) != 0)
    return LogErrorText("error in determining current position in file");
  return written == length;
}

bool JpegDecompressor::EnoughDataAvailableForDecompression(bool final) {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::EnoughDataAvailableForDecompression");
  if (final) return true;
  if (file_ == nullptr) return LogErrorText("file_ is NULL");
  long position = std::ftell(file_);
  if (position < 0) return LogErrorText("ftell() failed unexpectedly");
  int32_t ahead = fileLength_ - static_cast<int32_t>(position);
  int32_t needed = 2 * static_cast<int32_t>(decompressionState_.output_components) *
                   static_cast<int32_t>(decompressionState_.output_width);
  return ahead >= needed;
}

bool JpegDecompressor::GetRow(std::unique_ptr<uint8_t[]>& row, uint32_t& rowLength, bool final) {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::GetRow");
  row.reset();
  rowLength = 0;
  if (!EnoughDataAvailableForDecompression(final)) return false;
  if (!created_ || rowBuffer_ == nullptr) return LogErrorText("jpeg_read_scanlines failed unexpectedly");
  if (decompressionState_.output_scanline >= decompressionState_.output_height) {
    LogNamedValue("decompressionState_.output_scanline", static_cast<int>(decompressionState_.output_scanline));
    LogNamedValue("decompressionState_.output_height", static_cast<int>(decompressionState_.output_height));
    return LogErrorText("Out of data");
  }
  LogNamedValue("decompressionState_.output_scanline", static_cast<int>(decompressionState_.output_scanline));
  LogNamedValue("decompressionState_.output_height", static_cast<int>(decompressionState_.output_height));
  rowsRead_ = 0;
  if (!CallLibrary([](JpegDecompressor* self) {
        self->rowsRead_ = jpeg_read_scanlines(&self->decompressionState_, self->rowBuffer_, 1);
      }))
    return LogErrorText("jpeg_read_scanlines failed unexpectedly");
  if (rowsRead_ < 1) return false;
  const uint32_t width = decompressionState_.output_width;
  const uint32_t components = static_cast<uint32_t>(decompressionState_.output_components);
  const JSAMPLE* samples = rowBuffer_[0];
  if (components == 1) {
    row.reset(new uint8_t[width]);
    std::memcpy(row.get(), samples, width);
    rowLength = width;
  } else {
    row.reset(new uint8_t[3u * width]());
    uint8_t* out = row.get();
    if (components == 3) {
      std::memcpy(out, samples, 3u * width);
    } else {
      for (uint32_t x = 0; x < width; ++x) {
        const JSAMPLE* pixel = samples + static_cast<size_t>(x) * components;
        out[3 * x] = pixel[0];
        out[3 * x + 1] = components > 1 ? pixel[1] : 0;
        out[3 * x + 2] = components > 2 ? pixel[2] : 0;
      }
    }
    rowLength = 3u * width;
  }
  return true;
}

bool JpegDecompressor::FinishDecompress() {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::FinishDecompress");
  bool ok = created_;
  if (created_) {
    ok = CallLibrary([](JpegDecompressor* self) {
      jpeg_decompress_struct& state = self->decompressionState_;
      // Ending before the last row is not an error: the rows not read are dropped.
      state.output_height = state.output_scanline;
      jpeg_finish_decompress(&state);
    });
  }
  ReleasePage();
  if (!ok) return LogErrorText("jpeg_finish_decompress failed unexpectedly");
  return true;
}
