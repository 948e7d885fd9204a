// The scanner lock: PROCESS and THREAD ownership, nesting, the cross-object (and so
// cross-process) exclusion of one name, and every line it logs.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/CScannerLock2.h"
#include "log/CLog2.h"
#include "platform/Win32Constants.h"
#include "tests/driver/UnitTestEnvironment.h"

namespace {

std::string Hex(unsigned long value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lx", value);
  return buf;
}

unsigned long ThisThread() { return static_cast<unsigned long>(syscall(SYS_gettid)); }

std::vector<std::string> LinesSince(size_t offset) {
  std::vector<std::string> lines;
  for (const std::string& line : LockLogLinesFrom(offset)) lines.push_back(WithoutElapsed(line));
  return lines;
}

class ScannerLockTest : public ::testing::Test {
 protected:
  // Each test uses its own name, so that the lock files of the tests do not meet.
  void SetUp() override {
    name_ = std::string("\\\\host\\share\\") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    lock_.reset(new CScannerLock2(&config_, name_.c_str()));
    probe_.reset(new CScannerLock2(&config_, name_.c_str()));
  }
  // Whether another holder of the same name could take the lock now.
  bool NamedLockIsFree() {
    if (!probe_->Lock(kLockTypeProcess, 0)) return false;
    probe_->Unlock();
    return true;
  }
  // Runs `body` on a new thread and waits for it.
  template <class Body>
  static void OnOtherThread(Body body) {
    std::thread other(body);
    other.join();
  }

