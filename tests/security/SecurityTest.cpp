// What crosses a trust boundary into files the module opens: names planted in the shared lock
// directory and beside the log file (symbolic links, hard links, FIFOs), and the environment of
// a set-user-ID host. The program doubles as the probe that runs set-user-ID (--print-paths).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <system_error>

#include "log/CLog2.h"
#include "log/LogLevels.h"
#include "platform/NamedLock.h"
#include "platform/RegistryStore.h"
#include "platform/TempFile.h"
#include "tests/platform/ScratchDir.h"

namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void Write(const std::string& path, const std::string& text, mode_t mode = 0600) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
  close(fd);
  chmod(path.c_str(), mode);
}

mode_t ModeOf(const std::string& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool IsSymlink(const std::string& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// ---- the shared lock directory ----------------------------------------------------------------

class LockDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, mkdir(dir_.LockDir().c_str(), 01777));
    victim_ = dir_.Path() + "/victim";
    Write(victim_, "private\n", 0600);
  }
  std::string Planted(const std::string& name) const { return dir_.LockDir() + "/" + NamedLock::SanitizeName(name); }

  ScratchDir dir_;
  std::string victim_;
};

TEST_F(LockDirectoryTest, ALinkPlantedUnderTheLockNameIsRefusedAndItsTargetKeepsItsMode) {
  ASSERT_EQ(0, symlink(victim_.c_str(), Planted("Global\\lp0").c_str()));
  EXPECT_THROW(NamedLock("Global\\lp0"), std::system_error);
  EXPECT_EQ(0600u, ModeOf(victim_)) << "the target must not become world-writable";
  EXPECT_EQ("private\n", Read(victim_));

  // A dangling link is not followed to create its target either.
  const std::string absent = dir_.Path() + "/created-through-link";
  ASSERT_EQ(0, symlink(absent.c_str(), Planted("Global\\lp1").c_str()));
  EXPECT_THROW(NamedLock("Global\\lp1"), std::system_error);
  EXPECT_NE(0, access(absent.c_str(), F_OK));
}

TEST_F(LockDirectoryTest, AFifoOrDirectoryPlantedUnderTheLockNameIsRefusedWithoutBlocking) {
  ASSERT_EQ(0, mkfifo(Planted("Global\\fifo").c_str(), 0666));
  EXPECT_THROW(NamedLock("Global\\fifo"), std::system_error);
  ASSERT_EQ(0, mkdir(Planted("Global\\dir").c_str(), 0777));
  EXPECT_THROW(NamedLock("Global\\dir"), std::system_error);
}

TEST_F(LockDirectoryTest, AHardLinkPlantedUnderTheLockNameKeepsItsModeAndContent) {
  ASSERT_EQ(0, link(victim_.c_str(), Planted("Global\\hard").c_str()));
  {
    NamedLock lock("Global\\hard");  // a regular file: usable as a lock, but not re-moded
    EXPECT_TRUE(lock.Acquire(0));
    // A waiter behind the holder would queue by writing a counter into the file.
    NamedLock waiter("Global\\hard");
    EXPECT_FALSE(waiter.Acquire(30));
    lock.Release();
    EXPECT_TRUE(waiter.Acquire(1000));
    waiter.Release();
  }
  EXPECT_EQ(0600u, ModeOf(victim_));
  EXPECT_EQ("private\n", Read(victim_));
}

TEST_F(LockDirectoryTest, AnOrdinaryLockFileIsStillSharedByEveryUser) {
  NamedLock lock("Global\\ok");
  EXPECT_EQ(0666u, ModeOf(lock.FilePath()));
  EXPECT_TRUE(lock.Acquire(0));
  lock.Release();
}

// ---- the log file ----------------------------------------------------------------------------

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    victim_ = dir_.Path() + "/victim";
    Write(victim_, "private\n", 0600);
    logFile_ = dir_.Path() + "/shared.log";
  }
  // The HKLM log key of "SecurityTest": on, every level, to logFile_, rolled at sizeKB.
  void Configure(uint32_t sizeKB, uint32_t rollCount) {
    char values[256];
    std::snprintf(values, sizeof values,
                  "\"LogEnabled\"=dword:00000001\n\"LogLevel\"=dword:b00000ff\n\"LogDestination\"=dword:00000001\n"
                  "\"LogSizeKB\"=dword:%08x\n\"LogRollCount\"=dword:%08x\n",
                  sizeKB, rollCount);
    Write(dir_.Hklm(),
          "Windows Registry Editor Version 5.00\n\n"
          "[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\SecurityTest]\n" + std::string(values) +
              "\"LogFile\"=\"" + logFile_ + "\"\n");
  }

  ScratchDir dir_;
  std::string victim_;
  std::string logFile_;
};

