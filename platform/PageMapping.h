// Anonymous shared memory of exactly the capacity asked for (mmap MAP_SHARED | MAP_ANONYMOUS),
// unmapped when destroyed. Capacity 0 or a failed mmap throws std::system_error. The owner
// decides who touches the bytes; the object itself is immutable after construction.
#ifndef CAVIX_PLATFORM_PAGEMAPPING_H
#define CAVIX_PLATFORM_PAGEMAPPING_H

#include <cstddef>
#include <cstdint>

class PageMapping {
 public:
  explicit PageMapping(size_t capacity);
  ~PageMapping();
  PageMapping(const PageMapping&) = delete;
  PageMapping& operator=(const PageMapping&) = delete;

  uint8_t* Data() const { return data_; }
  size_t Capacity() const { return capacity_; }

 private:
  uint8_t* data_ = nullptr;
  size_t capacity_ = 0;
};

#endif
