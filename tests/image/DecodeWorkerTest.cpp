// The page decoding thread: batches after pokes, the end at Finish, errors reported once,
// abandoning a page, and a worker used page after page.
#include <gtest/gtest.h>

#include <stdsoap2.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include <unistd.h>

#include "ImageTestSupport.h"
#include "image/DecodeWorker.h"
#include "service/SoapResult.h"

namespace {

// Handler results and the worker's answers, as the SOAP runtime hears them.
ScanError Result(int soap) {
  if (soap == SOAP_OK) return ScanError();
  if (soap == SOAP_EOF) return ScanError::EndOfData(CERR_CANCEL_PRESSED, "test");
  return ScanError::Failed(CERR_UNKNOWN, "test");
}
int Soap(const ScanError& error) { return SoapResultOf(error); }

struct Counts {
  std::atomic<int> batches{0};
  std::atomic<int> ends{0};
  std::atomic<int> batchResult{SOAP_OK};
  std::atomic<int> endResult{SOAP_OK};
  std::atomic<bool> batchThrows{false};
  std::thread::id workerThread;
  std::atomic<pid_t> workerTid{0};  // the kernel's id: not reused at once, unlike a pthread's
};

// Waits (generously) until the condition holds.
template <typename Pred>
bool WaitFor(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + imagetest::kGenerous;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

DecodeWorker MakeWorker(Counts& c) {
  return DecodeWorker(
      [&c] {
        c.workerThread = std::this_thread::get_id();
        ++c.batches;
        if (c.batchThrows) throw std::runtime_error("decoder fault");
        return Result(c.batchResult.load());
      },
      [&c] {
        c.workerThread = std::this_thread::get_id();
        c.workerTid = gettid();
        ++c.ends;
        return Result(c.endResult.load());
      });
}

TEST(DecodeWorkerTest, BatchesFollowPokesAndTheEndRunsOnceAtFinish) {
  Counts c;
  DecodeWorker worker = MakeWorker(c);
  EXPECT_FALSE(worker.Running());
  EXPECT_EQ(0, Soap(worker.Finish()));  // no page: nothing to wait for
  ASSERT_TRUE(worker.Start());
  EXPECT_TRUE(worker.Running());
  for (int i = 0; i < 50; ++i) EXPECT_EQ(SOAP_OK, Soap(worker.Poke()));
  EXPECT_EQ(SOAP_OK, Soap(worker.Finish()));
  EXPECT_FALSE(worker.Running());
  // Pokes that come while a batch runs are covered by one further batch (the end handler
  // decodes what a finishing page's last pokes brought): at most one batch per poke, and the
  // end ran once, on the worker.
  EXPECT_LE(c.batches.load(), 50);
  EXPECT_EQ(1, c.ends.load());
  EXPECT_NE(std::this_thread::get_id(), c.workerThread);
  // The next page starts afresh, on the same thread: it waited for the page instead of
  // being started for it.
  const pid_t firstPages = c.workerTid;
  ASSERT_TRUE(worker.Start());
  EXPECT_EQ(SOAP_OK, Soap(worker.Finish()));
  EXPECT_EQ(2, c.ends.load());
  EXPECT_EQ(firstPages, c.workerTid.load());
}

TEST(DecodeWorkerTest, ABatchErrorIsReportedOnceAndSkipsTheEnd) {
  Counts c;
  DecodeWorker worker = MakeWorker(c);
  c.batchResult = SOAP_EOF;
  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(SOAP_OK, Soap(worker.Poke()));
  // The error comes back with a later poke (once the batch has run) ...
  int rc = SOAP_OK;
  EXPECT_TRUE(WaitFor([&] { return (rc = Soap(worker.Poke())) != SOAP_OK; }));
  EXPECT_EQ(SOAP_EOF, rc);
  EXPECT_EQ(SOAP_EOF, Soap(worker.Poke()));
  // ... and then not again from Finish; the end handler does not run for a failed page.
  EXPECT_EQ(SOAP_OK, Soap(worker.Finish()));
  EXPECT_EQ(0, c.ends.load());
  EXPECT_EQ(1, c.batches.load());
}

TEST(DecodeWorkerTest, AnErrorNoPokeReportedComesFromFinish) {
  Counts c;
  DecodeWorker worker = MakeWorker(c);
  // In the end handler.
  c.endResult = SOAP_FATAL_ERROR;
  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(SOAP_OK, Soap(worker.Poke()));
  EXPECT_EQ(SOAP_FATAL_ERROR, Soap(worker.Finish()));
  EXPECT_EQ(1, c.ends.load());
  // In a batch that throws: the thread survives it as a failed page.
  c.endResult = SOAP_OK;
  c.batchThrows = true;
  const int before = c.batches.load();
  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(SOAP_OK, Soap(worker.Poke()));
  ASSERT_TRUE(WaitFor([&] { return c.batches.load() > before; }));
  EXPECT_EQ(SOAP_FATAL_ERROR, Soap(worker.Finish()));
  EXPECT_EQ(1, c.ends.load());
}

TEST(DecodeWorkerTest, StopAbandonsThePageWithoutItsEnd) {
  Counts c;
  std::promise<void> inBatch;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> batches{0};
  DecodeWorker worker(
      [&] {
        if (batches++ == 0) {
          inBatch.set_value();
          released.wait();
        }
        return ScanError();
      },
      [&] {
        ++c.ends;
        return ScanError();
      });
  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(SOAP_OK, Soap(worker.Poke()));
  inBatch.get_future().wait();
  ASSERT_EQ(SOAP_OK, Soap(worker.Poke()));  // waits behind the batch in hand
  // Stop waits for the batch in hand, then no further batch and no end run.
  auto stopped = std::async(std::launch::async, [&] { worker.Stop(); });
  EXPECT_TRUE(imagetest::StillBlocked(stopped));
  release.set_value();
  ASSERT_EQ(std::future_status::ready, stopped.wait_for(imagetest::kGenerous));
  EXPECT_FALSE(worker.Running());
  EXPECT_EQ(1, batches.load());
  EXPECT_EQ(0, c.ends.load());
  worker.Stop();  // a second stop is harmless
}

TEST(DecodeWorkerTest, TheTidyingAfterAPageDoesNotHoldUpItsEnd) {
  Counts c;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> tidied{0};
  std::atomic<int> endsSeenByTidy{-1};
  DecodeWorker worker([] { return ScanError(); },
                      [&c] {
                        ++c.ends;
                        return ScanError();
                      },
                      [&] {
                        endsSeenByTidy = c.ends.load();
                        if (tidied++ == 0) released.wait();
                      });
  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(SOAP_OK, Soap(worker.Poke()));
  // Finish returns while the tidying of the page still waits; the tidying came after the end.
  auto finished = std::async(std::launch::async, [&] { return worker.Finish(); });
  ASSERT_EQ(std::future_status::ready, finished.wait_for(imagetest::kGenerous));
  EXPECT_EQ(SOAP_OK, Soap(finished.get()));
  ASSERT_TRUE(WaitFor([&] { return tidied.load() == 1; }));
  EXPECT_EQ(1, endsSeenByTidy.load());
  // The next page may start meanwhile; it is handled once the tidying is done.
  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(SOAP_OK, Soap(worker.Poke()));
  release.set_value();
  EXPECT_EQ(SOAP_OK, Soap(worker.Finish()));
  EXPECT_EQ(2, c.ends.load());
  ASSERT_TRUE(WaitFor([&] { return tidied.load() == 2; }));
  // An abandoned page is tidied as well.
  ASSERT_TRUE(worker.Start());
  worker.Stop();
  EXPECT_TRUE(WaitFor([&] { return tidied.load() == 3; }));
  EXPECT_EQ(2, c.ends.load());
}

TEST(DecodeWorkerTest, DestroyingARunningWorkerStopsIt) {
  Counts c;
  {
    DecodeWorker worker = MakeWorker(c);
    ASSERT_TRUE(worker.Start());
    ASSERT_EQ(SOAP_OK, Soap(worker.Poke()));
  }
  EXPECT_EQ(0, c.ends.load());
}

}  // namespace
