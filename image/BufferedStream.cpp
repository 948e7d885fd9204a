#include "image/BufferedStream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <vector>

#include "image/ImageLog.h"
#include "image/SpinWait.h"
#include "log/CHRESULT2.h"
#include "log/LogHelpers.h"
#include "platform/CAutoCriticalSection.h"
#include "platform/TimeLimits.h"
#include "platform/Waitable.h"

BufferedStream::BufferedStream() { CHRESULT2 hr(GetGlobalLog(), "BufferedStream::BufferedStream"); }

BufferedStream::~BufferedStream() {
  CHRESULT2 hr(GetGlobalLog(), "BufferedStream::~BufferedStream");
  if (!CloseWriteEnd()) LogText("CloseWriteEnd() failed unexpectedly");
  if (!CloseReadEnd()) LogText("CloseReadEnd() failed unexpectedly");
  // A page whose read end never opened is released here rather than left mapped, and so are
  // the pages kept for reuse: with the stream gone no page of its size is due soon.
  view_ = nullptr;
  limit_ = nullptr;
  mapping_.reset();
  retired_.reset();
  PageMapping::DrainPool();
  CloseEvents();
  dataAvailable_.reset();
}

bool BufferedStream::Initialised() const {
  return writeEndOpened_ && dataAvailable_ && endOfData_ && canceled_;
}

bool BufferedStream::ReadyForReading() const { return Initialised() && readEndOpen_; }

bool BufferedStream::ReadyForWriting() const { return Initialised() && writeEndOpen_; }

void BufferedStream::CloseEvents() {
  writeEndOpened_.reset();
  endOfData_.reset();
  canceled_.reset();
}

bool BufferedStream::Init() {
  CHRESULT2 hr(GetGlobalLog(), "BufferedStream::Init");
  if (Initialised()) return true;
  try {
    writeEndOpened_.reset(new Event(false, false));
    endOfData_.reset(new Event(true, false));
    canceled_.reset(new Event(true, false));
  } catch (const std::exception&) {
    CloseEvents();
    LogErrorText("Failed to create events");
    return LogErrorText("Failed to create events");
  }
  try {
    dataAvailable_.reset(new Semaphore(0, Semaphore::kMaximum));
  } catch (const std::exception&) {
    LogErrorText("Failed to create dataAvailable_");
    CloseEvents();
    return LogErrorText("Failed to create semaphore");
  }
  return true;
}

bool BufferedStream::ResetEndOfDataEvent() {
  try {
    MutexLock flagGuard(flagLock_);
    endOfData_->Reset();
    endedFlag_.store(false, std::memory_order_release);
    return true;
  } catch (const std::exception&) {
    return LogErrorText("Failed to reset end of data event");
  }
}

bool BufferedStream::ResetSemaphore() {
  try {
    dataAvailable_->Reset();
    return true;
  } catch (const std::exception&) {
    return LogErrorText("Failed to reset semaphore");
  }
}

