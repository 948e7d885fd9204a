#include "image/PadlessStream.h"

#include <algorithm>
#include <cstring>

#include <exception>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "image/ImageLog.h"
#include "image/SpinWait.h"
#include "log/CHRESULT2.h"
#include "log/LogHelpers.h"
#include "platform/CAutoCriticalSection.h"
#include "platform/Event.h"
#include "platform/Win32Constants.h"

PadlessStream::PadlessStream(IByteStream* wrapped) : wrapped_(wrapped) {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::PadlessStream");
}

PadlessStream::~PadlessStream() {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::~PadlessStream");
  CloseWriteEnd();
  CloseReadEnd();
  moreBytesReady_.reset();
  wrapped_.reset();
}

bool PadlessStream::Init() {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::Init");
  if (Initialised()) return true;
  try {
    gathered_.reset(new Event(false, false));
    moreBytesReady_.reset(new Semaphore(0, Semaphore::kMaximum));
  } catch (const std::exception&) {
    return LogErrorText("Failed to create moreBytesReady_");
  }
  return wrapped_->Init();
}

bool PadlessStream::OpenWriteEnd(uint32_t capacity) {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::OpenWriteEnd");
  if (!Initialised()) return LogErrorText("Stream not yet initialized");
  bytesWritten_ = 0;
  readableLimit_ = 0;
  publishedBytes_ = 0;
  // The pad-line count may come before the reader opens this page; what it read of the page
  // before must not hold this page's limit up. No byte of the page can have been read yet.
  bytesDelivered_ = 0;
  linePartial_ = false;
  space_ = nullptr;  // room handed out on an earlier page is not this page's
  spaceSize_ = 0;
  capacity_ = capacity;
  storedBytes_ = 0;
  heldCopies_ = 0;  // an earlier page's held rows that were never released
  heldCounts_.clear();
  heldRows_.clear();
  writeEndOpen_ = wrapped_->OpenWriteEnd(capacity);
  if (!writeEndOpen_) return LogErrorText("Unable to open write end of wrapped stream");
  return true;
}

bool PadlessStream::OpenReadEnd() {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::OpenReadEnd");
  if (!Initialised()) return LogErrorText("Stream not yet initialized");
  CAutoCriticalSection guard(lock_);
  bytesDelivered_ = 0;
  readEndOpen_ = wrapped_->OpenReadEnd();
  if (!readEndOpen_) return LogErrorText("Unable to open read end of wrapped stream");
  return true;
}

bool PadlessStream::IoValid(const uint8_t* buffer, bool forReading) {
  const char* fault = nullptr;
  if (buffer == nullptr)
    fault = "NULL buffer";
  else if (!Initialised())
    fault = "Stream not yet initialized";
  else if (bytesPerLine_ == 0)
    fault = "Bytes-per-line not yet set";
  if (fault != nullptr) {
    LogErrorText(fault);
    return LogErrorText("I/O operation invalid");
  }
  if (forReading && !readEndOpen_) return LogErrorText("Read end not yet opened");
  if (!forReading && !writeEndOpen_) return LogErrorText("Write end not yet opened");
  return true;
}

void PadlessStream::WakeReader(bool always) {
  moreBytesReady_->Release(1);
  wakeCount_.fetch_add(1, std::memory_order_release);
  // A reader gathering rows is woken only once its request can be filled, or for a change
  // that ends its gathering (end, cancel, pad-line count).
  if (always || WishMet()) gathered_->Set();
}

bool PadlessStream::WishMet() const {
  const uint32_t wanted = wantLimit_.load();
  return wanted != 0 && readableLimit_.load() >= wanted && publishedBytes_.load() >= wanted;
}

void PadlessStream::GatherRows(uint32_t target) {
  // Readable and published: the wrapped stream then hands the bytes over without a wait.
  auto reached = [this, target] {
    return (readableLimit_.load() >= target && publishedBytes_.load() >= target) || wrapped_->Ended() ||
           wrapped_->Canceled();
  };
  if (SpinWait::Until(reached, SpinWait::kSpinMicroseconds)) return;
  // The wish is made known before the last look, and the writer looks at the limit before the
  // wish (both sequentially consistent): a row that reaches the target is seen by one of them.
  wantLimit_.store(target);
  if (!reached()) {
    try {
      gathered_->Wait(kGatherMs);
    } catch (const std::exception&) {
      // Gathering is only an economy: the read goes on as if the wait had timed out.
    }
  }
  wantLimit_.store(0);
}

