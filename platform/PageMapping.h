// Anonymous shared memory of exactly the capacity asked for (mmap MAP_SHARED | MAP_ANONYMOUS,
// huge pages asked for where the kernel offers them for shared memory), unmapped when destroyed. Capacity 0 or a failed mmap throws std::system_error. The owner
// decides who touches the bytes; the object itself is immutable after construction, but for
// the ring view its owner may add (RingView).
//
// Page reuse: a new mapping costs a page fault and a zero-fill for every memory page the first
// time it is touched (about 60 ms for a 27 MB page), and unmapping a touched one costs again.
// Acquire and Recycle keep a small process-wide pool of released mappings so that the next page
// of the same capacity gets memory that is already mapped in. A reused mapping holds whatever
// its earlier page left: owners that hand out only bytes they wrote themselves (the page
// stream) may use it; others construct a PageMapping directly. The pool holds at most
// kPoolLimit mappings, and none while a mapping of another capacity is being created, so it
// never keeps more than the pages just released. Acquire, Recycle, DrainPool and PooledCount
// may be called from any thread; the pool is guarded by its own mutex.
#ifndef CAVIX_PLATFORM_PAGEMAPPING_H
#define CAVIX_PLATFORM_PAGEMAPPING_H

#include <cstddef>
#include <cstdint>
#include <memory>

class PageMapping {
 public:
  // Mappings kept for reuse at most: a stream whose reader is still on one page while its
  // writer fills the next alternates between two.
  static constexpr size_t kPoolLimit = 2;

  explicit PageMapping(size_t capacity);
  ~PageMapping();
  PageMapping(const PageMapping&) = delete;
  PageMapping& operator=(const PageMapping&) = delete;

  uint8_t* Data() const { return data_; }
  size_t Capacity() const { return capacity_; }

  // Moves the memory behind [from, from + length) to [to, to + length) (offsets into the
  // mapping, multiples of the system page size, not overlapping) without copying it (mremap):
  // what was at `to` is dropped, and `from` gets fresh memory of its own (private, zero, none
  // resident), so the owner must be done with its bytes for good. A stream uses this to reuse
  // the memory its reader has passed for the bytes its writer is about to write. False
  // (nothing changed) when the kernel refuses. The caller serialises moves with every access
  // to both ranges. A mapping that had memory moved is never pooled (Recycle releases it).
  // Every mapping call's result is checked: should the kernel move the memory but refuse the
  // source its fresh memory, the source is left inaccessible and the call returns false too;
  // the caller then stops moving for this mapping and never touches that source again.
  bool MoveMemory(size_t from, size_t to, size_t length);
  bool Moved() const { return moved_; }
  // A second view of the mapping's first `length` bytes, mapped twice in a row: byte i of them
  // is at view[i] and at view[length + i], so that `length` consecutive bytes of a ring over
  // them are contiguous wherever the ring wraps. `length` is a multiple of the system page size
  // and at most the capacity. Made by the first call (later calls must ask for the same length,
  // else null), unmapped with the mapping; it uses no memory of its own. Null when the kernel
  // refuses. The owner's thread, before it hands the view out.
  uint8_t* RingView(size_t length);
  // Whether Acquire took this mapping from the pool (its memory is mapped in already).
  bool Reused() const { return reused_; }

  // A mapping of exactly `capacity` bytes: a pooled one of that capacity (contents left over
  // from its earlier page) or, when there is none, a new zeroed one, in which case the pooled
  // mappings of other capacities are released first. Throws as the constructor.
  static std::unique_ptr<PageMapping> Acquire(size_t capacity);
  // Hands a mapping back for reuse by Acquire; beyond kPoolLimit the oldest pooled one is
  // released. A null mapping is ignored.
  static void Recycle(std::unique_ptr<PageMapping> mapping);
  // Releases every pooled mapping.
  static void DrainPool();
  static size_t PooledCount();

 private:
  uint8_t* data_ = nullptr;
  size_t capacity_ = 0;
  bool moved_ = false;       // MoveMemory left holes: the owner's thread only
  uint8_t* ring_ = nullptr;  // RingView's view, 2 x ringLength_ bytes
  size_t ringLength_ = 0;
  bool reused_ = false;  // set by Acquire
};

#endif
