// Where the bytes of one page live while the page stream writes it: the arithmetic of the ring
// over the front of the page's mapping, apart from the threads that use it (BufferedStream).
// A plain value: no locks, no memory of its own; whoever holds a copy owns it. Positions are
// offsets from the page's start, as the stream counts them (they only grow).
//
// While the reader keeps up, byte `at` of the page lives in the ring at `at` modulo the ring's
// size (a power of two), seen through a view that maps the ring twice in a row so that a run of
// up to the ring's size never splits at the wrap. The writer may write over what the reader has
// passed; once it would write over bytes the reader has not passed, the rest of the page goes in
// place (from LinearFrom on), and the bytes before stay where they are in the ring. A page too
// small for a ring is written in place from its start.
//
//   page offsets:   0 ....................... linearFrom ........................ capacity
//                   |  in the ring, at & (bytes - 1)  |  in place, at the offset itself  |
#ifndef CAVIX_IMAGE_PAGERING_H
#define CAVIX_IMAGE_PAGERING_H

#include <cstddef>
#include <cstdint>

class PageRing {
 public:
  // The ring in the page's rows: the writer's lead, its largest write (16 rows) and the
  // reader's requests fit in it (2 MB for a 600 dpi colour page, 4 MB at 1200 dpi); 4 MB when
  // the rows are not known. Tall blank stretches need no room here: the rows PadlessStream
  // holds back as possible pad are kept there, compactly, until they are known to be image.
  static constexpr size_t kRows = 128;
  static constexpr size_t kMinBytes = size_t(1) << 20;
  static constexpr size_t kMaxBytes = size_t(16) << 20;
  static constexpr size_t kDefaultBytes = size_t(4) << 20;
  // Chunks of memory a page written in place reuses behind its reader: small enough that
  // little memory is held, large enough that moving them is rare.
  static constexpr size_t kChunk = size_t(1) << 20;

  // The ring for a page of `capacity` bytes in rows of `rowLength` (0: not known): kRows rows,
  // a power of two between kMinBytes and kMaxBytes; 0 for a page under twice that.
  static size_t BytesFor(size_t capacity, uint32_t rowLength);
  // Whether a page written in place moves the memory its reader passed ahead of the writer:
  // only a page large enough to gain from it.
  static bool MovesChunks(size_t capacity) { return capacity >= 2 * kDefaultBytes; }

  PageRing() = default;  // no page, or one written in place from its start
  // A page of `capacity` bytes through a ring of `bytes` (a power of two; 0: in place).
  PageRing(size_t capacity, size_t bytes)
      : capacity_(capacity), bytes_(bytes), linearFrom_(bytes != 0 ? capacity : 0) {}

  size_t Bytes() const { return bytes_; }
  size_t LinearFrom() const { return linearFrom_; }
  // How far the writer may run ahead of what the reader has passed, counted up to what the
  // reader may read: three quarters of the ring (of kDefaultBytes without one).
  size_t MaxLead() const { return (bytes_ != 0 ? bytes_ : kDefaultBytes) / 4 * 3; }
  // Whether the writer is paced at all: through a ring, or in place moving chunks.
  bool Paced() const { return bytes_ != 0 || MovesChunks(capacity_); }

  bool InRing(size_t at) const { return bytes_ != 0 && at < linearFrom_; }
  // Where byte `at` (InRing) is in the ring's view.
  size_t RingOffset(size_t at) const { return at & (bytes_ - 1); }
  // How many of the `n` bytes from `at` are in the ring (the rest are in place).
  size_t RingPart(size_t at, size_t n) const;

  // Whether `size` bytes at `at` fit in the ring behind a reader that has passed `passed`.
  bool Fits(size_t at, size_t size, size_t passed) const {
    return InRing(at) && size <= bytes_ && at + size - passed <= bytes_;
  }
  // A full ring: whether a reader that may read up to `readable` could make the room for `size`
  // bytes at `at` (then the writer may wait for it while it moves), and where it must have passed.
  bool ReaderCanMakeRoom(size_t at, size_t size, size_t readable) const {
    return size <= bytes_ && at + size > bytes_ && RoomAt(at, size) <= readable;
  }
  size_t RoomAt(size_t at, size_t size) const { return at + size - bytes_; }
  // The reader is a ring behind: the page goes in place from `at`. Returns where the memory
  // the reader passes starts to be reused: the first whole chunk above both `at` and the
  // ring's own memory (which holds exactly these positions), or the capacity.
  size_t GoInPlace(size_t at);

  // Pacing: where the writer at `writeAt` waits for the reader to come to, given what the
  // reader may read and has passed; 0 for no wait. Never for a reader that has not begun
  // (passed 0), nor again at `stalledAt`, where a reader stood still during a whole wait.
  size_t PaceTarget(size_t writeAt, size_t readable, size_t passed, size_t stalledAt) const;

 private:
  size_t capacity_ = 0;
  size_t bytes_ = 0;
  size_t linearFrom_ = 0;
};

#endif
