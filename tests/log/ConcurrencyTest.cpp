// Several threads and two processes logging into one file: every line arrives whole, once, and
// roll-over moves lines without losing or tearing any.
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <thread>
#include <vector>

#include "LogTestSupport.h"
#include "log/CHRESULT2.h"
#include "log/CLog2.h"
#include "platform/CLockableResource.h"
#include "platform/SystemInfo.h"

namespace {

// A message long enough that torn or interleaved writes would show: a fixed body between a
// header and a trailer that both name the writer and the sequence number.
std::string Body() { return std::string(120, '=') ; }

void WriteMessages(CLog2& log, int writer, int count) {
  const std::string body = Body();
  for (int i = 0; i < count; ++i) log.print(0, "<%d:%d %s %d:%d>", writer, i, body.c_str(), writer, i);
}

// Collects the messages of the given files; every one must be a whole message. Returns, per
// writer, the sequence numbers seen.
std::map<int, std::multiset<int>> Collect(const std::vector<std::string>& paths) {
  std::map<int, std::multiset<int>> seen;
  const std::string body = Body();
  for (const std::string& path : paths) {
    if (!FileExists(path)) continue;
    for (std::string message : MessagesOf(path)) {
      message = message.substr(0, message.find('\n'));  // a roll notice continues the last one
      int w1 = -1, i1 = -1, w2 = -2, i2 = -2;
      char middle[256] = {};
      const int fields = std::sscanf(message.c_str(), "<%d:%d %200s %d:%d>", &w1, &i1, middle, &w2, &i2);
      EXPECT_EQ(fields, 5) << "torn line: " << message;
      EXPECT_EQ(w1, w2) << message;
      EXPECT_EQ(i1, i2) << message;
      EXPECT_EQ(middle, body) << message;
      if (fields == 5) seen[w1].insert(i1);
    }
  }
  return seen;
}

void ExpectAllOnce(const std::map<int, std::multiset<int>>& seen, int writers, int count) {
  ASSERT_EQ(seen.size(), static_cast<size_t>(writers));
  for (const auto& [writer, numbers] : seen) {
    std::multiset<int> expected;
    for (int i = 0; i < count; ++i) expected.insert(i);
    EXPECT_EQ(numbers, expected) << "writer " << writer;
  }
}

TEST_F(LogTest, ThreadsShareOneLogWithoutTornLines) {
  EnableLog("ThreadsLog", 0x1000000A);
  const int kThreads = 6, kEach = 300;
  {
    CLog2 log(std::string("ThreadsLog"));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&log, t] {
        CHRESULT2 scope(&log, "Writer::Run");  // trace lines interleave with the messages
        WriteMessages(log, t, kEach);
      });
    }
    for (std::thread& t : threads) t.join();
  }
  // Remove the scope lines, then check the rest.
  std::vector<std::string> messages = MessagesOf(PathOf("cavix.log"));
  size_t scopes = 0;
  for (const std::string& m : messages) {
    std::string trimmed = m.substr(m.find_first_not_of(' '));
    if (trimmed.rfind("+++Writer::Run", 0) == 0 || trimmed.rfind("---Writer::Run", 0) == 0) ++scopes;
  }
  EXPECT_EQ(scopes, 2u * kThreads);
  EXPECT_EQ(messages.size(), static_cast<size_t>(kThreads * kEach) + scopes);
}

TEST_F(LogTest, ThreadsWithRollOverLoseNoLine) {
  // 4 x 150 messages plus the header: size checks at writes 102, 204, ..., 510 roll each time
  // (1 KB is far exceeded), so the lines end up spread over the log and its five copies.
  EnableLog("RollThreadsLog", 0x1000000A, "cavix.log", 1, 5);
  const int kThreads = 4, kEach = 150;
  {
    CLog2 log(std::string("RollThreadsLog"));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&log, t] { WriteMessages(log, t, kEach); });
    for (std::thread& t : threads) t.join();
  }
  const std::string base = PathOf("cavix.log");
  EXPECT_TRUE(FileExists(base + ".5"));
  ExpectAllOnce(Collect({base, base + ".1", base + ".2", base + ".3", base + ".4", base + ".5"}),
                kThreads, kEach);
}

// Runs `kEach` messages in a child process (its own log object) while the parent writes as
// many, all into the same file.
void RunTwoProcesses(const std::string& name, int kEach) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    {
      CLog2 log(name);
      WriteMessages(log, 1, kEach);
    }
    ::_exit(0);
  }
  {
    CLog2 log(name);
    WriteMessages(log, 0, kEach);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(LogTest, TwoProcessesShareOneFileWithoutTornLines) {
  EnableLog("ProcessesLog", 0x1000000A);
  const int kEach = 400;
  RunTwoProcesses("ProcessesLog", kEach);
  const std::vector<ParsedLine> entries = EntriesOf(PathOf("cavix.log"));
  std::set<unsigned> pids;
  for (const ParsedLine& e : entries) pids.insert(e.pid);
  EXPECT_EQ(pids.size(), 2u);
  ExpectAllOnce(Collect({PathOf("cavix.log")}), 2, kEach);
}

TEST_F(LogTest, TwoProcessesRollingOneFileLoseNoLine) {
  // Each process checks the size on its own 102nd write; at most four rolls for 2 x 200 lines,
  // so five copies keep everything.
  EnableLog("RollProcessesLog", 0x1000000A, "cavix.log", 1, 5);
  const int kEach = 200;
  RunTwoProcesses("RollProcessesLog", kEach);
  const std::string base = PathOf("cavix.log");
  EXPECT_TRUE(FileExists(base + ".1"));
  ExpectAllOnce(Collect({base, base + ".1", base + ".2", base + ".3", base + ".4", base + ".5"}), 2,
                kEach);
}

TEST_F(LogTest, WritesWaitForTheLockNamedAfterTheLogFile) {
  // The lock's name is the path without "\\" and ":".
  EnableLog("LockedFileLog", 0x1000000A, "c:avix.log");
  const std::string logFile = PathOf("c:avix.log");
  CLockableResource held(PathOf("cavix.log"));
  ASSERT_TRUE(held.Lock(0));

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    {
      CLog2 log(std::string("LockedFileLog"));  // writes its header: waits for the lock
    }
    ::_exit(0);
  }
  // While the lock is held nothing reaches the file. (A slow machine can only make this pass
  // for a wrong reason, never fail for a right one.)
  Sleep(300);
  EXPECT_FALSE(FileExists(logFile));
  int status = 0;
  EXPECT_EQ(::waitpid(child, &status, WNOHANG), 0);  // still waiting
  held.Unlock();
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(EntriesOf(logFile).size(), 1u);
}

}  // namespace
