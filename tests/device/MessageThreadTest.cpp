// The worker thread: FIFO delivery, the done-event and idle handshakes, failures of posts and
// waits, and the stop of a worker that does not end.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "device/MessageThread.h"
#include "driver/CavixErrors.h"
#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/SystemInfo.h"
#include "tests/device/DeviceTestSupport.h"

namespace {

using devicetest::Eventually;

constexpr uint32_t kRecord = 0x9000;       // recorded (value + sequence in the message order)
constexpr uint32_t kBlock = 0x9001;        // waits for `release`, then signals its done event
constexpr uint32_t kNoAnswer = 0x9002;     // keeps the done event without signalling
constexpr uint32_t kThrow = 0x9003;        // the procedure throws
constexpr uint32_t kLateAnswer = 0x9004;   // signals a done event kept by kNoAnswer

// A worker whose procedure records what it receives.
struct Worker {
  MessageThread thread{&Worker::Run};
  Mutex lock;
  std::vector<uint32_t> seen GUARDED_BY(lock);
  Event release{true, false};
  DoneEvent kept;              // worker thread only
  std::atomic<uint32_t> runningOn{0};

  static void Run(void* user) {
    auto* w = static_cast<Worker*>(user);
    w->runningOn = GetCurrentThreadId();
    for (;;) {
      DoneEvent done;
      const uint32_t message = w->thread.Receive(&done);
      if (message == MessageThread::kQuit) return;
      if (message == MessageThread::kIdleRequest) {
        w->thread.NotifyIdle();
        continue;
      }
      {
        MutexLock guard(w->lock);
        w->seen.push_back(message);
      }
      if (message == kBlock) w->release.Wait(INFINITE);
      if (message == kThrow) throw 42;
      if (message == kNoAnswer) {
        w->kept = done;
        continue;
      }
      if (message == kLateAnswer) w->kept.Signal(kNoAnswer);
      done.Signal(message);  // each answer carries its own message as the result
    }
  }
  std::vector<uint32_t> Seen() {
    MutexLock guard(lock);
    return seen;
  }
};

uint32_t CodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (CAVIX_ERRORS code) {
    return code;
  }
  return CERR_NONE;
}

class MessageThreadTest : public ::testing::Test {
 protected:
  devicetest::Sandbox sandbox_;
};

TEST_F(MessageThreadTest, MessagesArriveInPostingOrderOnTheWorker) {
  Worker w;
  w.thread.Start(&w);
  EXPECT_TRUE(w.thread.HasThread());
  EXPECT_NE(0u, w.thread.ThreadId());
  EXPECT_NE(GetCurrentThreadId(), w.thread.ThreadId());
  std::vector<uint32_t> posted;
  for (uint32_t i = 0; i < 200; ++i) {
    w.thread.PostMessageAsynchronously(kRecord + 0x100 + i);
    posted.push_back(kRecord + 0x100 + i);
  }
  // Idle means: everything posted before has been handled.
  w.thread.WaitForIdle();
  EXPECT_EQ(posted, w.Seen());
  EXPECT_EQ(w.thread.ThreadId(), w.runningOn.load());
  EXPECT_TRUE(w.thread.Stop());
  EXPECT_FALSE(w.thread.HasThread());
}

TEST_F(MessageThreadTest, SynchronousPostReturnsOnceTheHandlerSignalled) {
  Worker w;
  w.thread.Start(&w);
  w.release.Set();
  EXPECT_EQ(kBlock, w.thread.PostMessageSynchronously(kBlock));
  EXPECT_EQ(std::vector<uint32_t>{kBlock}, w.Seen());
  EXPECT_TRUE(w.thread.Stop());
}

TEST_F(MessageThreadTest, UnansweredDoneEventFailsAfterItsLimitAndALateAnswerIsHarmless) {
  TimeLimits::Instance().doneEventMs = 50;
  Worker w;
  w.thread.Start(&w);
  EXPECT_EQ(CERR_UNKNOWN, CodeOf([&] { w.thread.PostMessageSynchronously(kNoAnswer); }));
  // The handler still holds the event the poster gave up on; signalling it now must not touch
  // freed memory.
  TimeLimits::Instance().doneEventMs = 90000;
  EXPECT_EQ(kLateAnswer, w.thread.PostMessageSynchronously(kLateAnswer));
  EXPECT_EQ((std::vector<uint32_t>{kNoAnswer, kLateAnswer}), w.Seen());
  EXPECT_TRUE(w.thread.Stop());
}

TEST_F(MessageThreadTest, PostsAndHandshakesFailWithoutARunningThread) {
  Worker w;
  EXPECT_EQ(CERR_UNKNOWN, CodeOf([&] { w.thread.PostMessageAsynchronously(kRecord); }));
  EXPECT_EQ(CERR_UNKNOWN, CodeOf([&] { w.thread.PostMessageSynchronously(kRecord); }));
  EXPECT_EQ(CERR_UNKNOWN, CodeOf([&] { w.thread.WaitForIdle(); }));
  EXPECT_EQ(CERR_UNKNOWN, CodeOf([&] { w.thread.NotifyIdle(); }));
  EXPECT_TRUE(w.thread.Stop());  // nothing to stop

  w.thread.Start(&w);
  EXPECT_TRUE(w.thread.Stop());
  EXPECT_EQ(CERR_UNKNOWN, CodeOf([&] { w.thread.PostMessageAsynchronously(kRecord); }));
  EXPECT_EQ(CERR_UNKNOWN, CodeOf([&] { w.thread.WaitForIdle(); }));
  EXPECT_TRUE(w.Seen().empty());
}

TEST_F(MessageThreadTest, ThreadEndedByItsProcedureRefusesPostsAndStopsCleanly) {
  Worker w;
  w.thread.Start(&w);
  w.thread.PostMessageAsynchronously(kThrow);
  // The procedure's exception ends the thread; its queue then refuses posts.
  EXPECT_TRUE(Eventually([&] {
    return CodeOf([&] { w.thread.PostMessageAsynchronously(kRecord); }) == CERR_UNKNOWN;
  }));
  EXPECT_TRUE(w.thread.Stop());
  EXPECT_FALSE(w.thread.HasThread());
}

TEST_F(MessageThreadTest, StuckWorkerIsLeftToEndOnItsOwnAndKeepsWhatItUses) {
  sandbox_.CaptureLog();
  TimeLimits::Instance().threadStopMs = 50;
  auto w = std::make_unique<Worker>();
  auto keepAlive = std::make_shared<int>(7);
  std::weak_ptr<int> observed = keepAlive;
  w->thread.Start(w.get(), keepAlive);
  keepAlive.reset();
  w->thread.PostMessageAsynchronously(kBlock);
  ASSERT_TRUE(Eventually([&] { return !w->Seen().empty(); }));

  EXPECT_FALSE(w->thread.Stop());
  EXPECT_FALSE(w->thread.HasThread());
  EXPECT_NE(std::string::npos, sandbox_.Log().find("did not end in time"));
  EXPECT_EQ(CERR_UNKNOWN, CodeOf([&] { w->thread.PostMessageAsynchronously(kRecord); }));
  EXPECT_FALSE(observed.expired());  // the abandoned thread still holds its user

  // Released, it reaches the Quit that Stop queued and lets go of what it kept.
  w->release.Set();
  EXPECT_TRUE(Eventually([&] { return observed.expired(); }));
  EXPECT_EQ(std::vector<uint32_t>{kBlock}, w->Seen());
}

}  // namespace
