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
    const size_t ringBytes = RingBytesFor(capacity, rowLength_);
    ring_ = ringBytes != 0 ? page->RingView(ringBytes) : nullptr;
    ringBytes_ = ring_ != nullptr ? ringBytes : 0;
    writeRingBytes_ = ringBytes_;
    maxLead_ = (ringBytes != 0 ? ringBytes : kDefaultRingBytes) / 2;
    linearFrom_ = ring_ != nullptr ? page->Data() + capacity : page->Data();
    writeRing_ = ring_;
    writeLinearFrom_ = linearFrom_;
    // Without a ring the page is written in place from its start, reusing passed memory once
    // the page is large enough to gain from it; the same follows a ring the reader fell behind
    // (a pooled mapping too: beyond its ring, little of it is mapped in).
    spareFrom_ = preparedTo_ = page->Data();
    readable_ = 0;
    ringWaited_ = false;
    movesOn_ = capacity >= 2 * kDefaultRingBytes;
    pacing_ = ring_ != nullptr || movesOn_;
    unpacedWhileAt_ = nullptr;
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
  const uint8_t* ring = nullptr;
  size_t ringBytes = 0;
  const uint8_t* linearFrom = nullptr;
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
    if (base != nullptr && readPos_ >= base) {
      ring = ring_;
      ringBytes = ringBytes_;
      linearFrom = linearFrom_;
    }
  }
  // Copied without countLock_, so that the writer's count of a new row does not wait for a
  // large copy: bytes the counters cover are not written again before the reader has passed
  // them (passedTo_, below), and their page stays mapped while the read end is open (a new
  // page retires it, see OpenWriteEnd). The part in the ring is contiguous in its view: the
  // ring never holds more unread bytes than its size.
  const size_t inRing =
      ring != nullptr && readPos_ < linearFrom ? std::min<size_t>(n, static_cast<size_t>(linearFrom - readPos_)) : 0;
  if (inRing > 0) std::memcpy(buffer, Locate(readPos_, base, ring, ringBytes, linearFrom), inRing);
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

size_t BufferedStream::RingBytesFor(size_t capacity, uint32_t rowLength) {
  size_t ring = kDefaultRingBytes;
  if (rowLength != 0) {
    ring = kMinRingBytes;
    while (ring < kRingRows * rowLength && ring < kMaxRingBytes) ring *= 2;
  }
  return capacity >= 2 * ring ? ring : 0;
}

bool BufferedStream::RoomFor(uint32_t size) const {
  const uint8_t* end = limit_;
  return writePos_ != nullptr && end != nullptr && size <= static_cast<size_t>(end - writePos_);
}

uint8_t* BufferedStream::PrepareRoom(uint32_t size) {
  if (writeRing_ != nullptr && writePos_ < writeLinearFrom_) {
    // Room in the ring ends a ring's length after what the reader has passed.
    const uint8_t* const passed = passedTo_.load(std::memory_order_acquire);
    const bool fits = size <= writeRingBytes_;
    uint8_t* const inRing =
        const_cast<uint8_t*>(Locate(writePos_, writeMapping_->Data(), writeRing_, writeRingBytes_, writeLinearFrom_));
    if (fits && static_cast<size_t>(writePos_ + size - passed) <= writeRingBytes_) return inRing;
    // Full: a reader that can make the room (it has not begun the page yet, as when it is still
    // finishing the one before, or is a little slow) is waited for once, a little; one that
    // could not (the rows it lacks are held back from it) is not.
    uint8_t* const target = writePos_ + size - writeRingBytes_;
    if (fits && !ringWaited_ && static_cast<size_t>(target - writeMapping_->Data()) <= readable_) {
      ringWaited_ = true;
      if (WaitForReader(target)) return inRing;
    }
    // The reader is a ring behind: the rest of the page goes in place. Bytes below here keep
    // their place in the ring. In place, below a ring's length, is the ring's own memory, which
    // holds exactly these positions there; from the first whole chunk above both, the memory
    // the reader passes is reused as below.
    writeLinearFrom_ = writePos_;
    uint8_t* const base = writeMapping_->Data();
    const size_t from = std::max(static_cast<size_t>(writePos_ - base), writeRingBytes_);
    const size_t aligned = (from + kRingChunk - 1) / kRingChunk * kRingChunk;
    uint8_t* const limit = limit_;
    spareFrom_ = preparedTo_ = aligned < static_cast<size_t>(limit - base) ? base + aligned : limit;
    CAutoCriticalSection countGuard(countLock_);
    linearFrom_ = writePos_;
  }
  uint8_t* const end = writePos_ + size;
  uint8_t* const limit = limit_;
  if (movesOn_ && writeMapping_ != nullptr && writePos_ >= spareFrom_) {
    // Every chunk the reader has passed goes ahead, onto the next chunk not made ready yet,
    // so that memory neither piles up behind the reader nor is taken fresh while some is free.
    uint8_t* const base = writeMapping_->Data();
    uint8_t* const passed = passedTo_.load(std::memory_order_acquire);
    while (spareFrom_ + kRingChunk <= passed && static_cast<size_t>(limit - preparedTo_) >= kRingChunk) {
      if (!writeMapping_->MoveMemory(static_cast<size_t>(spareFrom_ - base), static_cast<size_t>(preparedTo_ - base),
                                     kRingChunk)) {
        movesOn_ = false;  // the kernel refused: the rest of the page uses its own memory
        break;
      }
      spareFrom_ += kRingChunk;
      preparedTo_ += kRingChunk;
    }
  }
  if (preparedTo_ < end) {
    // Beyond what came from behind the reader the page's own (fresh) memory is used, a whole
    // chunk at a time, or the rest of the page where less than a chunk is left.
    const size_t chunks = (static_cast<size_t>(end - preparedTo_) + kRingChunk - 1) / kRingChunk;
    preparedTo_ = static_cast<size_t>(limit - preparedTo_) > chunks * kRingChunk ? preparedTo_ + chunks * kRingChunk
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
  if (!pacing_ || writeMapping_ == nullptr || writePos_ == nullptr) return;
  uint8_t* const base = writeMapping_->Data();
  uint8_t* const start = passedTo_.load();
  // The reader can come no closer than what it may read: rows held back above do not count.
  uint8_t* const ahead = static_cast<size_t>(writePos_ - base) > readable ? base + readable : writePos_;
  // Not before the reader has begun (a host that reads late is never waited for), nor again
  // before a reader that did not move during a wait has moved.
  if (start == base || start == unpacedWhileAt_ || ahead <= start || static_cast<size_t>(ahead - start) <= maxLead_)
    return;
  const bool caughtUp = WaitForReader(ahead - maxLead_ / 2);
  // A reader that did not move at all meanwhile has stopped reading for now, or waits for rows
  // not released yet (a long stretch of blank rows): the writer goes on unpaced until it moves.
  if (!caughtUp && passedTo_.load() == start) unpacedWhileAt_ = start;
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
      ring_ = nullptr;
      ringBytes_ = 0;
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
    ring_ = nullptr;
    ringBytes_ = 0;
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