  CLog2 config_{std::string(kLockTestLogName)};
  std::string name_;
  std::unique_ptr<CScannerLock2> lock_;
  std::unique_ptr<CScannerLock2> probe_;
};

TEST(ScannerLockName, IsTheLastBackslashComponentAfterTheGlobalPrefix) {
  EXPECT_EQ(CScannerLock2::SemaphoreName("\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:CC\\port1\\guid{7C2B}"),
            "Global\\guid{7C2B}");
  EXPECT_EQ(CScannerLock2::SemaphoreName("/dev/usb/lp0"), "Global\\/dev/usb/lp0");
  EXPECT_EQ(CScannerLock2::SemaphoreName("ends-with\\"), "Global\\");
  EXPECT_EQ(CScannerLock2::SemaphoreName(""), "Global\\");
}

TEST_F(ScannerLockTest, NestedProcessLocksReleaseTheNamedLockOnlyAtTheLastUnlock) {
  const size_t from = LockLogSize();
  ASSERT_TRUE(lock_->Lock(kLockTypeProcess, 0));
  EXPECT_EQ(lock_->LockCount(), 1u);
  ASSERT_TRUE(lock_->Lock(kLockTypeProcess, 0));
  EXPECT_EQ(lock_->LockCount(), 2u);
  EXPECT_TRUE(lock_->Unlock());
  EXPECT_EQ(lock_->LockCount(), 1u);
  const std::vector<std::string> lines = LinesSince(from);
  EXPECT_FALSE(NamedLockIsFree());
  const size_t beforeLast = LockLogSize();
  EXPECT_TRUE(lock_->Unlock());
  EXPECT_EQ(lock_->LockCount(), 0u);
  EXPECT_EQ(lock_->LockType(), kLockTypeNone);
  const std::vector<std::string> lastLines = LinesSince(beforeLast);
  EXPECT_TRUE(NamedLockIsFree());

  const std::vector<std::string> expected = {
      "+++CScannerLock2::Lock: ",
      "   Using Session locking:  Requested Lock type = PROCESS, Current LockCount = 0",
      "   Lock obtained, PID (" + Hex(getpid()) + "), TID (" + Hex(ThisThread()) + "), new lockcount = 1",
      "---CScannerLock2::Lock: hr=0x0, Elapsed: Nms",
      "+++CScannerLock2::Lock: ",
      "   Using Session locking:  Requested Lock type = PROCESS, Current LockCount = 1",
      "   Lock obtained, new LockCount = 2",
      "---CScannerLock2::Lock: hr=0x0, Elapsed: Nms",
      "+++CScannerLock2::Unlock: ",
      "   Unlock succeeded, lockcount is 1",
      "---CScannerLock2::Unlock: hr=0x0, Elapsed: Nms",
  };
  EXPECT_EQ(lines, expected);
  const std::vector<std::string> expectedLast = {
      "+++CScannerLock2::Unlock: ",
      "Unlock - Releasing Lock Semaphores",
      "---CScannerLock2::Unlock: hr=0x0, Elapsed: Nms",
  };
  EXPECT_EQ(lastLines, expectedLast);
}

TEST_F(ScannerLockTest, AProcessLockServesEveryThreadOfTheProcess) {
  ASSERT_TRUE(lock_->Lock(kLockTypeProcess, 0));
  bool nested = false, heldByCaller = false, unlocked = false;
  OnOtherThread([&] {
    heldByCaller = lock_->IsLockedByCaller();
    nested = lock_->Lock(kLockTypeProcess, 0);
    unlocked = lock_->Unlock();
  });
  EXPECT_TRUE(heldByCaller);
  EXPECT_TRUE(nested);
  EXPECT_TRUE(unlocked);
  EXPECT_TRUE(lock_->Unlock());  // the other thread may also give back the first level
  EXPECT_TRUE(NamedLockIsFree());
}

TEST_F(ScannerLockTest, AThreadLockRefusesAProcessLockAtOnce) {
  ASSERT_TRUE(lock_->Lock(kLockTypeThread, 0));
  const size_t from = LockLogSize();
  bool taken = true;
  OnOtherThread([&] { taken = lock_->Lock(kLockTypeProcess, INFINITE); });
  EXPECT_FALSE(taken);
  EXPECT_FALSE(lock_->Lock(kLockTypeProcess, INFINITE));  // the owner thread too
  const std::vector<std::string> expected = {
      "+++CScannerLock2::Lock: ",
      "   Using Session locking:  Requested Lock type = PROCESS, Current LockCount = 1",
      "Requested lock type does not match original lock, returning failure",
      "---CScannerLock2::Lock: hr=0x0, Elapsed: Nms",
  };
  std::vector<std::string> lines = LinesSince(from);
  ASSERT_EQ(lines.size(), 8u);
  lines.resize(4);
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(lock_->LockCount(), 1u);
  EXPECT_TRUE(lock_->Unlock());
}

TEST_F(ScannerLockTest, AThreadLockOfAnotherThreadMakesANewcomerWait) {
  ASSERT_TRUE(lock_->Lock(kLockTypeThread, 0));
  ASSERT_TRUE(lock_->Lock(kLockTypeThread, 0));
  EXPECT_TRUE(lock_->IsLockedByCaller());
  const unsigned long owner = ThisThread();

  const size_t from = LockLogSize();
  bool taken = true, heldByCaller = true;
  unsigned long other = 0;
  OnOtherThread([&] {
    other = ThisThread();
    heldByCaller = lock_->IsLockedByCaller();
    taken = lock_->Lock(kLockTypeThread, 0);
  });
  EXPECT_FALSE(heldByCaller);
  EXPECT_FALSE(taken);
  const std::vector<std::string> expected = {
      "+++CScannerLock2::Lock: ",
      "   Using Session locking:  Requested Lock type = THREAD, Current LockCount = 2",
      "   Lock Failed, calling thread (" + Hex(other) + ") != locking thread (" + Hex(owner) + ")",
      "Error:  Lock wait failed",
      "---CScannerLock2::Lock: hr=0x0, Elapsed: Nms",
  };
  EXPECT_EQ(LinesSince(from), expected);
  EXPECT_EQ(lock_->LockCount(), 2u);

  // A waiting newcomer gets the lock once the owner's count is back at 0.
  std::atomic<bool> started{false};
  bool waited = false;
  bool waiterHeldIt = false;
  std::thread waiter([&] {
    started = true;
    waited = lock_->Lock(kLockTypeThread, INFINITE);
    waiterHeldIt = lock_->IsLockedByCaller();
    lock_->Unlock();
  });
  while (!started) std::this_thread::yield();
  EXPECT_TRUE(lock_->Unlock());
  EXPECT_TRUE(lock_->Unlock());
  waiter.join();
  EXPECT_TRUE(waited);
  EXPECT_TRUE(waiterHeldIt);
  EXPECT_EQ(lock_->LockCount(), 0u);
  EXPECT_TRUE(NamedLockIsFree());
}

TEST_F(ScannerLockTest, OnlyTheOwnerThreadUnlocksAThreadLock) {
  ASSERT_TRUE(lock_->Lock(kLockTypeThread, 0));
  const unsigned long owner = ThisThread();
  const size_t from = LockLogSize();
  bool unlocked = true;
  unsigned long other = 0;
  OnOtherThread([&] {
    other = ThisThread();
    unlocked = lock_->Unlock();
  });
  EXPECT_FALSE(unlocked);
  EXPECT_EQ(lock_->LockCount(), 1u);
  const std::vector<std::string> expected = {
      "+++CScannerLock2::Unlock: ",
      "   Error - current TID (" + Hex(other) + ") doesn't match lock TID (" + Hex(owner) + ")",
      "---CScannerLock2::Unlock: hr=0x0, Elapsed: Nms",
  };
  EXPECT_EQ(LinesSince(from), expected);
  EXPECT_TRUE(lock_->Unlock());
}

TEST_F(ScannerLockTest, RefusesUnknownTypesAndUnlocksOfAFreeLockQuietly) {
  size_t from = LockLogSize();
  EXPECT_FALSE(lock_->Lock(2, 0));
  EXPECT_FALSE(lock_->Lock(-1, 0));
  const std::vector<std::string> scopesOnly = {
      "+++CScannerLock2::Lock: ",
      "---CScannerLock2::Lock: hr=0x0, Elapsed: Nms",
      "+++CScannerLock2::Lock: ",
      "---CScannerLock2::Lock: hr=0x0, Elapsed: Nms",
  };
  EXPECT_EQ(LinesSince(from), scopesOnly);
  EXPECT_TRUE(NamedLockIsFree());

  from = LockLogSize();
  EXPECT_FALSE(lock_->Unlock());
  const std::vector<std::string> freeUnlock = {
      "+++CScannerLock2::Unlock: ",
      "Unlock called and LockCount is already 0",
      "---CScannerLock2::Unlock: hr=0x0, Elapsed: Nms",
  };
  EXPECT_EQ(LinesSince(from), freeUnlock);
}

TEST_F(ScannerLockTest, AnotherHolderOfTheNameMakesLockWaitAndFail) {
  ASSERT_TRUE(probe_->Lock(kLockTypeProcess, 0));
  const size_t from = LockLogSize();
  EXPECT_FALSE(lock_->Lock(kLockTypeProcess, 0));
  const std::vector<std::string> lines = LinesSince(from);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[2], "Error:  Lock wait failed");
  EXPECT_EQ(lock_->LockCount(), 0u);
  EXPECT_TRUE(probe_->Unlock());
  EXPECT_TRUE(lock_->Lock(kLockTypeProcess, 0));
  EXPECT_TRUE(lock_->Unlock());
}

