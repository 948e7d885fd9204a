#include "tools/OutputTarget.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "tools/PageWriterLibrary.h"
#include "tools/PnmPageWriter.h"

namespace {

std::string LowerExtension(const std::string& name) {
  const size_t slash = name.find_last_of('/');
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// Finds the conversions of a pattern: counts "%[0][width]d" and rejects every other '%' use
// except "%%". Returns -1 for a malformed pattern.
int CountConversions(const std::string& name) {
  int count = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] != '%') continue;
    ++i;
    if (i < name.size() && name[i] == '%') continue;
    size_t digits = 0;
    while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i])) && digits < 2) ++i, ++digits;
    if (i >= name.size() || name[i] != 'd') return -1;
    ++count;
  }
  return count;
}

}  // namespace

OutputTarget::OutputTarget(std::string name) : name_(std::move(name)) {
  FormatOf(name_, &format_);
  pattern_ = IsPattern(name_);
}

OutputTarget::~OutputTarget() {
  if (!finished_) Abort();
}

bool OutputTarget::FormatOf(const std::string& name, ImageFormat* format) {
  const std::string ext = LowerExtension(name);
  if (ext == "png") *format = ImageFormat::Png;
  else if (ext == "tif" || ext == "tiff") *format = ImageFormat::Tiff;
  else if (ext == "pnm" || ext == "ppm" || ext == "pgm" || ext == "pbm") *format = ImageFormat::Pnm;
  else if (ext == "pdf") *format = ImageFormat::Pdf;
  else return false;
  return true;
}

bool OutputTarget::IsPattern(const std::string& name) { return CountConversions(name) == 1; }

bool OutputTarget::CheckName(const std::string& name, bool severalPages, std::string* error) {
  ImageFormat format;
  if (!FormatOf(name, &format)) {
    *error = "cannot tell the output format of '" + name + "': use .png, .tif, .tiff, .pdf, .pnm, .ppm, .pgm or .pbm";
    return false;
  }
  const int conversions = CountConversions(name);
  if (conversions < 0 || conversions > 1) {
    *error = "the output name '" + name + "' may hold one page number such as %d or %03d (and %% for a percent sign)";
    return false;
  }
  if (severalPages && conversions == 0 && format == ImageFormat::Png) {
    *error = "a feeder scan gives several pages: give a pattern such as page-%03d.png, or a .tif or .pdf file";
    return false;
  }
  return true;
}

std::string OutputTarget::FileName(const std::string& name, unsigned page) {
  if (!IsPattern(name)) return name;
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] != '%') {
      out += name[i];
      continue;
    }
    if (name[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    size_t j = i + 1;
    while (name[j] != 'd') ++j;
    const std::string conversion = name.substr(i, j - i + 1);
    char buf[32];
    std::snprintf(buf, sizeof buf, conversion.c_str(), page);
    out += buf;
    i = j;
  }
  return out;
}

std::unique_ptr<IPageWriter> OutputTarget::MakeWriter(const std::string& path, std::string* error) const {
  if (format_ == ImageFormat::Pnm) return std::make_unique<PnmPageWriter>(path);
  return PageWriterLibrary::Create(format_, path, error);
}

bool OutputTarget::Failed(std::string* error) const {
  const std::string& temp = file_.TempPath();
  if (error && !temp.empty())
    for (size_t at = error->find(temp); at != std::string::npos; at = error->find(temp, at + currentFile_.size()))
      error->replace(at, temp.size(), currentFile_);
  return false;
}

bool OutputTarget::BeginPage(unsigned page, const PageLayout& layout, std::string* error) {
  if (!writer_ || pattern_) {
    if (!pattern_ && page > 1 && !writer_) {
      *error = name_ + ": holds one page only";
      return false;
    }
    currentFile_ = FileName(name_, page);
    if (!file_.Create(currentFile_, error)) return false;
    writer_ = MakeWriter(file_.TempPath(), error);
    if (!writer_) {
      Failed(error);
      file_.Discard();
      return false;
    }
  } else if (!writer_->MultiPage()) {
    *error = name_ + ": a " + LowerExtension(name_) + " file holds one page; use a pattern such as page-%03d." +
             LowerExtension(name_);
    return false;
  }
  layout_ = layout;
  partial_.clear();
  partial_.reserve(layout.bytesPerLine);
  rows_ = 0;
  return writer_->BeginPage(layout, error) || Failed(error);
}

bool OutputTarget::Write(const uint8_t* data, size_t size, std::string* error) {
  const size_t bpl = layout_.bytesPerLine;
  while (size > 0) {
    if (rows_ >= layout_.height) {
      *error = currentFile_ + ": the scanner sent more rows than the page has";
      return false;
    }
    if (partial_.empty() && size >= bpl) {
      if (!writer_->WriteRow(data, error)) return Failed(error);
      ++rows_;
      data += bpl;
      size -= bpl;
      continue;
    }
    const size_t take = std::min(size, bpl - partial_.size());
    partial_.insert(partial_.end(), data, data + take);
    data += take;
    size -= take;
    if (partial_.size() == bpl) {
      if (!writer_->WriteRow(partial_.data(), error)) return Failed(error);
      ++rows_;
      partial_.clear();
    }
  }
  return true;
}

bool OutputTarget::EndPage(std::string* error) {
  // A part row and missing rows are completed with white: 0xFF in every mode (a set bit is
  // white in the driver's 1-bit rows).
  std::vector<uint8_t> white(layout_.bytesPerLine, 0xFF);
  if (!partial_.empty()) {
    std::copy(partial_.begin(), partial_.end(), white.begin());
    if (!writer_->WriteRow(white.data(), error)) return Failed(error);
    ++rows_;
    ++filledRows_;
    partial_.clear();
    std::fill(white.begin(), white.end(), 0xFF);
  }
  while (rows_ < layout_.height) {
    if (!writer_->WriteRow(white.data(), error)) return Failed(error);
    ++rows_;
    ++filledRows_;
  }
  if (!writer_->EndPage(error)) return Failed(error);
  return !pattern_ || Complete(error);
}

bool OutputTarget::Complete(std::string* error) {
  const bool closed = writer_->Close(error) || Failed(error);
  writer_.reset();
  if (!closed || !file_.Commit(error)) {
    file_.Discard();
    currentFile_.clear();
    return false;
  }
  files_.push_back(currentFile_);
  currentFile_.clear();
  return true;
}

bool OutputTarget::Finish(std::string* error) {
  finished_ = true;
  return !writer_ || Complete(error);
}

bool OutputTarget::Abort() {
  if (writer_) {
    std::string ignored;
    writer_->Close(&ignored);
    writer_.reset();
  }
  const bool dropped = !file_.TempPath().empty();
  file_.Discard();
  currentFile_.clear();
  finished_ = true;
  return dropped;
}