TEST_F(LogFileTest, ALinkPlantedUnderTheLogNameIsNotWrittenThrough) {
  Configure(0, 0);
  ASSERT_EQ(0, symlink(victim_.c_str(), logFile_.c_str()));
  {
    CLog2 log(std::string("SecurityTest"));
    for (int i = 0; i < 50; ++i) log.print(LOG_INFO_MSG, "line %d", i);
  }
  EXPECT_EQ("private\n", Read(victim_));
  EXPECT_TRUE(IsSymlink(logFile_));
}

TEST_F(LogFileTest, LinksPlantedUnderRollOverNamesAreNeitherReadNorWritten) {
  Configure(1, 2);
  // shared.log.1 would receive a copy of shared.log; shared.log.2 a copy of shared.log.1.
  const std::string secretCopy = dir_.Path() + "/copied-secret";
  ASSERT_EQ(0, symlink(victim_.c_str(), (logFile_ + ".1").c_str()));
  {
    CLog2 log(std::string("SecurityTest"));
    for (int i = 0; i < 3000; ++i) log.print(LOG_INFO_MSG, "a line long enough to roll the log over soon: %d", i);
  }
  EXPECT_EQ("private\n", Read(victim_)) << "a roll-over copy wrote through a planted link";
  EXPECT_EQ(0600u, ModeOf(victim_));
  // Whatever the roll-over made of shared.log.2, it holds no copy of the victim.
  EXPECT_EQ(std::string::npos, Read(logFile_ + ".2").find("private"));
  EXPECT_NE(std::string::npos, Read(logFile_).find("a line long enough")) << "the log itself still works";
}

// ---- the environment of a set-user-ID host ----------------------------------------------------

// Run as the set-user-ID probe: prints where the module would put its files.
int PrintPaths() {
  std::cout << "lock " << NamedLock::Directory() << "\n"
            << "temp " << TempFile::Directory() << "\n"
            << "hklm " << RegistryStore::DefaultFilePath(RegistryRoot::LocalMachine) << "\n"
            << "hkcu " << RegistryStore::DefaultFilePath(RegistryRoot::CurrentUser) << "\n";
  return 0;
}

TEST(SetUserIdHostTest, TheCallersEnvironmentChoosesNoFilesOfASetUserIdHost) {
  if (geteuid() != 0) GTEST_SKIP() << "making a set-user-ID probe needs root";
  char pattern[] = "/tmp/cavix-suid-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  const std::string dir = pattern;
  ASSERT_EQ(0, chmod(dir.c_str(), 0755));
  const std::string probe = dir + "/probe";
  {
    std::ifstream in("/proc/self/exe", std::ios::binary);
    std::ofstream out(probe, std::ios::binary);
    out << in.rdbuf();
  }
  // Owned by daemon (uid 1), set-user-ID, run by nobody: the kernel marks it secure.
  ASSERT_EQ(0, chown(probe.c_str(), 1, 1));
  ASSERT_EQ(0, chmod(probe.c_str(), 04755));
  const std::string command = "env CAVIX_LOCK_DIR=/tmp/evil TMPDIR=/tmp/evil CAVIX_REGISTRY_HKLM=/tmp/evil/hklm.reg "
                              "CAVIX_REGISTRY_HKCU=/tmp/evil/hkcu.reg XDG_CONFIG_HOME=/tmp/evil "
                              "setpriv --reuid=65534 --regid=65534 --clear-groups " +
                              probe + " --print-paths 2>&1";
  std::string output;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[512];
    while (fgets(buffer, sizeof buffer, p)) output += buffer;
    pclose(p);
  }
  // The same probe without the set-user-ID bit honours the variables (the tests' own way in).
  ASSERT_EQ(0, chmod(probe.c_str(), 0755));
  std::string plain;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[512];
    while (fgets(buffer, sizeof buffer, p)) plain += buffer;
    pclose(p);
  }
  unlink(probe.c_str());
  rmdir(dir.c_str());
  if (output.find("lock ") == std::string::npos) GTEST_SKIP() << "the probe did not run set-user-ID: " << output;
  EXPECT_NE(std::string::npos, output.find("lock /run/lock/cavix\n")) << output;
  EXPECT_NE(std::string::npos, output.find("temp /tmp\n")) << output;
  EXPECT_NE(std::string::npos, output.find("hklm /etc/cavix/hklm.reg\n")) << output;
  EXPECT_EQ(std::string::npos, output.find("/tmp/evil")) << output;
  EXPECT_NE(std::string::npos, plain.find("lock /tmp/evil\n")) << plain;
  EXPECT_NE(std::string::npos, plain.find("hklm /tmp/evil/hklm.reg\n")) << plain;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--print-paths") return PrintPaths();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