uint32_t PadlessStream::PartialBytesRemaining(uint32_t written) {
  uint32_t width = bytesPerLine_;
  uint32_t rest = width - (bytesWritten_ % width);
  uint32_t take = written < rest ? written : rest;
  bytesWritten_ += take;
  linePartial_ = (bytesWritten_ % width) != 0;
  if (take < written && linePartial_)
    ImageLogLine(LOG_ERROR_MSG, "%s", "PadlessStream::PartialBytesRemaining: ERROR: weSkippedAllWeCould is FALSE");
  return take;
}

namespace {

#if defined(__x86_64__) && defined(__GNUC__)
// The same look with 32-byte vectors, 512 bytes a round, for processors that have them:
// light rows are looked at whole, and the rows are still in the cache, so the look costs
// about half.
__attribute__((target("avx2"))) bool HoldsDarkByteAvx2(const uint8_t* p, uint32_t len, uint8_t threshold,
                                                        uint32_t& looked) {
  const __m256i lightest = _mm256_set1_epi8(static_cast<char>(threshold - 1));
  uint32_t i = 0;
  for (; i + 512 <= len; i += 512) {
    const __m256i* b = reinterpret_cast<const __m256i*>(p + i);
    __m256i m[4];
    for (int k = 0; k < 4; ++k)
      m[k] = _mm256_min_epu8(_mm256_min_epu8(_mm256_loadu_si256(b + k), _mm256_loadu_si256(b + k + 4)),
                             _mm256_min_epu8(_mm256_loadu_si256(b + k + 8), _mm256_loadu_si256(b + k + 12)));
    const __m256i all = _mm256_min_epu8(_mm256_min_epu8(m[0], m[1]), _mm256_min_epu8(m[2], m[3]));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(all, lightest), all)) != 0) return true;
  }
  looked = i;
  return false;
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

}  // namespace

bool PadlessStream::HoldsDarkByte(const uint8_t* p, uint32_t len) {
  uint32_t i = 0;
#if defined(__x86_64__) && defined(__GNUC__)
  if (len >= 512 && HasAvx2() && HoldsDarkByteAvx2(p, len, kDarkThreshold, i)) return true;
#endif
#if defined(__SSE2__)
  // The darkest byte of each 256 bytes is found with byte-wise minimums and compared once: a
  // page of light rows is looked at whole, so this is most of the writer's work beside the
  // rows themselves.
  const __m128i lightest = _mm_set1_epi8(static_cast<char>(kDarkThreshold - 1));
  for (; i + 256 <= len; i += 256) {
    const __m128i* block = reinterpret_cast<const __m128i*>(p + i);
    __m128i m = _mm_min_epu8(_mm_loadu_si128(block), _mm_loadu_si128(block + 1));
    for (int k = 2; k < 16; k += 2)
      m = _mm_min_epu8(m, _mm_min_epu8(_mm_loadu_si128(block + k), _mm_loadu_si128(block + k + 1)));
    // A byte of m at or below kDarkThreshold - 1 is unchanged by the minimum with it.
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(m, lightest), m)) != 0) return true;
  }
  for (; i + 16 <= len; i += 16) {
    const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(m, lightest), m)) != 0) return true;
  }
#endif
  for (; i < len; ++i) {
    if (p[i] < kDarkThreshold) return true;
  }
  return false;
}

