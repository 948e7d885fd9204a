// Re-entrant critical sections and their scope guard.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/CAutoCriticalSection.h"
#include "platform/CCriticalSection2.h"

namespace {

// Whether another thread could enter the section right now.
bool OtherThreadCanEnter(CCriticalSection2& cs) {
  bool entered = false;
  std::thread t([&] {
    if (cs.TryEnter()) {
      entered = true;
      cs.Leave();
    }
  });
  t.join();
  return entered;
}

// The owner enters again: the thread-safety analysis does not model re-entry.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#endif

TEST(CCriticalSection2Test, OwnerReentersAndOthersWaitUntilTheLastLeave) {
  CCriticalSection2 cs;
  cs.Enter();
  cs.Enter();
  EXPECT_TRUE(cs.TryEnter()) << "the owner may enter again";
  EXPECT_FALSE(OtherThreadCanEnter(cs));
  cs.Leave();
  cs.Leave();
  EXPECT_FALSE(OtherThreadCanEnter(cs)) << "still entered once";
  cs.Leave();
  EXPECT_TRUE(OtherThreadCanEnter(cs));
}

TEST(CAutoCriticalSectionTest, HoldsTheSectionForItsScope) {
  CCriticalSection2 cs;
  {
    CAutoCriticalSection outer(cs);
    {
      CAutoCriticalSection inner(&cs);  // nested on the same thread
      EXPECT_FALSE(OtherThreadCanEnter(cs));
    }
    EXPECT_FALSE(OtherThreadCanEnter(cs));
  }
  EXPECT_TRUE(OtherThreadCanEnter(cs));
}

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

TEST(CCriticalSection2Test, SerialisesUpdatesFromSeveralThreads) {
  CCriticalSection2 cs;
  long counter = 0;  // guarded by cs
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        CAutoCriticalSection guard(cs);
        long v = counter;
        counter = v + 1;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 40000);
}

}  // namespace