bool BufferedStream::OpenWriteEnd(uint32_t capacity) {
  CHRESULT2 hr(GetGlobalLog(), "BufferedStream::OpenWriteEnd");
  if (!Initialised()) return LogErrorText("BufferedStream not yet initialized");
  if (!ResetEndOfDataEvent()) return LogErrorText("ResetEndOfDataEvent() failed unexpectedly");
  if (!ResetSemaphore()) return LogErrorText("ResetSemaphore() failed unexpectedly");
  std::unique_ptr<PageMapping> page;
  try {
    // The mapping of an earlier page of this capacity is reused when there is one: its memory
    // is mapped in already. Only bytes written for this page are ever read from it.
    page = PageMapping::Acquire(capacity);
  } catch (const std::exception& e) {
    // What failed on Linux (the mmap of the page, as a rule) after the documented text.
    return LogErrorTextWith("CreateFileMapping() failed unexpectedly", e.what());
  }
  if (page->Data() == nullptr) return LogErrorText("MapViewOfFile() failed unexpectedly");
  std::unique_ptr<PageMapping> dropped;
  {
    // The previous page is dropped at once unless a reader still has it open; then it lives
    // until that read end closes.
    CAutoCriticalSection countGuard(countLock_);
    if (mapping_) {
      if (readEndOpen_)
        retired_ = std::move(mapping_);
      else
        dropped = std::move(mapping_);
    }
    writePos_ = page->Data();
    writeMapping_ = page.get();
    // A large page goes through its ring while the reader keeps up (a pooled mapping keeps the
    // view it had); without one it is written in place.
    const size_t ringBytes = PageRing::BytesFor(capacity, rowLength_);
    ringView_ = ringBytes != 0 ? page->RingView(ringBytes) : nullptr;
    ring_ = PageRing(capacity, ringView_ != nullptr ? ringBytes : 0);
    writeRing_ = ring_;
    writeRingView_ = ringView_;
    // Without a ring the page is written in place from its start, reusing passed memory once
    // the page is large enough to gain from it; the same follows a ring the reader fell behind
    // (a pooled mapping too: beyond its ring, little of it is mapped in).
    spareFrom_ = preparedTo_ = page->Data();
    readable_ = 0;
    movesOn_ = PageRing::MovesChunks(capacity);
    stalledAt_ = 0;
    passedTo_.store(page->Data(), std::memory_order_release);
    view_ = page->Data();
    limit_ = page->Data() + capacity;
    mapping_ = std::move(page);
    unreadBytes_ = 0;
    availableBytes_ = 0;
    ++pageGeneration_;
    pageWaiting_ = true;
    writeEndOpen_ = true;  // under the lock: a reader's close never drops a page being written
  }
  PageMapping::Recycle(std::move(dropped));
  try {
    writeEndOpened_->Set();
  } catch (const std::exception&) {
    if (!CloseWriteEnd()) LogText("CloseWriteEnd() failed unexpectedly");
    return LogErrorText("Failed to signal writeEndOpened_");
  }
  return true;
}

// Waits until the writer has opened a page the reader has not taken yet, or a cancel. The page
// is looked at under the locks, the event only wakes the reader: a page that was opened and
// closed again before the reader got here is still there to be read.
bool BufferedStream::WaitForWriteEndToOpen() {
  const auto start = std::chrono::steady_clock::now();
  const uint32_t limit = TimeLimits::Instance().streamReadMs.load();
  const uint32_t cancels = cancelCount_.load();
  try {
    for (;;) {
      if (canceled_->IsSet() || cancelCount_.load() != cancels) {
        LogText("Canceled");
        return false;
      }
      {
        CAutoCriticalSection readGuard(readLock_);
        CAutoCriticalSection countGuard(countLock_);
        uint8_t* view = view_;
        if (pageWaiting_ && view != nullptr) {
          pageWaiting_ = false;
          readPos_ = view;
          readEndOpen_ = true;
          if (!writeEndOpen_) LogText("Write end of stream already closed");
          return true;
        }
      }
      DWORD left = INFINITE;
      if (limit != INFINITE) {
        const auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        if (waited >= static_cast<long long>(limit)) return false;
        left = static_cast<DWORD>(limit - static_cast<uint32_t>(waited));
      }
      // A wake-up that finds no page (one the reader took earlier) just waits again.
      DWORD which = WaitForAny({canceled_.get(), writeEndOpened_.get()}, left);
      if (which != WAIT_OBJECT_0 && which != WAIT_OBJECT_0 + 1) return false;
    }
  } catch (const std::exception&) {
    return false;
  }
}

bool BufferedStream::OpenReadEnd() {
  CHRESULT2 hr(GetGlobalLog(), "BufferedStream::OpenReadEnd");
  if (!Initialised()) return LogErrorText("BufferedStream not yet initialized");
  if (!WaitForWriteEndToOpen()) return LogErrorText("WaitForWriteEndToOpen() failed");
  return true;
}

StreamStatus BufferedStream::LoggedStreamError(const char* message, const char* detail) {
  CHRESULT2 hr(GetGlobalLog(), "LoggedStreamError");
  if (detail != nullptr) {
    LogErrorTextWith(message, detail);
  } else {
    LogErrorText(message);
  }
  return StreamError;
}