void PadlessStream::DetectPadLines(const uint8_t* p, uint32_t written) {
  const uint32_t width = bytesPerLine_;
  if (width == 0) return;
  if (linePartial_) {
    // These bytes finish a row begun by an earlier write; they are counted, not examined.
    uint32_t take = PartialBytesRemaining(written);
    p += take;
    written -= take;
  }
  if (written > 0) {
    // Only the last row (or part of a row) holding a dark byte matters: everything up to its
    // end is readable. The rows are looked at from the last one back, so that a run of rows
    // with content costs a look at one of them, not at all of them.
    const uint32_t start = bytesWritten_;
    bytesWritten_ = start + written;
    uint32_t rowEnd = written;
    uint32_t rowStart = (written - 1) / width * width;
    for (;;) {
      if (HoldsDarkByte(p + rowStart, rowEnd - rowStart)) {
        readableLimit_ = LimitFor(start + rowEnd);
        WakeReader(false);
        break;
      }
      if (rowStart == 0) break;
      rowEnd = rowStart;
      rowStart -= width;
    }
  }
  if (bytesWritten_ % width != 0) linePartial_ = true;
}

StreamStatus PadlessStream::Write(const uint8_t* buffer, uint32_t size, uint32_t& bytesWritten) {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::Write");
  bytesWritten = 0;
  if (!IoValid(buffer, false)) {
    LogErrorText("Write attempt was invalid");
    return StreamError;
  }
  return WriteRows(buffer, size, false, bytesWritten);
}

uint32_t PadlessStream::LimitFor(uint32_t end) const {
  // Rows past the announced page (pad rows, or more than the page) are never readable before
  // the pad-line count has settled what the page is.
  const uint32_t page = pageLength_.load();
  return page != 0 && end > page ? page : end;
}

uint32_t PadlessStream::TrailingCopies(const uint8_t* p, uint32_t rows, uint32_t width) {
  uint32_t copies = 0;
  while (copies + 1 < rows) {
    const uint8_t* row = p + static_cast<size_t>(rows - 1 - copies) * width;
    if (std::memcmp(row, row - width, width) != 0) break;
    ++copies;
  }
  return copies;
}

bool PadlessStream::HoldRows(const uint8_t* p, uint32_t rows) {
  const uint32_t width = bytesPerLine_;
  const size_t distinct = heldCounts_.size();
  const size_t heldBytes = heldRows_.size();
  const uint32_t lastCount = heldCounts_.back();
  for (uint32_t i = 0; i < rows; ++i) {
    const uint8_t* row = p + static_cast<size_t>(i) * width;
    if (std::memcmp(row, heldRows_.data() + heldRows_.size() - width, width) == 0) {
      ++heldCounts_.back();
      continue;
    }
    if (heldCounts_.size() == kMaxHeldRows || HoldsDarkByte(row, width)) {
      // All or nothing: the rows held before this write stay as they were.
      heldCounts_.resize(distinct);
      heldRows_.resize(heldBytes);
      heldCounts_.back() = lastCount;
      return false;
    }
    heldRows_.insert(heldRows_.end(), row, row + width);
    heldCounts_.push_back(1);
  }
  heldCopies_ += rows;
  return true;
}

StreamStatus PadlessStream::StoreHeldRows(uint32_t rows, bool content) {
  const uint32_t width = bytesPerLine_;
  size_t which = 0;   // the held row being copied
  uint32_t used = 0;  // and how many times it was
  auto next = [&]() -> const uint8_t* {
    while (used == heldCounts_[which]) {
      ++which;
      used = 0;
    }
    ++used;
    return heldRows_.data() + which * width;
  };
  StreamStatus status = StreamOk;
  while (rows > 0 && status == StreamOk) {
    uint32_t n = rows < kStoreRows ? rows : kStoreRows;
    uint32_t got = 0;
    if (uint8_t* space = wrapped_->WriteSpace(n * width)) {
      for (uint32_t i = 0; i < n; ++i) std::memcpy(space + static_cast<size_t>(i) * width, next(), width);
      status = wrapped_->CommitWrite(n * width, got);
    } else {
      // No room (or no stream to write to): a row at a time, which says why.
      n = 1;
      status = wrapped_->Write(next(), width, got);
    }
    if (status != StreamOk) break;
    storedBytes_ += got;
    heldCopies_ -= n;
    rows -= n;
    // The rows go out as they are stored, so that the wrapped stream keeps them in its ring.
    if (content) readableLimit_ = LimitFor(storedBytes_);
    if (!wrapped_->MakeWrittenBytesAvailable()) status = StreamError;
    publishedBytes_.store(storedBytes_);
    if (content) WakeReader(false);
    const uint32_t limit = readableLimit_.load();
    wrapped_->PaceWriter(limit < storedBytes_ ? limit : storedBytes_);
  }
  if (status != StreamOk || heldCopies_ == 0) {
    // All stored, or the page failed: what was not stored is dropped with it.
    bytesWritten_ = storedBytes_;
    heldCopies_ = 0;
    heldCounts_.clear();
    heldRows_.clear();
  } else if (used > 0) {
    // Rows not stored (pad rows) stay held, in order, as if they had been stored.
    heldCounts_[which] -= used;
    const size_t gone = which + (heldCounts_[which] == 0 ? 1 : 0);
    heldCounts_.erase(heldCounts_.begin(), heldCounts_.begin() + static_cast<ptrdiff_t>(gone));
    heldRows_.erase(heldRows_.begin(), heldRows_.begin() + static_cast<ptrdiff_t>(gone * width));
  }
  return status;
}

