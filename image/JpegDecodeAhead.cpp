// JpegDecompressor's decoding ahead: a large colour page's sample rows are decoded on the
// decode-ahead thread into a ring of block rows, and upsampled and converted to RGB rows on the
// thread that asks for rows (see JpegDecompressor.h).
#include <algorithm>
#include <system_error>

#include "image/ImageLog.h"
#include "image/JpegDecompressor.h"
#include "log/CHRESULT2.h"
#include "log/LogHelpers.h"

namespace {

// Pages are split only for the library whose output stage YccRowConverter reproduces
// (libjpeg-turbo 2.x with the version 6b interface); with another, colour pages are decoded in
// one piece.
#if defined(LIBJPEG_TURBO_VERSION_NUMBER) && JPEG_LIB_VERSION == 62 && LIBJPEG_TURBO_VERSION_NUMBER >= 2000000 && \
    LIBJPEG_TURBO_VERSION_NUMBER < 3000000
constexpr bool kKnownOutputStage = true;
#else
constexpr bool kKnownOutputStage = false;
#endif

// Block rows the ring holds: the converter needs two at a time (a row and the one above it),
// the rest let the decoder run ahead while the converting thread does something else. Each
// slot is fresh memory a page pays for in faults (about 120 KB at 600 dpi): more than a wake-up
// batch and its margin bought no time.
constexpr uint32_t kRingSlots = 8;
// Decoded block rows that wake a converting thread waiting for rows: waking it for each one
// would have it preempt the decoder once per block row where both share a processor.
constexpr uint32_t kWakeBlockRows = 4;
// Chroma sample rows in a block row: the layouts split here keep chroma at one block per MCU.
constexpr uint32_t kChromaBlockRowHeight = DCTSIZE;

}  // namespace

bool JpegDecompressor::PrepareDecodeAhead() {
  jpeg_decompress_struct& s = decompressionState_;
  if (!decodeAheadWanted_) return false;
  if (!kKnownOutputStage) return false;
  // The layouts whose output stage YccRowConverter reproduces: three components, YCbCr to RGB,
  // one scan, full size, the library's default (fancy) upsampling.
  if (s.num_components != 3 || s.jpeg_color_space != JCS_YCbCr || s.out_color_space != JCS_RGB) return false;
  if (jpeg_has_multiple_scans(&s) || s.scale_num != s.scale_denom || !s.do_fancy_upsampling || s.CCIR601_sampling ||
      s.quantize_colors)
    return false;
  const jpeg_component_info* c = s.comp_info;
  for (int k = 1; k < 3; ++k)
    if (c[k].h_samp_factor != 1 || c[k].v_samp_factor != 1) return false;
  YccRowConverter::Layout layout;
  if (c[0].h_samp_factor == 1 && c[0].v_samp_factor == 1)
    layout = YccRowConverter::Layout::Full;
  else if (c[0].h_samp_factor == 2 && c[0].v_samp_factor == 1)
    layout = YccRowConverter::Layout::HalfAcross;
  else if (c[0].h_samp_factor == 2 && c[0].v_samp_factor == 2)
    layout = YccRowConverter::Layout::HalfBothWays;
  else
    return false;
  // The library upsamples narrower chroma rows without the filter.
  if (s.image_width < 16 || s.image_height == 0 || c[1].downsampled_width < 3) return false;
  if (!aheadThread_.joinable()) {
    try {
      aheadThread_ = std::thread(&JpegDecompressor::AheadThreadMain, this);
    } catch (const std::system_error&) {
      LogText("No decode-ahead thread: the page is decoded in one piece");
      return false;
    }
  }
  blockRowHeight_ = static_cast<uint32_t>(c[0].v_samp_factor) * DCTSIZE;
  blockRows_ = s.total_iMCU_rows;
  chromaRows_ = c[1].downsampled_height;
  pageRows_ = s.image_height;
  pageWidth_ = s.image_width;
  ringSlots_ = kRingSlots;
  for (int k = 0; k < 3; ++k) {
    const size_t width = static_cast<size_t>(c[k].width_in_blocks) * DCTSIZE;
    const uint32_t height = k == 0 ? blockRowHeight_ : kChromaBlockRowHeight;
    ringPlanes_[k].resize(width * height * ringSlots_);
    ringRowPointers_[k].resize(static_cast<size_t>(height) * ringSlots_);
    for (size_t i = 0; i < ringRowPointers_[k].size(); ++i) ringRowPointers_[k][i] = ringPlanes_[k].data() + i * width;
  }
  converter_.reset(new YccRowConverter(layout, s.image_width, c[1].downsampled_width));
  aheadWakeBytes_ = static_cast<int32_t>(2 * 3 * s.image_width);
  s.raw_data_out = TRUE;
  return true;
}

