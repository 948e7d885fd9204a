#include "sim/PageEncoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

namespace cavixsim {

namespace {
constexpr size_t kJpegBuffer = 16384;
constexpr size_t kRawBatchBytes = 65536;
}  // namespace

// libjpeg state: the compressor, its error manager that jumps back instead of exiting, and a
// destination that hands the compressed bytes to the encoder's pending buffer.
struct PageEncoder::Jpeg {
  jpeg_compress_struct cinfo;
  struct Err {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
  } err;
  jpeg_destination_mgr dest;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(kJpegBuffer);
  std::vector<uint8_t>* pending = nullptr;
  bool created = false;
  bool started = false;
  char message[JMSG_LENGTH_MAX] = {0};

  static void ErrorExit(j_common_ptr cinfo) {
    Err* e = reinterpret_cast<Err*>(cinfo->err);
    std::longjmp(e->jump, 1);
  }
  static void OutputMessage(j_common_ptr) {}
  static void InitDest(j_compress_ptr) {}
  static boolean EmptyBuffer(j_compress_ptr cinfo) {
    Jpeg* self = static_cast<Jpeg*>(cinfo->client_data);
    self->pending->insert(self->pending->end(), self->buffer.begin(), self->buffer.end());
    self->dest.next_output_byte = self->buffer.data();
    self->dest.free_in_buffer = self->buffer.size();
    return TRUE;
  }
  static void TermDest(j_compress_ptr cinfo) {
    static_cast<Jpeg*>(cinfo->client_data)->Drain();
  }
  // Moves what the compressor wrote so far to the pending bytes.
  void Drain() {
    size_t used = buffer.size() - dest.free_in_buffer;
    pending->insert(pending->end(), buffer.begin(), buffer.begin() + long(used));
    dest.next_output_byte = buffer.data();
    dest.free_in_buffer = buffer.size();
  }
};

PageEncoder::PageEncoder(const PageImage& image, int format, uint32_t padLines, int jpegQuality)
    : image_(image),
      format_(format),
      rows_(image.geometry().lines + padLines),
      row_(image.geometry().bytesPerLine) {
  if (format_ != kFormatJfif) return;
  jpeg_.reset(new Jpeg);
  Jpeg& j = *jpeg_;
  j.pending = &pending_;
  j.cinfo.err = jpeg_std_error(&j.err.mgr);
  j.err.mgr.error_exit = &Jpeg::ErrorExit;
  j.err.mgr.output_message = &Jpeg::OutputMessage;
  if (setjmp(j.err.jump)) {
    (*j.cinfo.err->format_message)(reinterpret_cast<j_common_ptr>(&j.cinfo), j.message);
    failed_ = true;
    error_ = std::string("JPEG set-up failed: ") + j.message;
    return;
  }
  jpeg_create_compress(&j.cinfo);
  j.created = true;
  j.cinfo.client_data = &j;
  j.dest.init_destination = &Jpeg::InitDest;
  j.dest.empty_output_buffer = &Jpeg::EmptyBuffer;
  j.dest.term_destination = &Jpeg::TermDest;
  j.dest.next_output_byte = j.buffer.data();
  j.dest.free_in_buffer = j.buffer.size();
  j.cinfo.dest = &j.dest;
  const bool colour = image.colorProcessing() == kColorRgb24;
  j.cinfo.image_width = image.geometry().pixelsPerLine;
  j.cinfo.image_height = rows_;
  j.cinfo.input_components = colour ? 3 : 1;
  j.cinfo.in_color_space = colour ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&j.cinfo);
  jpeg_set_quality(&j.cinfo, jpegQuality, TRUE);
  j.cinfo.density_unit = 1;  // dots per inch
}

PageEncoder::~PageEncoder() {
  if (jpeg_ && jpeg_->created) jpeg_destroy_compress(&jpeg_->cinfo);
}

uint64_t PageEncoder::KnownSize() const {
  return format_ == kFormatJfif ? 0 : uint64_t(rows_) * image_.geometry().bytesPerLine;
}

bool PageEncoder::ProduceRaw() {
  const size_t bpl = row_.size();
  if (bpl == 0 || nextRow_ >= rows_) {
    finished_ = true;
    return false;
  }
  do {
    image_.Row(nextRow_++, row_.data());
    pending_.insert(pending_.end(), row_.begin(), row_.end());
  } while (nextRow_ < rows_ && pending_.size() + bpl <= kRawBatchBytes);
  if (nextRow_ >= rows_) finished_ = true;
  return true;
}

bool PageEncoder::ProduceJpeg() {
  Jpeg& j = *jpeg_;
  if (setjmp(j.err.jump)) {
    (*j.cinfo.err->format_message)(reinterpret_cast<j_common_ptr>(&j.cinfo), j.message);
    failed_ = true;
    error_ = std::string("JPEG compression failed: ") + j.message;
    return false;
  }
  if (!j.started) {
    j.cinfo.X_density = j.cinfo.Y_density = 300;
    jpeg_start_compress(&j.cinfo, TRUE);
    j.started = true;
    j.Drain();  // the headers, whole, as the first piece
    if (!pending_.empty()) return true;
  }
  while (nextRow_ < rows_) {
    image_.Row(nextRow_, row_.data());
    JSAMPROW rowPtr = row_.data();
    jpeg_write_scanlines(&j.cinfo, &rowPtr, 1);
    ++nextRow_;
    if ((nextRow_ & 7) == 0) j.Drain();
    if (!pending_.empty()) return true;
  }
  jpeg_finish_compress(&j.cinfo);
  finished_ = true;
  return !pending_.empty();
}

size_t PageEncoder::Read(uint8_t* buf, size_t len) {
  size_t copied = 0;
  while (copied < len && !failed_) {
    if (pendingPos_ == pending_.size()) {
      pending_.clear();
      pendingPos_ = 0;
      if (finished_) break;
      bool produced = format_ == kFormatJfif ? ProduceJpeg() : ProduceRaw();
      if (!produced && pending_.empty()) {
        if (finished_ || failed_) break;
        continue;
      }
    }
    size_t n = std::min(len - copied, pending_.size() - pendingPos_);
    std::memcpy(buf + copied, pending_.data() + pendingPos_, n);
    pendingPos_ += n;
    copied += n;
  }
  return copied;
}

}  // namespace cavixsim
