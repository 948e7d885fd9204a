// An image stream in front of a byte stream that keeps trailing pad rows (rows the device adds
// below the page and counts only after delivering it) from the reader. It watches the rows as
// they are written and lets the reader have bytes only up to the end of the last stretch that
// holds image content (a byte below 60); once the pad-line count is known it releases all but
// the last that-many rows. When the page's length is announced (SetPageLength), the readable
// limit never passes it, and a page that does not hold exactly that much image once its pad
// rows are taken off is refused (SetNumberOfTrailingPadlines fails) rather than ended.
//
// Threads: the writer calls OpenWriteEnd, Write, MakeWrittenBytesAvailable,
// SetNumberOfTrailingPadlines and CloseWriteEnd (no lock taken); the reader calls OpenReadEnd,
// Read and CloseReadEnd, which hold lock_ throughout, waits included. SetBytesPerLine comes from
// the writer's side before the page; Cancel, Canceled and Ended from any thread.
// Owns the wrapped stream and moreBytesReady_.
// Locks: lock_ serialises the reader side; it is taken before the wrapped stream's own locks.
// The counters are written by one side and read by the other without a lock (atomics); the
// wrapped stream orders the bytes themselves, and every change the reader may wait for is
// followed by a post of moreBytesReady_, so a waiting reader re-checks after it.
// A reader whose request needs more than is readable lets rows gather first (GatherRows): it
// names the limit it wants (wantLimit_) and sleeps on gathered_, which the writer sets only
// when that limit is readable and published (publishedBytes_) or the page ends, is cancelled
// or gets its pad-line count, and at most kGatherMs; so a large read costs the writer a few wake-ups, not one per
// row. Only when the reader looks changes: what it delivers and returns stays the same.
// Held rows: once a light stretch reaches kHoldAfterRows rows, a write of whole rows that ends
// in kMinCopies or more light rows identical to the row before them keeps one copy of that row
// (heldRows_) and counts the rest (heldCounts_) instead of storing them. While rows are held, a write whose rows are all light is held the
// same way, each row that differs from the one before it kept once (at most kMaxHeldRows of
// them). Held rows cannot be read before a later row shows content anyway, so where they are
// kept is the writer's business: a blank stretch taller than the wrapped stream's ring (a white
// margin at 1200 dpi, trailing pad) then costs a few rows of memory instead of sending the page
// in place. The held rows are stored, in batches of kStoreRows published as they go, before
// any other write (readable at once when that write holds content) and when the pad-line count
// releases them; those the count says are pad are never stored. The counters of the page
// (bytesWritten_, the readable limit, the pad-line rule) count held rows like stored ones;
// storedBytes_ is what the wrapped stream has. Writes that split rows are never held.
#ifndef CAVIX_IMAGE_PADLESSSTREAM_H
#define CAVIX_IMAGE_PADLESSSTREAM_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "image/IImageStream.h"
#include "platform/CCriticalSection2.h"
#include "platform/Event.h"
#include "platform/Semaphore.h"

class PadlessStream : public IImageStream {
 public:
  // A byte below this value is dark: a stretch holding one is image content.
  static constexpr uint8_t kDarkThreshold = 60;

  // Takes ownership of `wrapped`.
  explicit PadlessStream(IByteStream* wrapped);
  ~PadlessStream() override;
  PadlessStream(const PadlessStream&) = delete;
  PadlessStream& operator=(const PadlessStream&) = delete;

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
  // Publishes what was written, then lets the wrapped stream pace the writer (PaceWriter).
  bool MakeWrittenBytesAvailable() override;
  void SetBytesPerLine(uint32_t bytesPerLine) override;
  uint32_t GetBytesPerLine() override;
  bool SetNumberOfTrailingPadlines(uint32_t padLines) override;
  void SetPageLength(uint32_t pageLength) override;