void JpegDecompressor::AheadThreadMain() {
  MutexUniqueLock lock(aheadLock_);
  for (;;) {
    aheadWake_.wait(lock.Native(),
                    [this]() REQUIRES(aheadLock_) { return aheadExit_ || (aheadPage_ && AheadCanStep()); });
    if (aheadExit_) return;
    const uint64_t version = dataVersion_;
    const bool final = aheadFinal_;
    final_ = final;
    const uint32_t slot = blockRowsDecoded_ % ringSlots_;
    aheadStepping_ = true;
    lock.Unlock();
    const int32_t lengthSeen = FileLength();
    const int result = DecodeBlockRow(slot);
    lock.Lock();
    aheadStepping_ = false;
    if (result > 0) {
      ++blockRowsDecoded_;
      const bool pageDecoded = blockRowsDecoded_ == blockRows_;
      // (A page being taken back is told at once.)
      if (aheadPage_ && !pageDecoded && rowsConverted_ < pageRows_ &&
          blockRowsDecoded_ < NewestBlockRowFor(rowsConverted_) + 1 + kWakeBlockRows)
        continue;  // the converting thread gets these with the next ones
    } else if (result < 0 || final) {
      // With the whole page in, the library never waits for more: no row is a failure.
      aheadFailed_ = true;
    } else {
      stalledAt_ = version;
      stalledLength_ = lengthSeen;
    }
    aheadDone_.notify_all();
  }
}

bool JpegDecompressor::AheadCanStep() const {
  if (aheadFailed_ || blockRowsDecoded_ >= blockRows_) return false;
  if (stalledAt_ == dataVersion_) return false;  // nothing new since it ran out
  const uint32_t oldest = rowsConverted_ < pageRows_ ? OldestBlockRowFor(rowsConverted_) : blockRowsDecoded_;
  return blockRowsDecoded_ < oldest + ringSlots_;
}

int JpegDecompressor::DecodeBlockRow(uint32_t slot) {
  aheadPlanes_[0] = ringRowPointers_[0].data() + static_cast<size_t>(slot) * blockRowHeight_;
  aheadPlanes_[1] = ringRowPointers_[1].data() + static_cast<size_t>(slot) * kChromaBlockRowHeight;
  aheadPlanes_[2] = ringRowPointers_[2].data() + static_cast<size_t>(slot) * kChromaBlockRowHeight;
  LoadInput();
  for (;;) {
    aheadLines_ = 0;
    // A suspended block row is resumed into the same slot: the library keeps what it decoded.
    const ScanError read = CallLibrary([](JpegDecompressor* self) {
      self->aheadLines_ = jpeg_read_raw_data(&self->decompressionState_, self->aheadPlanes_, self->blockRowHeight_);
      return true;
    });
    if (!read.Ok()) {
      LogLibraryError("jpeg_read_raw_data failed unexpectedly", read);
      return -1;
    }
    if (truncated_) {
      LogText("Compressed data ends before the last row");
      return -1;
    }
    if (aheadLines_ > 0) return 1;
    if (!LoadMoreAfterSuspension()) return 0;
  }
}


