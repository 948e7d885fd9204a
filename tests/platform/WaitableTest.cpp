// Events, semaphores and the waits over several objects. Time-outs are checked only for their
// outcome (nothing signalled -> WAIT_TIMEOUT), never for how long they took.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "platform/Event.h"
#include "platform/MessageQueue.h"
#include "platform/Semaphore.h"

namespace {

TEST(EventTest, ManualResetStaysSignalledUntilReset) {
  Event e(true, false);
  EXPECT_FALSE(e.Wait(0));
  e.Set();
  EXPECT_TRUE(e.Wait(0));
  EXPECT_TRUE(e.Wait(0)) << "a wait does not reset a manual-reset event";
  EXPECT_TRUE(e.IsSet());
  e.Reset();
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(e.Wait(10));
  Event initiallySet(true, true);
  EXPECT_TRUE(initiallySet.Wait(0));
}

TEST(EventTest, AutoResetReleasesOneWaitPerSet) {
  Event e(false, true);
  EXPECT_TRUE(e.Wait(0));
  EXPECT_FALSE(e.Wait(0)) << "the first wait reset it";
  e.Set();
  e.Set();  // not counted: still one wait
  EXPECT_TRUE(e.Wait(0));
  EXPECT_FALSE(e.Wait(0));
}

TEST(EventTest, SetFromAnotherThreadWakesAnInfiniteWait) {
  Event ready(true, false), go(false, false);
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    ready.Set();
    woke = go.Wait(INFINITE);
  });
  ASSERT_TRUE(ready.Wait(INFINITE));
  go.Set();
  waiter.join();
  EXPECT_TRUE(woke);
  EXPECT_FALSE(go.Wait(0)) << "the waiter consumed the auto-reset signal";
}

TEST(EventTest, AutoResetSetWakesExactlyOneOfSeveralWaiters) {
  Event e(false, false);
  Semaphore done(0);
  std::atomic<int> woken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] {
      if (e.Wait(INFINITE)) ++woken;
      done.Release();
    });
  }
  e.Set();
  ASSERT_TRUE(done.Wait(INFINITE));
  EXPECT_FALSE(done.Wait(50)) << "only one waiter may pass per Set";
  // The other two pass one per Set; a Set made before a waiter is back may be taken by it, so
  // keep setting until both have passed.
  int passed = 1;
  while (passed < 3) {
    if (done.Wait(20)) {
      ++passed;
    } else {
      e.Set();
    }
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(woken, 3);
}

TEST(SemaphoreTest, CountsUnitsAndRefusesToPassItsMaximum) {
  Semaphore s(2, 3);
  EXPECT_EQ(s.Count(), 2);
  EXPECT_TRUE(s.Wait(0));
  EXPECT_TRUE(s.Wait(0));
  EXPECT_FALSE(s.Wait(0));
  EXPECT_EQ(s.Release(3), 0);
  EXPECT_THROW(s.Release(1), std::system_error);
  EXPECT_EQ(s.Count(), 3) << "a refused release changes nothing";
  EXPECT_THROW(s.Release(0), std::system_error);
  s.Reset();
  EXPECT_EQ(s.Count(), 0);
  EXPECT_FALSE(s.Wait(0));

  EXPECT_THROW(Semaphore(-1, 5), std::system_error);
  EXPECT_THROW(Semaphore(6, 5), std::system_error);
  EXPECT_THROW(Semaphore(0, 0), std::system_error);
}

TEST(SemaphoreTest, DefaultMaximumIsTheLargestLong) {
  Semaphore s(0);
  EXPECT_EQ(s.Release(Semaphore::kMaximum), 0);
  EXPECT_THROW(s.Release(1), std::system_error);
  EXPECT_EQ(s.Count(), 2147483647);
}

TEST(WaitForAnyTest, EarliestListedSignalledObjectWins) {
  Semaphore data(0);
  Event canceled(true, false), end(true, false);
  const std::vector<Waitable*> order = {&data, &canceled, &end};

  end.Set();
  canceled.Set();
  data.Release(2);
  EXPECT_EQ(WaitForAny(order, 0), WAIT_OBJECT_0 + 0);
  EXPECT_EQ(WaitForAny(order, 0), WAIT_OBJECT_0 + 0);
  EXPECT_EQ(WaitForAny(order, INFINITE), WAIT_OBJECT_0 + 1) << "data drained: the cancel comes next";
  canceled.Reset();
  EXPECT_EQ(WaitForAny(order, 1000), WAIT_OBJECT_0 + 2);
  end.Reset();
  EXPECT_EQ(WaitForAny(order, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForAny(order, 20), WAIT_TIMEOUT);
  EXPECT_EQ(data.Count(), 0) << "only the winner is consumed";
}

TEST(WaitForAnyTest, OnlyTheWinnerIsConsumed) {
  Event a(false, true), b(false, true);
  EXPECT_EQ(WaitForAny({&a, &b}, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(b.IsSet()) << "the later auto-reset event keeps its signal";
  EXPECT_EQ(WaitForAny({&a, &b}, 0), WAIT_OBJECT_0 + 1);
}

TEST(WaitForAnyTest, WakesForALaterListedObjectSignalledWhileWaiting) {
  Event first(true, false), second(false, false);
  std::thread setter([&] { second.Set(); });
  EXPECT_EQ(WaitForAny({&first, &second}, INFINITE), WAIT_OBJECT_0 + 1);
  setter.join();
}

TEST(WaitForAnyTest, RefusesEmptyListsAndNullObjects) {
  Event e(true, true);
  EXPECT_THROW(WaitForAny({}, 0), std::invalid_argument);
  EXPECT_THROW(WaitForAny({&e, nullptr}, 0), std::invalid_argument);
}

TEST(WaitForAnyTest, MessageQueueIsWaitableWithoutLosingItsMessage) {
  MessageQueue q;
  Event quit(true, false);
  EXPECT_EQ(WaitForAny({&quit, &q}, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(q.Post(7, 1, 2));
  EXPECT_EQ(WaitForAny({&quit, &q}, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(q.Size(), 1u);
}

class PipeFixture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pipe(fds_), 0); }
  void TearDown() override {
    close(fds_[0]);
    close(fds_[1]);
  }
  int fds_[2];
};

TEST_F(PipeFixture, WaitForAnyOrFdPrefersObjectsAndSeesTheDescriptor) {
  Event cancel(true, false);
  EXPECT_EQ(WaitForAnyOrFd({&cancel}, fds_[0], POLLIN, 0), -1);
  EXPECT_EQ(WaitForAnyOrFd({&cancel}, fds_[0], POLLIN, 20), -1);
  ASSERT_EQ(write(fds_[1], "x", 1), 1);
  EXPECT_EQ(WaitForAnyOrFd({&cancel}, fds_[0], POLLIN, INFINITE), 1) << "descriptor ready";
  cancel.Set();
  EXPECT_EQ(WaitForAnyOrFd({&cancel}, fds_[0], POLLIN, INFINITE), 0) << "the listed cancel wins over the descriptor";
}

TEST_F(PipeFixture, WaitForAnyOrFdWakesWhenAnObjectIsSignalled) {
  Event cancel(false, false);
  std::thread setter([&] { cancel.Set(); });
  EXPECT_EQ(WaitForAnyOrFd({&cancel}, fds_[0], POLLIN, INFINITE), 0);
  setter.join();
  EXPECT_FALSE(cancel.IsSet()) << "consumed";
}

}  // namespace
