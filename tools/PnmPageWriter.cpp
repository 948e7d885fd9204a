#include "tools/PnmPageWriter.h"

#include <cerrno>
#include <cstring>

PnmPageWriter::PnmPageWriter(std::string path) : path_(std::move(path)) {}

PnmPageWriter::~PnmPageWriter() {
  if (file_) std::fclose(file_);
}

bool PnmPageWriter::Fail(std::string* error) {
  if (error) *error = path_ + ": " + std::strerror(errno ? errno : EIO);
  return false;
}

std::string PnmPageWriter::Header(const PageLayout& layout) {
  const char* magic = layout.mode == ColorMode::Color ? "P6" : layout.mode == ColorMode::Gray ? "P5" : "P4";
  std::string h = std::string(magic) + "\n# resolution " + std::to_string(layout.dpi) + " dpi\n" +
                  std::to_string(layout.width) + " " + std::to_string(layout.height) + "\n";
  if (layout.mode != ColorMode::BlackWhite) h += "255\n";
  return h;
}

bool PnmPageWriter::BeginPage(const PageLayout& layout, std::string* error) {
  errno = 0;
  if (!file_) {
    file_ = std::fopen(path_.c_str(), "wb");
    if (!file_) return Fail(error);
  }
  layout_ = layout;
  buffer_.assign(layout.bytesPerLine, 0);
  const std::string h = Header(layout);
  if (std::fwrite(h.data(), 1, h.size(), file_) != h.size()) return Fail(error);
  return true;
}

bool PnmPageWriter::WriteRow(const uint8_t* row, std::string* error) {
  errno = 0;
  if (!file_) return Fail(error);
  const uint8_t* out = row;
  if (layout_.mode == ColorMode::BlackWhite) {
    for (uint32_t i = 0; i < layout_.bytesPerLine; ++i) buffer_[i] = static_cast<uint8_t>(~row[i]);
    out = buffer_.data();
  }
  if (std::fwrite(out, 1, layout_.bytesPerLine, file_) != layout_.bytesPerLine) return Fail(error);
  return true;
}

bool PnmPageWriter::EndPage(std::string* error) {
  errno = 0;
  if (!file_ || std::fflush(file_) != 0) return Fail(error);
  return true;
}

bool PnmPageWriter::Close(std::string* error) {
  if (!file_) return true;
  errno = 0;
  FILE* f = file_;
  file_ = nullptr;
  const bool bad = std::ferror(f) != 0;
  if (std::fclose(f) != 0 || bad) return Fail(error);
  return true;
}
