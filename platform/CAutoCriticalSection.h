// Scope guard: enters a CCriticalSection2 in the constructor, leaves it in the destructor.
// Used on one thread (the one that entered).
#ifndef CAVIX_PLATFORM_CAUTOCRITICALSECTION_H
#define CAVIX_PLATFORM_CAUTOCRITICALSECTION_H

#include "platform/CCriticalSection2.h"

class CAutoCriticalSection {
 public:
  explicit CAutoCriticalSection(CCriticalSection2& section) : section_(section) { section_.Enter(); }
  explicit CAutoCriticalSection(CCriticalSection2* section) : CAutoCriticalSection(*section) {}
  ~CAutoCriticalSection() { section_.Leave(); }
  CAutoCriticalSection(const CAutoCriticalSection&) = delete;
  CAutoCriticalSection& operator=(const CAutoCriticalSection&) = delete;

 private:
  CCriticalSection2& section_;
};

#endif