bool BufferedStream::ReadBytes(Counter counter, uint8_t*& buffer, uint32_t& remaining,
                               uint32_t& bytesRead) {
  CAutoCriticalSection readGuard(readLock_);
  uint32_t n = 0;
  uint32_t generation = 0;
  const uint8_t* base = nullptr;
  const uint8_t* ringView = nullptr;
  PageRing ring;
  {
    CAutoCriticalSection countGuard(countLock_);
    uint32_t count = counter == kAvailable ? availableBytes_ : unreadBytes_;
    if (buffer == nullptr || remaining == 0 || readPos_ == nullptr || count == 0) return true;
    n = count < remaining ? count : remaining;
    // The bytes lie between readPos_ and the writer's position, inside the page.
    const uint8_t* end = limit_;
    if (end == nullptr || readPos_ + n > end) return LogErrorText("ReadBytes() failed unexpectedly");
    generation = pageGeneration_;
    // Where the bytes live follows the current page's layout, for a position inside it.
    base = view_;
    if (base != nullptr && readPos_ >= base && ringView_ != nullptr) {
      ring = ring_;
      ringView = ringView_;
    }
  }
  // Copied without countLock_, so that the writer's count of a new row does not wait for a
  // large copy: bytes the counters cover are not written again before the reader has passed
  // them (passedTo_, below), and their page stays mapped while the read end is open (a new
  // page retires it, see OpenWriteEnd). The part in the ring is contiguous in its view: the
  // ring never holds more unread bytes than its size.
  const size_t at = ringView != nullptr ? static_cast<size_t>(readPos_ - base) : 0;
  const size_t inRing = ringView != nullptr ? ring.RingPart(at, n) : 0;
  if (inRing > 0) std::memcpy(buffer, ringView + ring.RingOffset(at), inRing);
  if (inRing < n) std::memcpy(buffer + inRing, readPos_ + inRing, n - inRing);
  bool stillAvailable = false;
  {
    CAutoCriticalSection countGuard(countLock_);
    // A page the writer began meanwhile has counters of its own; the copy then counts as
    // taken before it began.
    if (generation == pageGeneration_) {
      unreadBytes_ -= n;
      availableBytes_ = availableBytes_ > n ? availableBytes_ - n : 0;
      stillAvailable = counter == kAvailable && availableBytes_ > 0;
      // Sequentially consistent with the writer's flag: either the writer sees the new position
      // or the reader sees the writer waiting.
      passedTo_.store(readPos_ + n);
      if (writerPacing_.load() && readPos_ + n >= paceTarget_.load()) {
        MutexLock paceGuard(paceLock_);
        readerMoved_.notify_one();
      }
    }
  }
  buffer += n;
  remaining -= n;
  bytesRead += n;
  readPos_ += n;
  // A read smaller than the publication it woke for leaves published bytes: its unit goes back,
  // so that the next read takes them at once instead of waiting for the writer's next
  // publication (which a paced writer holds back until the reader comes closer).
  if (stillAvailable) {
    try {
      dataAvailable_->Release(1);
    } catch (const std::exception&) {
      // The next publication wakes the reader all the same.
    }
  }
  return true;
}

StreamStatus BufferedStream::Read(uint8_t* buffer, uint32_t size, uint32_t& bytesRead) {
  CHRESULT2 hr(GetGlobalLog(), "BufferedStream::Read");
  bytesRead = 0;
  if (buffer == nullptr) return LoggedStreamError("Invalid buffer");
  if (!ReadyForReading()) return LoggedStreamError("Stream not ready for reading");
  uint32_t remaining = size;
  char waitFailure[128];  // what failed on Linux when the wait did
  waitFailure[0] = '\0';
  while (remaining > 0) {
    DWORD which;
    {
      CAutoCriticalSection readGuard(readLock_);
      if (!ReadyForReading())
        return LoggedStreamError("Stream no longer ready to read--another thread closed it?");
      try {
        // Listed in this order so that published data is taken before a cancel or the end.
        const std::vector<Waitable*> signals{dataAvailable_.get(), canceled_.get(), endOfData_.get()};
        // Nothing there yet: the next row is usually a few microseconds away, so the reader
        // spins for it briefly before it sleeps (see SpinWait).
        const uint32_t seen = signalCount_.load(std::memory_order_acquire);
        which = WaitForAny(signals, 0);
        if (which == WAIT_TIMEOUT) {
          SpinWait::UntilChanged(signalCount_, seen);
          which = WaitForAny(signals, TimeLimits::Instance().streamReadMs.load());
        }
      } catch (const std::exception& e) {
        std::snprintf(waitFailure, sizeof waitFailure, "%s", e.what());
        which = WAIT_FAILED;
      }
    }
    if (which == WAIT_OBJECT_0) {
      LogText("DATA_AVAILABLE");
      if (!ReadBytes(kAvailable, buffer, remaining, bytesRead))
        return LoggedStreamError("ReadAvailableBytes() failed unexpectedly");
    } else if (which == WAIT_OBJECT_0 + 1) {
      LogText("CANCELED");
      return StreamCanceled;
    } else if (which == WAIT_OBJECT_0 + 2) {
      LogText("END_OF_DATA");
      // Everything the writer wrote, published or not, is delivered at the end.
      if (!ReadBytes(kUnread, buffer, remaining, bytesRead))
        return LoggedStreamError("ReadAvailableBytes() failed unexpectedly -");
      return remaining == 0 ? StreamOk : StreamEndOfData;
    } else {
      const char* why = waitFailure[0] != '\0' ? waitFailure : which == WAIT_TIMEOUT ? "no signal in time" : "unknown";
      return LoggedStreamError("WaitForMultipleObjects() failed unexpectedly", why);
    }
  }
  return StreamOk;
}

