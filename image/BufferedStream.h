// The one-page byte pipe between the writer thread (the SOAP exchange that delivers a page) and
// the reader thread (the host's read). Each page lives whole in one anonymous shared mapping of
// the capacity the writer asks for (a released page's mapping of that capacity is reused, see
// PageMapping::Acquire); the writer copies rows in and publishes them, the reader
// blocks until bytes are published, the writer closes its end, or somebody cancels. The stream
// is linear (offsets only grow; where the bytes are kept is below) and the object is reused
// page after page.
//
// Threads: one writer (OpenWriteEnd, Write, MakeWrittenBytesAvailable, CloseWriteEnd) and one
// reader (OpenReadEnd, Read, CloseReadEnd) per page; Cancel, Canceled and Ended from any thread.
// Owns the page mapping and the four kernel objects.
// Locks, each taken in this order and never the other way round:
//   readLock_  (recursive) serialises the reader side; held through the reader's waits.
//   countLock_ (recursive) guards the byte counters, the page's ring and the page hand-over;
//              taken by both sides, by the reader inside readLock_.
//   paceLock_  with readerMoved_: the writer's pacing wait (WaitForReader, no other lock
//              held); the reader takes it inside countLock_ only to wake that writer.
//   flagLock_  makes each change of an end flag and its event one step; taken by Cancel,
//              CloseWriteEnd, and by the reader's close inside readLock_.
// The semaphore and the three events lock nothing the stream sees. Neither copy holds countLock_: a
// byte is written before the counter that covers it is raised under countLock_, the reader never
// touches bytes beyond the counters it sees under countLock_, so every byte read was completely
// written, and the reader takes the bytes it copied off the counters afterwards (unless a new page
// began meanwhile).
// The end flags and page pointers that both sides look at are atomics; the page itself is
// replaced only by OpenWriteEnd and released only by CloseReadEnd, and the event handshake
// (writeEndOpened_, endOfData_) orders those against the other side.
// Memory behind the reader: while the reader keeps up, the page is written into a ring over the
// front of its mapping (PageRing::BytesFor) instead of the whole of it: the stream is linear and
// the reader never reads below what it has passed, so the writer may write over what the reader has
// passed (passedTo_, raised after its copy). The ring is seen through the mapping's ring view
// (PageMapping::RingView), in which a ring's length of bytes in a row are contiguous, so rows
// decoded in place and the reader's copies never split at the wrap. A page then costs its ring in
// memory, whatever its size, and no change to the mapping while it is written. Once the writer
// would write over bytes the reader has not passed (a reader that reads late or pauses, rows held
// back for it), the rest of the page is written straight into the mapping (PageRing::GoInPlace);
// bytes before that point stay in the ring. Offsets into the page (writePos_, readPos_, passedTo_)
// are the mapping's addresses either way; where a byte lives follows from the page's PageRing,
// which holds all of the ring's arithmetic. In place, the memory of whole chunks (PageRing::kChunk)
// the reader has passed is moved ahead to where the writer writes next (PageMapping::MoveMemory)
// instead of touching fresh memory, so that a reader that catches up again holds little memory; a
// reader that stays behind passes nothing, and the page grows to its size. Pages too small for a
// ring, or whose ring the kernel refuses, are written in place from their start.
// The writer is paced to a reader that reads as the page arrives: once what the reader may read
// (rows a layer above holds back do not count) is more than PageRing::MaxLead ahead of a reader that
// has begun, PaceWriter (called once a publication is made
// in every layer of streams, see PadlessStream) waits at most kPaceWaitMs for the reader to come
// closer, so that on a busy machine the page stays in its ring even when the decoding threads
// outrun the host. The rows published are the same and come as soon
// as before for the reader; a reader that does not move during a wait (it stopped reading, or
// waits for rows not released yet) is not waited for again until it moves, so a late or
// pausing host costs the writer one such wait per pause at most.
// A page opened by the writer waits for its reader (pageWaiting_) even when the writer has
// closed it again before the reader came: the reader opens it, reads it and meets its end at
// once. writeEndOpened_ only wakes a waiting reader; the reader decides by pageWaiting_.
#ifndef CAVIX_IMAGE_BUFFEREDSTREAM_H
#define CAVIX_IMAGE_BUFFEREDSTREAM_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "image/IByteStream.h"
#include "image/PageRing.h"
#include "platform/CCriticalSection2.h"
#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/PageMapping.h"
#include "platform/Semaphore.h"

class BufferedStream : public IByteStream {
 public:
  BufferedStream();
  ~BufferedStream() override;
  BufferedStream(const BufferedStream&) = delete;
  BufferedStream& operator=(const BufferedStream&) = delete;

  bool Init() override;
  bool OpenWriteEnd(uint32_t capacity) override;
  bool OpenReadEnd() override;
  StreamStatus Read(uint8_t* buffer, uint32_t size, uint32_t& bytesRead) override;
  StreamStatus Write(const uint8_t* buffer, uint32_t size, uint32_t& bytesWritten) override;
  uint8_t* WriteSpace(uint32_t size) override;
  StreamStatus CommitWrite(uint32_t size, uint32_t& bytesWritten) override;
  bool CloseWriteEnd() override;
  bool CloseReadEnd() override;
  bool Cancel() override;
  bool Canceled() override;
  bool Ended() override;
  bool MakeWrittenBytesAvailable() override;
  // See above: waits for a reader that has fallen far behind. Writer only, after a publication.
  void PaceWriter(uint32_t readable = UINT32_MAX) override;
  // Sizes the ring of the pages that follow (see PageRing::BytesFor). Writer only, between pages.
  void SetRowLength(uint32_t bytes) override { rowLength_ = bytes; }

 private:
  enum Counter { kAvailable, kUnread };

