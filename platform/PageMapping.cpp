#include "platform/PageMapping.h"

#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/Mutex.h"

#ifndef MREMAP_DONTUNMAP
#define MREMAP_DONTUNMAP 4  // Linux 5.7; the C library's headers may predate it
#endif

PageMapping::PageMapping(size_t capacity) {
  if (capacity == 0) throw std::system_error(EINVAL, std::generic_category(), "PageMapping: capacity 0");
  void* p = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "PageMapping: mmap");
  data_ = static_cast<uint8_t*>(p);
  capacity_ = capacity;
  // Fewer faults and page-table entries where shared memory may use huge pages; a kernel that
  // does not offer them refuses, which changes nothing.
  (void)madvise(p, capacity, MADV_HUGEPAGE);
}

bool PageMapping::MoveMemory(size_t from, size_t to, size_t length) {
  if (length == 0 || from + length > capacity_ || to + length > capacity_) return false;
  if (from < to + length && to < from + length) return false;
  // The source stays mapped (MREMAP_DONTUNMAP) so that its addresses never become free for
  // another mapping of the process to land in (and be unmapped with this one later); it is
  // then replaced at once by fresh private memory, which leaves the moved memory to the
  // destination alone and costs nothing until touched.
  void* moved = mremap(data_ + from, length, length, MREMAP_MAYMOVE | MREMAP_FIXED | MREMAP_DONTUNMAP, data_ + to);
  if (moved == MAP_FAILED) return false;
  moved_ = true;
  void* fresh = mmap(data_ + from, length, PROT_READ | PROT_WRITE,
                     MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (fresh != MAP_FAILED) return true;
  // Refused (out of mappings, as a rule): the source still shows the memory now at the
  // destination. It is closed to every access (its own mapping already, so nothing is split),
  // and the move counts as failed, so that the caller moves no more and leaves the source be.
  (void)mprotect(data_ + from, length, PROT_NONE);
  return false;
}

uint8_t* PageMapping::RingView(size_t length) {
  if (ring_ != nullptr) return length == ringLength_ ? ring_ : nullptr;
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (length == 0 || length % page != 0 || length > capacity_) return nullptr;
  // Address space for both halves first, so that nothing else can land between them; each half
  // then becomes a new mapping of the same shared memory (mremap of a shared mapping with an
  // old size of 0), replacing its part of the reservation.
  void* reserved = mmap(nullptr, 2 * length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserved == MAP_FAILED) return nullptr;
  uint8_t* const view = static_cast<uint8_t*>(reserved);
  for (uint8_t* half : {view, view + length}) {
    if (mremap(data_, 0, length, MREMAP_MAYMOVE | MREMAP_FIXED, half) == MAP_FAILED) {
      munmap(view, 2 * length);
      return nullptr;
    }
  }
  ring_ = view;
  ringLength_ = length;
  return ring_;
}

PageMapping::~PageMapping() {
  if (ring_ != nullptr) munmap(ring_, 2 * ringLength_);
  munmap(data_, capacity_);
}

namespace {

struct Pool {
  Mutex lock;
  std::deque<std::unique_ptr<PageMapping>> mappings GUARDED_BY(lock);  // oldest first
};

Pool& ThePool() {
  // Never destroyed: streams may release pages from static destructors.
  static Pool* pool = new Pool;
  return *pool;
}

}  // namespace

std::unique_ptr<PageMapping> PageMapping::Acquire(size_t capacity) {
  if (capacity == 0) throw std::system_error(EINVAL, std::generic_category(), "PageMapping: capacity 0");
  std::deque<std::unique_ptr<PageMapping>> released;
  {
    Pool& pool = ThePool();
    MutexLock guard(pool.lock);
    // The most recently released fitting mapping: its memory is the most likely to be warm.
    for (auto it = pool.mappings.rbegin(); it != pool.mappings.rend(); ++it) {
      if ((*it)->Capacity() == capacity) {
        std::unique_ptr<PageMapping> found = std::move(*it);
        pool.mappings.erase(std::next(it).base());
        found->reused_ = true;
        return found;
      }
    }
    released.swap(pool.mappings);
  }
  // Unmapped outside the lock, before the new mapping takes its memory.
  released.clear();
  return std::unique_ptr<PageMapping>(new PageMapping(capacity));
}

void PageMapping::Recycle(std::unique_ptr<PageMapping> mapping) {
  if (!mapping || mapping->Moved()) return;  // one with holes is released
  std::unique_ptr<PageMapping> oldest;
  {
    Pool& pool = ThePool();
    MutexLock guard(pool.lock);
    pool.mappings.push_back(std::move(mapping));
    if (pool.mappings.size() > kPoolLimit) {
      oldest = std::move(pool.mappings.front());
      pool.mappings.pop_front();
    }
  }
}

void PageMapping::DrainPool() {
  std::deque<std::unique_ptr<PageMapping>> released;
  Pool& pool = ThePool();
  MutexLock guard(pool.lock);
  released.swap(pool.mappings);
}

size_t PageMapping::PooledCount() {
  Pool& pool = ThePool();
  MutexLock guard(pool.lock);
  return pool.mappings.size();
}
