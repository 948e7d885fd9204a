#include "platform/PageMapping.h"

#include <errno.h>
#include <sys/mman.h>

#include <system_error>

PageMapping::PageMapping(size_t capacity) {
  if (capacity == 0) throw std::system_error(EINVAL, std::generic_category(), "PageMapping: capacity 0");
  void* p = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "PageMapping: mmap");
  data_ = static_cast<uint8_t*>(p);
  capacity_ = capacity;
}

PageMapping::~PageMapping() { munmap(data_, capacity_); }