bool BufferedStream::RoomFor(uint32_t size) const {
  const uint8_t* end = limit_;
  return writePos_ != nullptr && end != nullptr && size <= static_cast<size_t>(end - writePos_);
}

uint8_t* BufferedStream::PrepareRoom(uint32_t size) {
  uint8_t* const base = writeMapping_ != nullptr ? writeMapping_->Data() : nullptr;
  const size_t at = static_cast<size_t>(writePos_ - base);
  if (writeRingView_ != nullptr && writeRing_.InRing(at)) {
    // Room in the ring ends a ring's length after what the reader has passed.
    const size_t passed = static_cast<size_t>(passedTo_.load(std::memory_order_acquire) - base);
    uint8_t* const inRing = writeRingView_ + writeRing_.RingOffset(at);
    if (writeRing_.Fits(at, size, passed)) return inRing;
    // Full: a reader that can make the room (it has not begun the page yet, as when it is still
    // finishing the one before, or is slow on a busy machine) is waited for while it moves, a
    // little at a time; one that did not move during a wait, or could not make the room (the
    // rows it lacks are held back from it), is not.
    while (writeRing_.ReaderCanMakeRoom(at, size, readable_)) {
      uint8_t* const before = passedTo_.load(std::memory_order_acquire);
      if (WaitForReader(base + writeRing_.RoomAt(at, size))) return inRing;
      if (passedTo_.load(std::memory_order_acquire) == before) break;
    }
    // The reader is a ring behind: the rest of the page goes in place. Bytes below here keep
    // their place in the ring; the memory the reader passes is reused as below.
    spareFrom_ = preparedTo_ = base + writeRing_.GoInPlace(at);
    CAutoCriticalSection countGuard(countLock_);
    ring_ = writeRing_;
  }
  uint8_t* const end = writePos_ + size;
  uint8_t* const limit = limit_;
  if (movesOn_ && writeMapping_ != nullptr && writePos_ >= spareFrom_) {
    // Every chunk the reader has passed goes ahead, onto the next chunk not made ready yet,
    // so that memory neither piles up behind the reader nor is taken fresh while some is free.
    uint8_t* const passed = passedTo_.load(std::memory_order_acquire);
    while (spareFrom_ + kChunk <= passed && static_cast<size_t>(limit - preparedTo_) >= kChunk) {
      if (!writeMapping_->MoveMemory(static_cast<size_t>(spareFrom_ - base), static_cast<size_t>(preparedTo_ - base),
                                     kChunk)) {
        movesOn_ = false;  // the kernel refused: the rest of the page uses its own memory
        break;
      }
      spareFrom_ += kChunk;
      preparedTo_ += kChunk;
    }
  }
  if (preparedTo_ < end) {
    // Beyond what came from behind the reader the page's own (fresh) memory is used, a whole
    // chunk at a time, or the rest of the page where less than a chunk is left.
    const size_t chunks = (static_cast<size_t>(end - preparedTo_) + kChunk - 1) / kChunk;
    preparedTo_ = static_cast<size_t>(limit - preparedTo_) > chunks * kChunk ? preparedTo_ + chunks * kChunk
                                                                                  : limit;
  }
  return writePos_;
}

