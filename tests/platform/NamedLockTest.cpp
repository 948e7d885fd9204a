// Named cross-process locks: file naming and modes, exclusion within and across processes,
// release by another thread, and the release of a lock whose holder was killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
