// Named cross-process locks: file naming and modes, exclusion within and across processes,
// release by another thread, and the release of a lock whose holder was killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <system_error>
#include <thread>

#include "platform/CLockableResource.h"
#include "platform/NamedLock.h"
#include "tests/platform/ScratchDir.h"

namespace {

TEST(NamedLockTest, SanitisesNamesIntoFileNames) {
  EXPECT_EQ(NamedLock::SanitizeName("Global\\lp0"), "Global_lp0");
  EXPECT_EQ(NamedLock::SanitizeName("ok.name_1-2"), "ok.name_1-2");
  EXPECT_EQ(NamedLock::SanitizeName("/var/log/cavix log.txt"), "_var_log_cavix_log.txt");
  EXPECT_EQ(NamedLock::SanitizeName("a:b*c?\xC3\xA9"), "a_b_c___");
  // Names that would be the directory itself or its parent.
  EXPECT_EQ(NamedLock::SanitizeName(""), "_");
  EXPECT_EQ(NamedLock::SanitizeName("."), "__");
  EXPECT_EQ(NamedLock::SanitizeName(".."), "___");
}

TEST(NamedLockTest, MakesTheDirectoryAndFileWithSharedModes) {
  ScratchDir dir;
  mode_t old = umask(077);
  NamedLock lock("Global\\usb#lp0");
  umask(old);
  EXPECT_EQ(lock.FilePath(), dir.LockDir() + "/Global_usb_lp0");
  struct stat st;
  ASSERT_EQ(stat(dir.LockDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 01777u);
  ASSERT_EQ(stat(lock.FilePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
}

TEST(NamedLockTest, TwoObjectsOfOneNameExcludeEachOtherInOneProcess) {
  ScratchDir dir;
  NamedLock a("scanner"), b("scanner"), other("other");
  ASSERT_TRUE(a.Acquire(0));
  EXPECT_TRUE(a.IsHeld());
  EXPECT_FALSE(b.Acquire(0));
  EXPECT_FALSE(b.Acquire(30)) << "polled until the time-out";
  EXPECT_TRUE(other.Acquire(0)) << "another name is another lock";
  a.Release();
  EXPECT_FALSE(a.IsHeld());
  EXPECT_TRUE(b.Acquire(0));
  EXPECT_THROW(a.Release(), std::system_error) << "releasing what is not held";
  b.Release();
}

TEST(NamedLockTest, IsAUnitNotAThreadLock) {
  ScratchDir dir;
  NamedLock lock("unit");
  ASSERT_TRUE(lock.Acquire(INFINITE));
  EXPECT_FALSE(lock.Acquire(0)) << "held: a second acquire on the same object waits like a semaphore";
  std::thread releaser([&] { lock.Release(); });  // released on another thread
  releaser.join();
  EXPECT_TRUE(lock.Acquire(0));

  // A waiter on the same object gets it when another thread releases.
  std::thread waiter([&] { EXPECT_TRUE(lock.Acquire(INFINITE)); });
  lock.Release();
  waiter.join();
  EXPECT_TRUE(lock.IsHeld());
  lock.Release();
}

// Child: takes the lock, reports through the pipe, then waits to be killed.
void HoldLockUntilKilled(const std::string& name, int reportFd) {
  NamedLock lock(name);
  char ok = lock.Acquire(INFINITE) ? '1' : '0';
  if (write(reportFd, &ok, 1) != 1) _exit(2);
  while (true) pause();
}

TEST(NamedLockTest, KernelReleasesTheLockOfAKilledHolder) {
  ScratchDir dir;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    HoldLockUntilKilled("Global\\lp0", fds[1]);
  }
  close(fds[1]);
  char ok = 0;
  ASSERT_EQ(read(fds[0], &ok, 1), 1);
  close(fds[0]);
  ASSERT_EQ(ok, '1');

  NamedLock lock("Global\\lp0");
  EXPECT_FALSE(lock.Acquire(0)) << "held by the child";
  EXPECT_FALSE(lock.Acquire(50));
  ASSERT_EQ(kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(lock.Acquire(0)) << "freed when its holder died";
  lock.Release();
}

// Whether a waiter of another open file (another process, or another object) holds a place in
// the queue of the lock file at `path`, waiting up to 30 s for one to come.
bool WaitUntilQueued(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool queued = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!queued && std::chrono::steady_clock::now() < deadline) {
    struct flock range = {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 4096;  // the tickets' marks, past the counter
    range.l_len = 0;
    if (fcntl(fd, F_OFD_GETLK, &range) != 0) break;
    queued = range.l_type != F_UNLCK;
    if (!queued) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  close(fd);
  return queued;
}

// Fairness: a holder that gives the lock back and at once takes it again, round after round,
// does not keep a waiter out: the waiter gets it at the holder's first release, and the holder
// waits for it. The waiter waits on the holder's own object (another thread of the same user)
// or on an object of its own (as another process does).
TEST(NamedLockTest, AWaiterGetsTheLockFromAHolderThatTakesItAgainInALoop) {
  ScratchDir dir;
  for (bool sameObject : {true, false}) {
    SCOPED_TRACE(sameObject ? "same object" : "another object");
    NamedLock holder("fair");
    std::unique_ptr<NamedLock> own(sameObject ? nullptr : new NamedLock("fair"));
    NamedLock& waiterLock = sameObject ? holder : *own;
    ASSERT_TRUE(holder.Acquire(0));
    std::atomic<bool> served{false};
    std::thread waiter([&] {
      if (!waiterLock.Acquire(30000)) return;
      served = true;
      waiterLock.Release();
    });
    if (sameObject) {
      while (!holder.HasWaiters()) std::this_thread::yield();
    } else {
      EXPECT_TRUE(WaitUntilQueued(holder.FilePath()));
    }
    for (int round = 0; round < 5; ++round) {
      holder.Release();
      ASSERT_TRUE(holder.Acquire(INFINITE));
    }
    EXPECT_TRUE(served) << "kept out by a holder that takes it again";
    holder.Release();
    waiter.join();
  }
}

// A waiter that dies while it waits leaves no place in the queue behind: the lock is taken at
// once afterwards.
TEST(NamedLockTest, AWaiterKilledWhileWaitingHoldsUpNobody) {
  ScratchDir dir;
  NamedLock holder("queue");
  ASSERT_TRUE(holder.Acquire(0));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedLock lock("queue");
    lock.Acquire(INFINITE);
    _exit(0);
  }
  EXPECT_TRUE(WaitUntilQueued(holder.FilePath()));
  NamedLock later("queue");
  EXPECT_FALSE(later.Acquire(0)) << "held, and a waiter is before it";
  ASSERT_EQ(kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  holder.Release();
  EXPECT_TRUE(later.Acquire(0)) << "the dead waiter's place went with it";
  later.Release();
}

TEST(NamedLockTest, WaitsForAHolderInAnotherProcess) {
  ScratchDir dir;
  int go[2], taken[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(taken), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedLock lock("shared");
    char c = lock.Acquire(INFINITE) ? '1' : '0';
    if (write(taken[1], &c, 1) != 1) _exit(2);
    if (read(go[0], &c, 1) != 1) _exit(3);
    lock.Release();
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(taken[0], &c, 1), 1);
  ASSERT_EQ(c, '1');
  NamedLock lock("shared");
  EXPECT_FALSE(lock.Acquire(0));
  ASSERT_EQ(write(go[1], "x", 1), 1);
  EXPECT_TRUE(lock.Acquire(INFINITE)) << "taken once the child released it";
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (int fd : {go[0], go[1], taken[0], taken[1]}) close(fd);
}

TEST(NamedLockTest, CreationFailureThrows) {
  ScratchDir dir;
  ScratchDir::WriteFile(dir.Path() + "/plainfile", "");
  setenv("CAVIX_LOCK_DIR", (dir.Path() + "/plainfile/locks").c_str(), 1);
  EXPECT_THROW(NamedLock("x"), std::system_error);
}

TEST(CLockableResourceTest, GuardsTheNamedLockAndNeverThrows) {
  ScratchDir dir;
  CLockableResource log("/var/log/cavix.log");
  EXPECT_FALSE(log.IsLocked());
  log.Unlock();  // not held: nothing happens
  ASSERT_TRUE(log.Lock());
  EXPECT_TRUE(log.IsLocked());
  NamedLock same("/var/log/cavix.log");
  EXPECT_FALSE(same.Acquire(0)) << "another user of the same file is kept out";
  log.Unlock();
  EXPECT_FALSE(log.IsLocked());
  EXPECT_TRUE(same.Acquire(0));
  EXPECT_FALSE(log.Lock(20)) << "time-out while the other holds it";
  same.Release();

  setenv("CAVIX_LOCK_DIR", "/proc/cavix-cannot-exist", 1);
  CLockableResource broken("x");
  EXPECT_FALSE(broken.Lock(0)) << "no lock can be made: false, the caller goes on without it";
}

}  // namespace