  bool Initialised() const;
  bool ReadyForReading() const;
  bool ReadyForWriting() const;
  bool WaitForWriteEndToOpen();
  bool ResetEndOfDataEvent();
  bool ResetSemaphore();
  void DropUnreadPage();
  bool ReleasePage();
  void CloseEvents();
  // Copies up to `remaining` bytes of the chosen counter to the caller; see Read.
  bool ReadBytes(Counter counter, uint8_t*& buffer, uint32_t& remaining, uint32_t& bytesRead);
  StreamStatus LoggedStreamError(const char* message, const char* detail = nullptr);
  // Whether `size` more bytes fit in the page at the write position. Writer only.
  bool RoomFor(uint32_t size) const;
  // Counts `size` bytes at the write position as written. Writer only.
  void Advance(uint32_t size);
  // Where the next `size` bytes at the write position are to be written: in the ring while
  // they fit behind the reader, else (from then on) in place. Writer only, before it writes.
  uint8_t* PrepareRoom(uint32_t size);
  // Waits at most kPaceWaitMs for the reader to pass `target`; whether it did. Writer only.
  bool WaitForReader(uint8_t* target);

  // Chunks of memory a page written in place reuses behind its reader (moved ahead with
  // PageMapping::MoveMemory).
  static constexpr size_t kChunk = PageRing::kChunk;
  // The writer may run PageRing::MaxLead ahead of a reader that reads as the page arrives; a
  // waiting writer lets the reader come to three eighths of the ring (over what a reader
  // gathers before it takes rows, see PadlessStream, even in the smallest ring, so that a reader
  // waiting for rows and the writer never wait on each other). The longest it waits at a time:
  static constexpr int kPaceWaitMs = 20;

  std::unique_ptr<PageMapping> mapping_;      // the current page; replaced by the writer only
                                              // while no read end is open, released by the reader
  std::unique_ptr<PageMapping> retired_;      // an earlier page still open for reading
  std::atomic<uint8_t*> view_{nullptr};       // base of the current page
  std::atomic<uint8_t*> limit_{nullptr};      // end of the current page
  uint8_t* writePos_ = nullptr;               // writer only
  PageMapping* writeMapping_ = nullptr;       // the page being written; writer only
  // Where the current page's bytes live (set by the writer; the reader copies it) and its
  // ring view, or null for a page written in place.
  PageRing ring_ GUARDED_BY(countLock_);
  uint8_t* ringView_ GUARDED_BY(countLock_) = nullptr;
  uint32_t rowLength_ = 0;                    // the next pages' rows, if known; writer only
  PageRing writeRing_;                        // ring_, for the writer without the lock
  uint8_t* writeRingView_ = nullptr;          // ringView_, for the writer without the lock
  uint32_t readable_ = 0;                     // what the reader may read, from PaceWriter; writer only
  // In place, behind a reader that fell a ring behind: writer only.
  uint8_t* preparedTo_ = nullptr;             // end of the chunks made ready
  uint8_t* spareFrom_ = nullptr;              // the oldest passed chunk not moved yet
  bool movesOn_ = false;                      // passed chunks' memory is moved ahead
  std::atomic<uint8_t*> passedTo_{nullptr};   // the reader will read nothing below this again
  size_t stalledAt_ = 0;                      // where the reader stood during a wait it did not
                                              // move in (page offset, 0: none); writer only
  Mutex paceLock_ ACQUIRED_AFTER(countLock_);  // with readerMoved_: the writer's pacing wait
  std::condition_variable readerMoved_;       // the reader has passed more of the page
  std::atomic<bool> writerPacing_{false};     // the writer waits on readerMoved_
  std::atomic<uint8_t*> paceTarget_{nullptr}; // where the reader wakes the waiting writer
  uint8_t* readPos_ GUARDED_BY(readLock_) = nullptr;  // reader only
  uint32_t unreadBytes_ GUARDED_BY(countLock_) = 0;
  std::unique_ptr<Event> writeEndOpened_;     // auto-reset
  std::atomic<bool> writeEndOpen_{false};
  std::atomic<bool> readEndOpen_{false};
  CCriticalSection2 readLock_ ACQUIRED_BEFORE(countLock_, flagLock_);
  CCriticalSection2 countLock_;
  std::unique_ptr<Semaphore> dataAvailable_;  // one unit per publication, and one back for
                                              // published bytes a read leaves
  std::unique_ptr<Event> endOfData_;          // manual-reset
  std::unique_ptr<Event> canceled_;           // manual-reset
  uint32_t availableBytes_ GUARDED_BY(countLock_) = 0;
  uint32_t pageGeneration_ GUARDED_BY(countLock_) = 0;  // raised by each OpenWriteEnd
  bool pageWaiting_ GUARDED_BY(countLock_) = false;  // a page opened by the writer, not yet
                                                     // taken by a reader
  // Whether canceled_ and endOfData_ are signalled, kept beside the events so that Canceled
  // and Ended, asked for every row, need no lock. A flag is raised before its event is
  // signalled and lowered after it is reset: a thread that has seen the event signalled (in a
  // wait) always finds the flag raised.
  // flagLock_ makes each change of a flag and its event one step, so that a cancel and a
  // reset (or an end and a reset) that cross cannot leave them disagreeing.
  Mutex flagLock_;
  std::atomic<bool> canceledFlag_{false};  // see above; changed under flagLock_
  std::atomic<bool> endedFlag_{false};     // see above; changed under flagLock_
  std::atomic<uint32_t> signalCount_{0};      // raised after each publication, end and cancel:
                                              // what a spinning reader watches
  std::atomic<uint32_t> cancelCount_{0};      // raised by each cancel, never lowered: a reader
                                              // waiting for its page sees a cancel that a close
                                              // took back before the reader woke
};

#endif