StreamStatus PadlessStream::WriteRows(const uint8_t* p, uint32_t size, bool inPlace, uint32_t& bytesWritten) {
  bytesWritten = 0;
  const uint32_t width = bytesPerLine_;
  // Copies are held only while the page has room for them, as if they were stored: a write
  // past the capacity fails as it always did, and so does one after a cancel.
  const bool fits = size != 0 && size <= capacity_ - bytesWritten_ && !wrapped_->Canceled();
  const bool mayHold = fits && !linePartial_ && size % width == 0;
  const uint32_t rows = size / width;
  std::vector<uint8_t> moved;
  try {
    if (heldCopies_ > 0 && size != 0) {
      if (mayHold && HoldRows(p, rows)) {
        bytesWritten_ += size;
        bytesWritten = size;
        return StreamOk;
      }
      // Anything else is stored after the held rows, which come first. Rows made in place lie
      // where the held rows go: they are moved aside first.
      if (inPlace) {
        moved.assign(p, p + size);
        p = moved.data();
        inPlace = false;
      }
      // A write that will fail shows nothing about the held rows: they are stored still held.
      const StreamStatus status = StoreHeldRows(heldCopies_, fits && HoldsDarkByte(p, size));
      if (status != StreamOk) return status;
    }
    // A short light stretch costs the ring little: rows are held only once the stretch would
    // have kHoldAfterRows rows in the wrapped stream, so that most stretches cost no copying.
    const bool longStretch = storedBytes_ + size - readableLimit_.load() >= kHoldAfterRows * width;
    uint32_t copies = 0;
    const uint8_t* last = mayHold && longStretch && rows > kMinCopies ? p + size - width : nullptr;
    // Only light rows are held: copies of a row with content are readable at once. The last
    // two rows are compared first, so that most writes cost a look at the start of one row.
    if (last != nullptr && std::memcmp(last, last - width, width) == 0 && !HoldsDarkByte(last, width)) {
      copies = TrailingCopies(p, rows, width);
      if (copies < kMinCopies) copies = 0;
    }
    const uint32_t store = size - copies * width;
    const StreamStatus status = inPlace ? wrapped_->CommitWrite(store, bytesWritten)
                                        : wrapped_->Write(p, store, bytesWritten);
    if (status == StreamOk || status == StreamEndOfData) {
      storedBytes_ += bytesWritten;
      DetectPadLines(p, bytesWritten);
      if (bytesWritten == store && copies > 0) {
        heldRows_.assign(last, last + width);
        heldCounts_.assign(1, copies);
        heldCopies_ = copies;
        bytesWritten_ += copies * width;
        bytesWritten = size;
      }
    }
    return status;
  } catch (const std::exception&) {
    LogErrorText("Failed while detecting pad lines");
    return StreamError;
  }
}

uint8_t* PadlessStream::WriteSpace(uint32_t size) {
  space_ = nullptr;
  spaceSize_ = 0;
  if (!Initialised() || !writeEndOpen_ || bytesPerLine_ == 0) return nullptr;
  space_ = wrapped_->WriteSpace(size);
  if (space_ != nullptr) spaceSize_ = size;
  return space_;
}