TEST_F(ScannerLockTest, ConstructionLogsTheNameAndAnExistingLockAsAlreadyExisting) {
  // The fixture's first lock made the lock file; this one finds it.
  const size_t from = LockLogSize();
  CScannerLock2 third(&config_, name_.c_str());
  std::vector<std::string> lines = LinesSince(from);
  const std::string semaphore = "Global\\" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name());
  const std::vector<std::string> tail = {
      "+++CScannerLock2::Constructor: ",
      "   Lock Semaphore name is " + semaphore,
      "---CScannerLock2::Constructor: ERROR: hr=0x800700b7, Elapsed: Nms",
  };
  ASSERT_GE(lines.size(), tail.size());
  lines.erase(lines.begin(), lines.end() - tail.size());  // the private log's header comes first
  EXPECT_EQ(lines, tail);
}

TEST_F(ScannerLockTest, DestroyingAHeldLockFreesTheNamedLock) {
  ASSERT_TRUE(lock_->Lock(kLockTypeProcess, 0));
  ASSERT_TRUE(lock_->Lock(kLockTypeProcess, 0));
  EXPECT_FALSE(NamedLockIsFree());
  const size_t from = LockLogSize();
  lock_.reset();
  const std::vector<std::string> lines = LinesSince(from);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "CScannerLock2::Destructor");
  EXPECT_TRUE(NamedLockIsFree());
}

}  // namespace

namespace {

TEST(ScannerLockLongNames, LongLastComponentsStillLockAndStayApart) {
  CLog2 config{std::string(kLockTestLogName)};
  const std::string longName = "\\\\host\\" + std::string(250, 'L');
  const std::string otherEnd = "\\\\host\\" + std::string(249, 'L') + "M";
  CScannerLock2 first(&config, longName.c_str());
  CScannerLock2 sameName(&config, ("\\\\elsewhere\\" + std::string(250, 'L')).c_str());
  CScannerLock2 differentEnd(&config, otherEnd.c_str());
  ASSERT_TRUE(first.Lock(kLockTypeProcess, 0));
  EXPECT_FALSE(sameName.Lock(kLockTypeProcess, 0));
  EXPECT_TRUE(differentEnd.Lock(kLockTypeProcess, 0));
  EXPECT_TRUE(differentEnd.Unlock());
  EXPECT_TRUE(first.Unlock());
  EXPECT_TRUE(sameName.Lock(kLockTypeProcess, 0));
  EXPECT_TRUE(sameName.Unlock());
}

}  // namespace