void BufferedStream::Advance(uint32_t size) {
  writePos_ += size;
  CAutoCriticalSection countGuard(countLock_);
  unreadBytes_ += size;
}

StreamStatus BufferedStream::Write(const uint8_t* buffer, uint32_t size, uint32_t& bytesWritten) {
  CHRESULT2 hr(GetGlobalLog(), "BufferedStream::Write");
  bytesWritten = 0;
  if (buffer == nullptr) return LoggedStreamError("Invalid buffer");
  if (size == 0) return LoggedStreamError("Invalid bufferSize");
  if (!ReadyForWriting()) return LoggedStreamError("Stream not ready for writing");
  if (Canceled()) return StreamCanceled;
  // Never past the page: a page larger than its capacity is an error, not an overrun.
  if (!RoomFor(size)) return LoggedStreamError("Error writing to memory-mapped file");
  std::memcpy(PrepareRoom(size), buffer, size);
  Advance(size);
  bytesWritten = size;
  return StreamOk;
}

uint8_t* BufferedStream::WriteSpace(uint32_t size) {
  if (size == 0 || !ReadyForWriting() || Canceled() || !RoomFor(size)) return nullptr;
  return PrepareRoom(size);
}

StreamStatus BufferedStream::CommitWrite(uint32_t size, uint32_t& bytesWritten) {
  CHRESULT2 hr(GetGlobalLog(), "BufferedStream::CommitWrite");
  bytesWritten = 0;
  if (size == 0) return LoggedStreamError("Invalid bufferSize");
  if (!ReadyForWriting()) return LoggedStreamError("Stream not ready for writing");
  if (Canceled()) return StreamCanceled;
  if (!RoomFor(size)) return LoggedStreamError("Error writing to memory-mapped file");
  // The bytes are in place already: only the counters move.
  Advance(size);
  bytesWritten = size;
  return StreamOk;
}

bool BufferedStream::MakeWrittenBytesAvailable() {
  CHRESULT2 hr(GetGlobalLog(), "BufferedStream::MakeWrittenBytesAvailable");
  {
    CAutoCriticalSection countGuard(countLock_);
    availableBytes_ = unreadBytes_;
  }
  try {
    if (!dataAvailable_) throw std::exception();
    dataAvailable_->Release(1);
  } catch (const std::exception&) {
    return LogErrorText("Post of dataAvailable_ failed");
  }
  signalCount_.fetch_add(1, std::memory_order_release);
  return true;
}

bool BufferedStream::WaitForReader(uint8_t* target) {
  MutexUniqueLock paceGuard(paceLock_);
  paceTarget_.store(target);
  writerPacing_.store(true);
  const bool caughtUp = readerMoved_.wait_for(paceGuard.Native(), std::chrono::milliseconds(kPaceWaitMs),
                                              [&] { return passedTo_.load() >= target; });
  writerPacing_.store(false);
  return caughtUp;
}

void BufferedStream::PaceWriter(uint32_t readable) {
  readable_ = readable;
  if (!writeRing_.Paced() || writeMapping_ == nullptr || writePos_ == nullptr) return;
  uint8_t* const base = writeMapping_->Data();
  uint8_t* const start = passedTo_.load();
  // Not before the reader has begun (a host that reads late is never waited for), nor again
  // before a reader that did not move during a wait has moved.
  const size_t passed = static_cast<size_t>(start - base);
  const size_t target = writeRing_.PaceTarget(static_cast<size_t>(writePos_ - base), readable, passed, stalledAt_);
  if (target == 0) return;
  const bool caughtUp = WaitForReader(base + target);
  // A reader that did not move at all meanwhile has stopped reading for now, or waits for rows
  // not released yet (a long stretch of blank rows): the writer goes on unpaced until it moves.
  if (!caughtUp && passedTo_.load() == start) stalledAt_ = passed;
}

bool BufferedStream::CloseWriteEnd() {
  CHRESULT2 hr(GetGlobalLog(), "BufferedStream::CloseWriteEnd");
  if (!Initialised() || !writeEndOpen_) return true;
  {
    // The flag goes up before the event and down after it: whoever has seen the event
    // signalled finds the flag set.
    MutexLock flagGuard(flagLock_);
    const bool before = endedFlag_.exchange(true, std::memory_order_acq_rel);
    try {
      endOfData_->Set();
    } catch (const std::exception&) {
      endedFlag_.store(before, std::memory_order_release);
      return LogErrorText("Failed to signal endOfData_");
    }
  }
  signalCount_.fetch_add(1, std::memory_order_release);
  writeEndOpen_ = false;
  writePos_ = nullptr;
  writeMapping_ = nullptr;
  // writeEndOpened_ stays as it is: a reader that has not opened yet still has to find the
  // page, which stays readable (with its end of data) until the read end closes.
  return true;
}