StreamStatus PadlessStream::CommitWrite(uint32_t size, uint32_t& bytesWritten) {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::CommitWrite");
  bytesWritten = 0;
  const uint8_t* written = space_;
  const uint32_t room = spaceSize_;
  space_ = nullptr;
  spaceSize_ = 0;
  if (written == nullptr || size > room) {
    LogErrorText("Commit without the space for it");
    return StreamError;
  }
  if (!IoValid(written, false)) {
    LogErrorText("Write attempt was invalid");
    return StreamError;
  }
  // The rows are looked at where they were produced, as Write looks at the caller's copy.
  return WriteRows(written, size, true, bytesWritten);
}

StreamStatus PadlessStream::Read(uint8_t* buffer, uint32_t size, uint32_t& bytesRead) {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::Read");
  CAutoCriticalSection guard(lock_);
  bytesRead = 0;
  if (!IoValid(buffer, true)) {
    LogErrorText("Read attempt was invalid");
    return StreamError;
  }
  if (wrapped_->Ended() && readableLimit_ == bytesDelivered_) return StreamEndOfData;
  for (;;) {
    if (bytesRead == size) return StreamOk;
    const uint32_t seen = wakeCount_.load(std::memory_order_acquire);
    uint32_t limit = readableLimit_;
    uint32_t delivered = bytesDelivered_;
    const uint32_t remaining = size - bytesRead;
    if (limit > delivered && limit - delivered < remaining && !wrapped_->Ended() && !wrapped_->Canceled()) {
      // The writer is still at work: rows are let gather until the request can be filled (or
      // a little while has passed), so that the reader takes them in one go instead of being
      // handed them row by row.
      GatherRows(delivered + std::min(remaining, kGatherBytes));
      limit = readableLimit_;
      if (limit <= delivered) continue;
    }
    if (limit > delivered) {
      uint32_t want = limit - delivered;
      if (want > remaining) want = remaining;
      uint32_t got = 0;
      StreamStatus status = wrapped_->Read(buffer + bytesRead, want, got);
      bytesDelivered_ = delivered + got;
      bytesRead += got;
      if (status == StreamOk) continue;
      // The wrapped stream has nothing more: what was written is all delivered.
      if (status == StreamEndOfData) {
        if (got == 0) return StreamEndOfData;
        continue;
      }
      LogText("Read failed");
      return status;
    }
    // Nothing readable now: wait until the writer moves the limit, closes, or a cancel comes.
    if (wrapped_->Canceled()) {
      LogText("Stream cancel detected");
      return StreamCanceled;
    }
    if (!wrapped_->Ended() || readableLimit_ != limit) {
      if (!wrapped_->Ended()) {
        GatherRows(delivered + std::min(remaining, kGatherBytes));
        if (readableLimit_ != limit || wrapped_->Ended() || wrapped_->Canceled()) continue;
      }
      try {
        // The next row with content is usually a few microseconds away: spin for it briefly
        // before sleeping (see SpinWait).
        if (!moreBytesReady_->Wait(0)) {
          SpinWait::UntilChanged(wakeCount_, seen);
          moreBytesReady_->Wait(INFINITE);
        }
      } catch (const std::exception&) {
        LogErrorText("Wait failed");
        return StreamError;
      }
      continue;
    }
    LogText("Stream end-of-data detected");
    return StreamEndOfData;
  }
}

bool PadlessStream::CloseWriteEnd() {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::CloseWriteEnd");
  if (!Initialised() || !writeEndOpen_) return true;
  bool closed = wrapped_->CloseWriteEnd();
  try {
    WakeReader(true);
  } catch (const std::exception&) {
    return LogErrorText("Unable to wake reader");
  }
  writeEndOpen_ = !closed;
  return closed;
}

bool PadlessStream::CloseReadEnd() {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::CloseReadEnd");
  if (!Initialised()) return true;
  CAutoCriticalSection guard(lock_);
  if (!wrapped_->CloseReadEnd()) return LogErrorText("Unable to close read end");
  bytesPerLine_ = 0;
  readEndOpen_ = false;
  return true;
}

