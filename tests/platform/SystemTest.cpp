// Process facts, temporary files and page mappings.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <system_error>
#include <thread>

#include "platform/PageMapping.h"
#include "platform/SystemInfo.h"
#include "platform/TempFile.h"
#include "tests/platform/ScratchDir.h"

namespace {

TEST(SystemInfoTest, TickCountIsMonotonicMilliseconds) {
  DWORD before = GetTickCount();
  Sleep(20);
  DWORD after = GetTickCount();
  EXPECT_GE(static_cast<DWORD>(after - before), 20u) << "Sleep waits at least as long as asked";
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  DWORD expected = static_cast<DWORD>(static_cast<uint64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
  EXPECT_LE(static_cast<DWORD>(expected - after), 60000u) << "same clock, truncated to 32 bits";
}

TEST(SystemInfoTest, ProcessAndThreadIds) {
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
  EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(getpid())) << "the main thread's id is the process id";
  DWORD other = 0;
  std::thread t([&] { other = GetCurrentThreadId(); });
  t.join();
  EXPECT_NE(other, GetCurrentThreadId());
  EXPECT_NE(other, 0u);
}

TEST(SystemInfoTest, LocalTimeMatchesLocaltime) {
  SYSTEMTIME st;
  std::memset(&st, 0xFF, sizeof st);
  time_t before = time(nullptr);
  GetLocalTime(&st);
  struct tm tm;
  localtime_r(&before, &tm);
  EXPECT_EQ(st.wYear, tm.tm_year + 1900);
  EXPECT_GE(st.wMonth, 1);
  EXPECT_LE(st.wMonth, 12);
  EXPECT_LE(st.wDayOfWeek, 6);
  EXPECT_LE(st.wHour, 23);
  EXPECT_LE(st.wMinute, 59);
  EXPECT_LE(st.wSecond, 60);
  EXPECT_LE(st.wMilliseconds, 999);
}

TEST(SystemInfoTest, ModulePathsOfCodeAndProgram) {
  std::string exe = GetExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe[0], '/');
  EXPECT_NE(exe.find("cavix_platform_tests"), std::string::npos);
  // Code linked into the program belongs to the program.
  EXPECT_EQ(GetModulePathOf(reinterpret_cast<const void*>(&GetTickCount)), exe);
  // Code of a loaded module belongs to that module, named by its absolute path.
  void* module = dlopen(CAVIX_TEST_SERVER_MODULE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  void* entry = dlsym(module, "DllGetClassObject");
  ASSERT_NE(entry, nullptr);
  char real[PATH_MAX];
  ASSERT_NE(realpath(CAVIX_TEST_SERVER_MODULE, real), nullptr);
  EXPECT_EQ(GetModulePathOf(entry), real);
  EXPECT_EQ(GetModulePathOf(nullptr), "");
}

TEST(SystemInfoTest, DebuggerOutputGoesToStandardError) {
  testing::internal::CaptureStderr();
  OutputDebugString("cavix: line one\n");
  OutputDebugString("no newline");
  OutputDebugString(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "cavix: line one\nno newline");
}

TEST(TempFileTest, PrivateFileInTmpdirRemovedByItsOwner) {
  ScratchDir dir;
  const char* old = getenv("TMPDIR");
  std::string saved = old != nullptr ? old : "";
  setenv("TMPDIR", dir.Path().c_str(), 1);
  mode_t oldMask = umask(0);
  std::string path;
  {
    TempFile file("jpeg");
    path = file.Path();
    EXPECT_EQ(path.rfind(dir.Path() + "/jpeg", 0), 0u) << path;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << "private even with umask 0";
    ASSERT_GE(file.Fd(), 0);
    ASSERT_EQ(write(file.Fd(), "abc", 3), 3);
    file.CloseFd();
    EXPECT_EQ(file.Fd(), -1);
    EXPECT_EQ(ScratchDir::ReadFile(path), "abc") << "the file outlives its descriptor";
    TempFile second("jpeg");
    EXPECT_NE(second.Path(), path);
  }
  umask(oldMask);
  EXPECT_EQ(access(path.c_str(), F_OK), -1) << "removed with its owner";

  setenv("TMPDIR", "", 1);
  EXPECT_EQ(TempFile::Directory(), "/tmp");
  setenv("TMPDIR", (dir.Path() + "/missing").c_str(), 1);
  EXPECT_THROW(TempFile("x"), std::system_error);
  if (old != nullptr) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
}

TEST(PageMappingTest, ExactCapacityZeroRefusedSharedWithChildren) {
  EXPECT_THROW(PageMapping(0), std::system_error);
  PageMapping map(10000);
  EXPECT_EQ(map.Capacity(), 10000u);
  ASSERT_NE(map.Data(), nullptr);
  EXPECT_EQ(map.Data()[9999], 0) << "anonymous memory starts zeroed";
  map.Data()[0] = 1;
  // MAP_SHARED: a child's writes are seen by the parent.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    map.Data()[9999] = 0x5A;
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(map.Data()[9999], 0x5A);
  EXPECT_EQ(map.Data()[0], 1);
}

}  // namespace