bool BufferedStream::ReleasePage() {
  std::unique_ptr<PageMapping> released;
  {
    CAutoCriticalSection countGuard(countLock_);
    if (retired_) {
      // The reader was still on an earlier page when the writer began the current one.
      released = std::move(retired_);
    } else {
      view_ = nullptr;
      limit_ = nullptr;
      ring_ = PageRing();
      ringView_ = nullptr;
      released = std::move(mapping_);
      unreadBytes_ = 0;
      availableBytes_ = 0;
    }
  }
  // Kept for the next page of the same size, or unmapped when the pool is full.
  PageMapping::Recycle(std::move(released));
  return true;
}

void BufferedStream::DropUnreadPage() {
  std::unique_ptr<PageMapping> released;
  {
    CAutoCriticalSection countGuard(countLock_);
    if (!pageWaiting_ || writeEndOpen_) return;
    pageWaiting_ = false;
    view_ = nullptr;
    limit_ = nullptr;
    ring_ = PageRing();
    ringView_ = nullptr;
    released = std::move(mapping_);
    unreadBytes_ = 0;
    availableBytes_ = 0;
  }
  PageMapping::Recycle(std::move(released));
}

bool BufferedStream::CloseReadEnd() {
  CHRESULT2 hr(GetGlobalLog(), "BufferedStream::CloseReadEnd");
  if (!Initialised()) return true;
  CAutoCriticalSection readGuard(readLock_);
  bool cancelReset = true;
  bool wasCanceled = false;
  try {
    MutexLock flagGuard(flagLock_);
    canceled_->Reset();
    wasCanceled = canceledFlag_.exchange(false, std::memory_order_acq_rel);
  } catch (const std::exception&) {
    cancelReset = LogErrorText("Failed to reset cancel event");
  }
  if (!readEndOpen_) {
    // A reader still waiting for its page may not have woken to the cancel just taken back:
    // it is woken here, and finds the cancel by its count.
    if (wasCanceled) {
      try {
        writeEndOpened_->Set();
      } catch (const std::exception&) {
        LogErrorText("Failed to signal writeEndOpened_");
      }
    }
    // A page the reader never opened (it gave up, or the scan ended) is dropped once its
    // writer is done with it, so that the next open waits for a new page instead of this one.
    DropUnreadPage();
    return ResetEndOfDataEvent();
  }
  bool ended = false;
  try {
    ended = endOfData_->Wait(TimeLimits::Instance().streamWriteMs.load());
  } catch (const std::exception&) {
    ended = false;
  }
  if (!ended) return LogErrorText("Wait on endOfData_ failed");
  readEndOpen_ = false;
  readPos_ = nullptr;
  bool endReset = ResetEndOfDataEvent();
  bool drained = ResetSemaphore();
  bool released = ReleasePage();
  if (!(cancelReset && endReset && drained && released)) return LogErrorText("Failed to close completely");
  return true;
}

bool BufferedStream::Cancel() {
  CHRESULT2 hr(GetGlobalLog(), "BufferedStream::Cancel");
  if (canceled_) {
    // Up before the event, down after it (see CloseWriteEnd).
    MutexLock flagGuard(flagLock_);
    const bool before = canceledFlag_.exchange(true, std::memory_order_acq_rel);
    cancelCount_.fetch_add(1);
    try {
      canceled_->Set();
    } catch (const std::exception&) {
      canceledFlag_.store(before, std::memory_order_release);
      return LogErrorText("Failed to signal canceled_");
    }
    signalCount_.fetch_add(1, std::memory_order_release);
  }
  return true;
}

bool BufferedStream::Canceled() {
  if (!Initialised()) return false;
  return canceledFlag_.load(std::memory_order_acquire);
}

bool BufferedStream::Ended() {
  if (!Initialised()) return false;
  return endedFlag_.load(std::memory_order_acquire);
}