bool PadlessStream::Cancel() {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::Cancel");
  if (!Initialised()) return LogErrorText("Stream not yet initialized");
  bool ok = true;
  if (!wrapped_->Cancel()) ok = LogErrorText("Cancel failed");
  try {
    WakeReader(true);
  } catch (const std::exception&) {
    return LogErrorText("Unable to wake reader");
  }
  return ok;
}

bool PadlessStream::Canceled() {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::Canceled");
  if (!Initialised()) return LogErrorText("Stream not yet initialized");
  return wrapped_->Canceled();
}

bool PadlessStream::Ended() {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::Ended");
  if (!Initialised()) return LogErrorText("Stream not yet initialized");
  return wrapped_->Ended();
}

bool PadlessStream::MakeWrittenBytesAvailable() {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::MakeWrittenBytesAvailable");
  if (!Initialised()) return LogErrorText("Stream not yet initialized");
  if (!writeEndOpen_) return LogErrorText("Write end not open");
  if (!wrapped_->MakeWrittenBytesAvailable()) return false;
  // Everything stored so far can now be read without waiting on the wrapped stream.
  publishedBytes_.store(storedBytes_);
  if (WishMet()) gathered_->Set();
  // Only now may the writer wait for the reader, and only as far as the reader may read: rows
  // held back as possible pad rows cannot bring it closer.
  const uint32_t published = publishedBytes_.load();
  const uint32_t limit = readableLimit_.load();
  wrapped_->PaceWriter(limit < published ? limit : published);
  return true;
}

void PadlessStream::SetBytesPerLine(uint32_t bytesPerLine) {
  bytesPerLine_ = bytesPerLine;
  wrapped_->SetRowLength(bytesPerLine);
  ImageLogLine(LOG_INFO_MSG, "bytesPerLine_ %d", static_cast<int>(bytesPerLine));
}

uint32_t PadlessStream::GetBytesPerLine() { return bytesPerLine_; }

bool PadlessStream::SetNumberOfTrailingPadlines(uint32_t padLines) {
  CHRESULT2 hr(GetGlobalLog(), "PadlessStream::SetNumberOfTrailingPadlines");
  ImageLogLine(LOG_INFO_MSG, "padlines %d", static_cast<int>(padLines));
  const uint32_t written = bytesWritten_;
  // A 64-bit product: a huge count must not wrap round to a small one.
  uint64_t pad = static_cast<uint64_t>(padLines) * bytesPerLine_;
  if (pad > written) {
    ImageLogLine(LOG_WARNING_MSG, "%s", "Warning: Client claims that the image contains");
    ImageLogLine(LOG_WARNING_MSG, "%s", "more padlines than there are lines in the entire image.");
    ImageLogLine(LOG_WARNING_MSG, "%s", "Automatically reducing padline count to compensate...");
    pad = written;
  }
  const uint32_t limit = written - static_cast<uint32_t>(pad);
  const uint32_t page = pageLength_.load();
  if (page != 0 && limit != page) {
    // Longer or shorter than announced (or ending inside a row): not the page the host asked
    // for. The reader keeps its limit (never past the page) and the page is not ended here.
    ImageLogLine(LOG_ERROR_MSG, "Error: the page holds %u bytes of image, %u were announced", limit, page);
    return false;
  }
  if (heldCopies_ > 0) {
    // Held rows below the limit are image; those above it are pad rows, which stay held and
    // are never stored unless more rows follow.
    const uint32_t image = limit > storedBytes_ ? (limit - storedBytes_) / bytesPerLine_ : 0;
    StreamStatus status = StreamOk;
    try {
      status = StoreHeldRows(image < heldCopies_ ? image : heldCopies_, true);
    } catch (const std::exception&) {
      status = StreamError;
    }
    if (status != StreamOk) return LogErrorText("Unable to store the rows held back");
  }
  uint32_t delivered = bytesDelivered_;
  readableLimit_ = limit > delivered ? limit : delivered;
  try {
    WakeReader(true);
  } catch (const std::exception&) {
    return LogErrorText("Unable to wake reader");
  }
  return true;
}

void PadlessStream::SetPageLength(uint32_t pageLength) { pageLength_ = pageLength; }