 private:
  bool Initialised() const { return moreBytesReady_ != nullptr; }
  // Common checks of Read and Write; `forReading` picks the end that must be open.
  bool IoValid(const uint8_t* buffer, bool forReading);
  // Moves the readable limit past every written stretch with content; throws when the wake-up
  // post fails.
  void DetectPadLines(const uint8_t* p, uint32_t written);
  // Whether one of the len bytes at p is dark (below kDarkThreshold).
  static bool HoldsDarkByte(const uint8_t* p, uint32_t len);
  uint32_t PartialBytesRemaining(uint32_t written);
  // Posts moreBytesReady_; wakes a gathering reader when `always` or its wish is met.
  void WakeReader(bool always);
  // Waits (briefly spinning, then sleeping at most kGatherMs) until the readable limit reaches
  // `target` or the page ends or is cancelled. Reader only.
  void GatherRows(uint32_t target) REQUIRES(lock_);
  // Whether a gathering reader's wanted limit is readable and published.
  bool WishMet() const;
  // Write and CommitWrite past the validity checks: `rows` (`size` bytes) are the caller's, or
  // in place at the write position when `inPlace`. Holds and stores copies (see above).
  StreamStatus WriteRows(const uint8_t* rows, uint32_t size, bool inPlace, uint32_t& bytesWritten);
  // Stores the first `rows` held rows (the rest stay held); `content` when a row with content
  // follows them, which makes them readable. A failure drops all of them. Throws as
  // DetectPadLines.
  StreamStatus StoreHeldRows(uint32_t rows, bool content);
  // How many of the `rows` rows at p, from the last back, equal the row before them.
  static uint32_t TrailingCopies(const uint8_t* p, uint32_t rows, uint32_t width);
  // Holds all `rows` rows at p after those held (true), or none of them (false: a row with
  // content, or one distinct row too many).
  bool HoldRows(const uint8_t* p, uint32_t rows);
  // The readable limit for content ending at `end`: never past the announced page.
  uint32_t LimitFor(uint32_t end) const;

  std::unique_ptr<IByteStream> wrapped_;
  std::atomic<uint32_t> bytesPerLine_{0};
  std::atomic<uint32_t> bytesWritten_{0};    // written by the writer
  std::atomic<uint32_t> readableLimit_{0};   // written by the writer
  std::atomic<uint32_t> publishedBytes_{0};  // bytes the wrapped stream has published; writer
  std::atomic<uint32_t> bytesDelivered_{0};  // written by the reader under lock_; set to 0
                                             // by the writer as a page's write end opens
  std::atomic<uint32_t> pageLength_{0};      // the announced page; 0 = not known; writer
  bool linePartial_ = false;                 // writer only
  uint8_t* space_ = nullptr;                 // writer only: the last WriteSpace answer
  uint32_t spaceSize_ = 0;                   // writer only: its size
  // Held rows (see above); writer only.
  static constexpr uint32_t kMinCopies = 4;    // fewer at a write's end are stored as they come
  static constexpr uint32_t kHoldAfterRows = 32;  // light rows stored before any is held
  static constexpr uint32_t kStoreRows = 16;   // held rows stored per publication
  static constexpr size_t kMaxHeldRows = 16;   // distinct rows kept at most
  uint32_t capacity_ = 0;                      // the page's, from OpenWriteEnd
  uint32_t storedBytes_ = 0;                   // bytes of the page in the wrapped stream
  uint32_t heldCopies_ = 0;                    // rows held: the sum of heldCounts_
  std::vector<uint8_t> heldRows_;              // each distinct held row once, in order
  std::vector<uint32_t> heldCounts_;           // how many rows in a row each stands for
  // Longest a reader lets rows gather before it takes what is readable.
  static constexpr DWORD kGatherMs = 5;
  // Most a reader waits to gather at a time: a larger request is filled in several takes, so
  // that a host reading megabytes at a time moves through the page's memory (which the writer
  // reuses behind it, see BufferedStream) as steadily as one reading less.
  static constexpr uint32_t kGatherBytes = 256 * 1024;

  std::unique_ptr<Semaphore> moreBytesReady_;
  std::unique_ptr<Event> gathered_;          // auto-reset: a gathering reader's wish is met
  std::atomic<uint32_t> wantLimit_{0};       // the readable limit a gathering reader waits
                                             // for; 0 when none
  std::atomic<uint32_t> wakeCount_{0};       // raised after each post of moreBytesReady_: what
                                             // a spinning reader watches
  std::atomic<bool> writeEndOpen_{false};
  std::atomic<bool> readEndOpen_{false};
  CCriticalSection2 lock_;
};

#endif
