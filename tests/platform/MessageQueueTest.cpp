// The worker thread's message queue: order, peek, waits and closing.
#include <gtest/gtest.h>

#include <thread>

#include "platform/MessageQueue.h"

namespace {

TEST(MessageQueueTest, DeliversInPostingOrderWithBothParameters) {
  MessageQueue q;
  ASSERT_TRUE(q.Post(0x8002, 11, -1));
  ASSERT_TRUE(q.Post(0x8001, UINTPTR_MAX, INTPTR_MIN));
  ASSERT_TRUE(q.Post(0x8000));
  QueuedMessage m;
  ASSERT_TRUE(q.Get(&m, 0));
  EXPECT_EQ(m.message, 0x8002u);
  EXPECT_EQ(m.wParam, 11u);
  EXPECT_EQ(m.lParam, -1);
  ASSERT_TRUE(q.Get(&m));
  EXPECT_EQ(m.message, 0x8001u);
  EXPECT_EQ(m.wParam, UINTPTR_MAX);
  EXPECT_EQ(m.lParam, INTPTR_MIN);
  ASSERT_TRUE(q.Get(&m));
  EXPECT_EQ(m.message, 0x8000u);
  EXPECT_EQ(m.wParam, 0u);
  EXPECT_FALSE(q.Get(&m, 0)) << "empty: a zero time-out returns at once";
  EXPECT_FALSE(q.Get(&m, 20));
}

TEST(MessageQueueTest, PeekLooksWithoutTakingUnlessAsked) {
  MessageQueue q;
  QueuedMessage m;
  EXPECT_FALSE(q.Peek(&m));
  q.Post(1);
  q.Post(2);
  ASSERT_TRUE(q.Peek(&m));
  EXPECT_EQ(m.message, 1u);
  ASSERT_TRUE(q.Peek(&m));
  EXPECT_EQ(m.message, 1u) << "not removed";
  ASSERT_TRUE(q.Peek(&m, true));
  EXPECT_EQ(m.message, 1u);
  ASSERT_TRUE(q.Get(&m, 0));
  EXPECT_EQ(m.message, 2u);
}

TEST(MessageQueueTest, BlockingGetReceivesWhatAnotherThreadPosts) {
  MessageQueue q;
  std::thread worker([&] {
    for (uint32_t i = 0; i < 100; ++i) q.Post(i, i * 2);
  });
  for (uint32_t i = 0; i < 100; ++i) {
    QueuedMessage m;
    ASSERT_TRUE(q.Get(&m, INFINITE));
    EXPECT_EQ(m.message, i);
    EXPECT_EQ(m.wParam, i * 2u);
  }
  worker.join();
}

TEST(MessageQueueTest, ClosedQueueRefusesPostsAndEndsWaits) {
  MessageQueue q;
  q.Post(1);
  q.Close();
  EXPECT_TRUE(q.IsClosed());
  EXPECT_FALSE(q.Post(2)) << "posting to a thread that has ended fails";
  QueuedMessage m;
  EXPECT_FALSE(q.Get(&m, INFINITE)) << "closed: no wait, nothing left";
  EXPECT_FALSE(q.Peek(&m));

  MessageQueue blocked;
  std::thread closer([&] { blocked.Close(); });
  EXPECT_FALSE(blocked.Get(&m, INFINITE)) << "a Close wakes a blocked Get";
  closer.join();
}

}  // namespace