uint32_t JpegDecompressor::NewestBlockRowFor(uint32_t row) const {
  if (converter_->layout() != YccRowConverter::Layout::HalfBothWays) return row / blockRowHeight_;
  const uint32_t chroma = row / 2;
  const uint32_t other = (row & 1) ? std::min(chroma + 1, chromaRows_ - 1) : chroma;
  return other / kChromaBlockRowHeight;
}

uint32_t JpegDecompressor::OldestBlockRowFor(uint32_t row) const {
  if (converter_->layout() != YccRowConverter::Layout::HalfBothWays) return row / blockRowHeight_;
  const uint32_t chroma = row / 2;
  const uint32_t other = (row & 1) || chroma == 0 ? chroma : chroma - 1;
  return other / kChromaBlockRowHeight;
}

void JpegDecompressor::ConvertRow(uint32_t row, uint8_t* into) {
  const uint32_t slotRow = (row / blockRowHeight_ % ringSlots_) * blockRowHeight_ + row % blockRowHeight_;
  const JSAMPROW luma = ringRowPointers_[0][slotRow];
  auto chroma = [this](int component, uint32_t at) {
    return ringRowPointers_[component][(at / kChromaBlockRowHeight % ringSlots_) * kChromaBlockRowHeight +
                                       at % kChromaBlockRowHeight];
  };
  if (converter_->layout() != YccRowConverter::Layout::HalfBothWays) {
    converter_->Convert(luma, chroma(1, row), nullptr, chroma(2, row), nullptr, into);
    return;
  }
  // The nearer chroma row, and the one above it (even rows) or below it (odd rows), the row
  // itself at the page's top and bottom.
  const uint32_t near = row / 2;
  const uint32_t other = (row & 1) ? std::min(near + 1, chromaRows_ - 1) : (near == 0 ? 0 : near - 1);
  converter_->Convert(luma, chroma(1, near), chroma(1, other), chroma(2, near), chroma(2, other), into);
}

bool JpegDecompressor::GetRowsAhead(uint8_t* into, uint32_t maxRows, uint32_t& rows, bool final) {
  rows = 0;
  const size_t rowLength = static_cast<size_t>(pageWidth_) * 3;
  MutexUniqueLock lock(aheadLock_);
  if (final && !aheadFinal_) {
    aheadFinal_ = true;
    ++dataVersion_;
    aheadWake_.notify_one();
  }
  while (rows < maxRows && rowsConverted_ < pageRows_) {
    uint32_t ready = 0;
    while (rows + ready < maxRows && rowsConverted_ + ready < pageRows_ &&
           NewestBlockRowFor(rowsConverted_ + ready) < blockRowsDecoded_)
      ++ready;
    if (ready > 0) {
      // The ahead thread does not touch these rows' block rows until they are counted.
      const uint32_t first = rowsConverted_;
      lock.Unlock();
      for (uint32_t i = 0; i < ready; ++i) ConvertRow(first + i, into + (rows + i) * rowLength);
      lock.Lock();
      rowsConverted_ += ready;
      rows += ready;
      aheadWake_.notify_one();  // room in the ring
      continue;
    }
    if (aheadFailed_) {
      failed_ = true;
      LogErrorText("jpeg_read_scanlines failed unexpectedly");
      break;
    }
    // Waits while the ahead thread works on the data there is; not for data still to come.
    if (!aheadStepping_ && stalledAt_ == dataVersion_) break;
    aheadDone_.wait(lock.Native());
  }
  return rows > 0;
}

void JpegDecompressor::StopAhead() {
  if (!split_.load()) return;
  MutexUniqueLock lock(aheadLock_);
  aheadPage_ = false;
  aheadDone_.wait(lock.Native(), [this]() REQUIRES(aheadLock_) { return !aheadStepping_; });
}

void JpegDecompressor::EndAheadThread() {
  if (!aheadThread_.joinable()) return;
  {
    MutexLock guard(aheadLock_);
    aheadExit_ = true;
  }
  aheadWake_.notify_all();
  aheadThread_.join();
}
