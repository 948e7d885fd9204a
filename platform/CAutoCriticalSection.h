// Scope guard: enters a CCriticalSection2 in the constructor, leaves it in the destructor.
// Used on one thread (the one that entered). To the thread-safety analysis it holds the section
// from its construction to the end of its scope.
#ifndef CAVIX_PLATFORM_CAUTOCRITICALSECTION_H
#define CAVIX_PLATFORM_CAUTOCRITICALSECTION_H

#include "platform/CCriticalSection2.h"

class SCOPED_CAPABILITY CAutoCriticalSection {
 public:
  explicit CAutoCriticalSection(CCriticalSection2& section) ACQUIRE(section) : section_(section) {
    section_.Enter();
  }
  explicit CAutoCriticalSection(CCriticalSection2* section) ACQUIRE(section)
      : CAutoCriticalSection(*section) {}
  ~CAutoCriticalSection() RELEASE() { section_.Leave(); }
  CAutoCriticalSection(const CAutoCriticalSection&) = delete;
  CAutoCriticalSection& operator=(const CAutoCriticalSection&) = delete;

 private:
  CCriticalSection2& section_;
};

#endif
