// Lines as they reach the log file and the debugger output: prefix, indentation, header,
// destinations, pending lines, long messages and the roll-over into numbered copies.
#include <unistd.h>

#include <fstream>
#include <regex>

#include "LogTestSupport.h"
#include "driver/CavixScanner.h"
#include "log/CHRESULT2.h"
#include "log/CLog2.h"
#include "platform/SystemInfo.h"

namespace {

const char kColumns[] = "  <Date>      <time>    <logtick>     <PID>     <TID>  <log message>";

TEST_F(LogTest, LinePrefixCarriesTimeTickProcessAndThread) {
  EnableLog("PrefixLog", 0x1000000A);
  CLog2 log(std::string("PrefixLog"));
  log.print(0x10000008u, "value %d and %s", 42, "text");
  const std::vector<ParsedLine> entries = EntriesOf(PathOf("cavix.log"));
  ASSERT_EQ(entries.size(), 2u);  // header, message
  EXPECT_EQ(entries[1].message, "value 42 and text");
  EXPECT_EQ(entries[1].pid, GetCurrentProcessId());
  EXPECT_EQ(entries[1].tid, GetCurrentThreadId());
  EXPECT_LE(entries[0].tick, entries[1].tick);
}

TEST_F(LogTest, HeaderNamesProcessModuleAndVersionThenTheColumns) {
  EnableLog("HeaderLog", 0x1000000A);
  CLog2 log(std::string("HeaderLog"));
  log.WriteHeader(0);  // the driver writes it again for each driver object
  const std::string exe = GetExecutablePath();
  // The log code is linked into this test program, so the module is the program itself.
  const std::string text = "Process: " + exe + ", Module: " + exe + ", Version: " CAVIX_PROJECT_VERSION;
  EXPECT_EQ(log.HeaderText(), text);
  const std::string header = text + "\n" + kColumns;
  const std::vector<ParsedLine> entries = EntriesOf(PathOf("cavix.log"));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message, header);
  EXPECT_EQ(entries[1].message, header);
}

TEST_F(LogTest, HeaderFollowsTheLevelFilter) {
  // An error-only mask refuses the header's information level.
  EnableLog("QuietHeaderLog", 0x80000000u);
  CLog2 log(std::string("QuietHeaderLog"));
  log.print(0x80000008u, "only errors");
  EXPECT_EQ(EntriesOf(PathOf("cavix.log")).size(), 1u);
  log.WriteHeader(0x80000000u);
  EXPECT_EQ(EntriesOf(PathOf("cavix.log")).size(), 2u);
}

TEST_F(LogTest, IndentationIsThreeSpacesPerOpenScope) {
  EnableLog("IndentLog", 0x1000000A);
  CLog2 log(std::string("IndentLog"));
  ASSERT_EQ(CHRESULT2::Depth(), 0);
  {
    CHRESULT2 outer(&log, "Outer::Run");
    log.print(0, "in outer");
    {
      CHRESULT2 inner(&log, "Inner::Run");
      log.print(0, "in inner");
      log.printUnindented(0, "flush left");
    }
  }
  EXPECT_EQ(CHRESULT2::Depth(), 0);
  const std::vector<std::string> messages = MessagesOf(PathOf("cavix.log"));
  ASSERT_EQ(messages.size(), 7u);
  EXPECT_EQ(messages[0], "+++Outer::Run: ");
  EXPECT_EQ(messages[1], "   in outer");
  EXPECT_EQ(messages[2], "   +++Inner::Run: ");
  EXPECT_EQ(messages[3], "      in inner");
  EXPECT_EQ(messages[4], "flush left");
  EXPECT_TRUE(std::regex_match(messages[5], std::regex(R"(   ---Inner::Run: hr=0x0, Elapsed: \d+ms)")))
      << messages[5];
  EXPECT_TRUE(std::regex_match(messages[6], std::regex(R"(---Outer::Run: hr=0x0, Elapsed: \d+ms)")))
      << messages[6];
}

TEST_F(LogTest, EnabledWithoutDestinationWritesNothingAndMakesNoLines) {
  EnableLog("NoDestLog", 0x8FFFFFFFu, "cavix.log", 0, 0, /*destination*/ 0);
  CLog2 log(std::string("NoDestLog"));
  EXPECT_EQ(log.BeginLine(0x80000008u, true), nullptr);
  EXPECT_EQ(log.BeginLine(true), nullptr);
  log.print(0x80000008u, "dropped");
  EXPECT_FALSE(FileExists(PathOf("cavix.log")));
}

TEST_F(LogTest, DisabledLogWritesNothing) {
  WriteLogKey("OffLog", {"\"LogEnabled\"=dword:00000000", "\"LogLevel\"=dword:8fffffff",
                         "\"LogDestination\"=dword:00000003",
                         "\"LogFile\"=\"" + PathOf("cavix.log") + "\""});
  ::testing::internal::CaptureStderr();
  {
    CLog2 log(std::string("OffLog"));
    log.print(0x80000008u, "dropped");
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(FileExists(PathOf("cavix.log")));
}

TEST_F(LogTest, LineStartVariantNeedsInformationAndTheLockNameCategory) {
  EnableLog("VariantLog", 0x10000040u);
  {
    CLog2 log(std::string("VariantLog"));
    CLog2::Line* line = log.BeginLine(false);
    ASSERT_NE(line, nullptr);
    line->text << "variant line\n";
    log.WriteLine(line);
  }
  EXPECT_EQ(MessagesOf(PathOf("cavix.log")), std::vector<std::string>{"variant line"});

  EnableLog("VariantLog2", 0x8000004Fu);  // 0x40 without the information bit
  CLog2 other(std::string("VariantLog2"));
  EXPECT_EQ(other.BeginLine(false), nullptr);
}

TEST_F(LogTest, DebuggerOutputGetsTheSameLine) {
  EnableLog("DebugLog", 0x1000000A, "cavix.log", 0, 0, /*destination*/ 2);
  ::testing::internal::CaptureStderr();
  {
    CLog2 log(std::string("DebugLog"));
    log.print(0x10000002u, "to the debugger");
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(FileExists(PathOf("cavix.log")));  // bit 0x1 is not set
  const std::vector<std::string> lines = SplitLines(err);
  ASSERT_EQ(lines.size(), 3u) << err;  // header (two lines), message
  ParsedLine parsed;
  ASSERT_TRUE(ParseLine(lines[2], &parsed));
  EXPECT_EQ(parsed.message, "to the debugger");
  EXPECT_EQ(lines[1], kColumns);
}

TEST_F(LogTest, PendingLinesAreWrittenWhenTheLogIsDestroyed) {
  EnableLog("PendingLog", 0x1000000A);
  {
    CLog2 log(std::string("PendingLog"));
    CLog2::Line* first = log.BeginLine(0x10000008u, true);
    CLog2::Line* second = log.BeginLine(0x10000008u, true);
    CLog2::Line* third = log.BeginLine(0x10000008u, true);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    ASSERT_NE(third, nullptr);
    first->text << "first, never written\n";
    second->text << "written\n";
    third->text << "third, never written\n";
    log.WriteLine(second);
    EXPECT_EQ(MessagesOf(PathOf("cavix.log")), std::vector<std::string>{"written"});
  }
  // The rest in the order they were begun.
  EXPECT_EQ(MessagesOf(PathOf("cavix.log")),
            (std::vector<std::string>{"written", "first, never written", "third, never written"}));
}

TEST_F(LogTest, LongMessagesAreCutAt16383Characters) {
  EnableLog("LongLog", 0x1000000A);
  CLog2 log(std::string("LongLog"));
  const std::string big(20000, 'x');
  log.print(0x10000008u, "%s", big.c_str());
  log.print(0x10000008u, "%s", big.substr(0, 16383).c_str());
  const std::vector<std::string> messages = MessagesOf(PathOf("cavix.log"));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], big.substr(0, 16383));
  EXPECT_EQ(messages[1], big.substr(0, 16383));
}

TEST_F(LogTest, UnwritableLogFileIsSilentlySkipped) {
  WriteLogKey("BadFileLog", {"\"LogEnabled\"=dword:00000001", "\"LogLevel\"=dword:8fffffff",
                             "\"LogDestination\"=dword:00000001",
                             "\"LogFile\"=\"" + PathOf("missing-dir/cavix.log") + "\""});
  CLog2 log(std::string("BadFileLog"));
  for (int i = 0; i < 150; ++i) log.print(0x80000008u, "line %d", i);
  EXPECT_FALSE(FileExists(PathOf("missing-dir")));
}

// ---- Roll-over ----------------------------------------------------------------------------

// Message numbers in a list of messages "message NNNN".
std::vector<int> Numbers(const std::vector<std::string>& messages) {
  std::vector<int> numbers;
  for (const std::string& m : messages) {
    int n = -1;
    EXPECT_EQ(std::sscanf(m.c_str(), "message %d", &n), 1) << m;
    numbers.push_back(n);
  }
  return numbers;
}

std::vector<int> Range(int first, int last) {
  std::vector<int> r;
  for (int i = first; i <= last; ++i) r.push_back(i);
  return r;
}

// Checks that `text` ends with its last line, a line break and the roll notice, and that the
// notice names the roll size and the file's size before that last line.
void ExpectRollNotice(const std::string& text) {
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      text, m, std::regex(R"(\n\nTime To Roll!! RollSize= 1024 , Current Log Size= (\d+)$)")))
      << text.substr(text.size() > 200 ? text.size() - 200 : 0);
  const size_t noticeStart = static_cast<size_t>(m.position(0)) + 1;  // after the line's break
  const size_t lastLineStart = text.rfind('\n', noticeStart - 2) + 1;
  EXPECT_EQ(std::stoul(m[1].str()), lastLineStart);
}

TEST_F(LogTest, RollOverEvery102WritesKeepsTwoCopies) {
  EnableLog("RollLog", 0x1000000A, "cavix.log", /*sizeKB*/ 1, /*rollCount*/ 2);
  CLog2 log(std::string("RollLog"));  // the header is write 1
  const std::string log0 = PathOf("cavix.log"), log1 = log0 + ".1", log2 = log0 + ".2";

  for (int i = 1; i <= 100; ++i) log.print(0, "message %04d", i);  // writes 2..101
  EXPECT_FALSE(FileExists(log1));
  log.print(0, "message %04d", 101);  // write 102: the size is checked, the file rolls
  ASSERT_TRUE(FileExists(log1));
  EXPECT_FALSE(FileExists(log2));
  EXPECT_EQ(ReadFile(log0), "");
  const std::string first = ReadFile(log1);
  ExpectRollNotice(first);
  EXPECT_EQ(first.compare(first.rfind("message"), 12, "message 0101"), 0);

  for (int i = 102; i <= 203; ++i) log.print(0, "message %04d", i);  // roll 2 at message 203
  for (int i = 204; i <= 310; ++i) log.print(0, "message %04d", i);  // roll 3 at message 305

  // The first file (header, 1..101) fell off the end; ".2" holds the second, ".1" the third.
  EXPECT_FALSE(FileExists(log0 + ".3"));
  EXPECT_EQ(Numbers(MessagesOf(log0)), Range(306, 310));
  const std::string copy1 = ReadFile(log1), copy2 = ReadFile(log2);
  ExpectRollNotice(copy1);
  ExpectRollNotice(copy2);
  // Each entry's continuation holds the notice; strip it to compare the numbers.
  auto numbersOf = [](const std::string& path) {
    std::vector<std::string> messages = MessagesOf(path);
    if (!messages.empty()) messages.back() = messages.back().substr(0, messages.back().find('\n'));
    return Numbers(messages);
  };
  EXPECT_EQ(numbersOf(log1), Range(204, 305));
  EXPECT_EQ(numbersOf(log2), Range(102, 203));
}

TEST_F(LogTest, NoRollOverWhileTheFileIsSmallOrSizeIsZero) {
  EnableLog("SmallLog", 0x1000000A, "cavix.log", /*sizeKB*/ 1024, /*rollCount*/ 2);
  {
    CLog2 log(std::string("SmallLog"));
    for (int i = 1; i <= 250; ++i) log.print(0, "message %04d", i);
  }
  EXPECT_FALSE(FileExists(PathOf("cavix.log.1")));
  EXPECT_EQ(Numbers(MessagesOf(PathOf("cavix.log"))), Range(1, 250));

  EnableLog("NoRollLog", 0x1000000A, "other.log", /*sizeKB*/ 0, /*rollCount*/ 2);
  CLog2 log(std::string("NoRollLog"));
  for (int i = 1; i <= 250; ++i) log.print(0, "message %04d", i);
  EXPECT_FALSE(FileExists(PathOf("other.log.1")));
}

TEST_F(LogTest, RollFilesShiftsCopiesAndDropsTheLast) {
  EnableLog("ShiftLog", 0x1000000A, "shift.log", 1, 3);
  CLog2 log(std::string("ShiftLog"));
  const std::string base = PathOf("shift.log");
  auto put = [](const std::string& path, const std::string& text) { std::ofstream(path) << text; };
  put(base, "current");
  put(base + ".1", "one");
  put(base + ".3", "three");  // .2 is missing
  put(base + ".4", "beyond the count");
  log.RollFiles();
  EXPECT_EQ(ReadFile(base + ".1"), "current");
  EXPECT_EQ(ReadFile(base + ".2"), "one");
  EXPECT_FALSE(FileExists(base + ".3"));  // deleted, and nothing was copied over it
  EXPECT_EQ(ReadFile(base + ".4"), "beyond the count");
  EXPECT_EQ(ReadFile(base), "current");  // the caller empties the log

  log.RollFiles();
  EXPECT_EQ(ReadFile(base + ".3"), "one");
  EXPECT_EQ(ReadFile(base + ".2"), "current");
  EXPECT_EQ(ReadFile(base + ".1"), "current");
}

TEST_F(LogTest, RollCountZeroKeepsNoCopies) {
  EnableLog("ZeroRollLog", 0x1000000A, "cavix.log", 1, 0);
  CLog2 log(std::string("ZeroRollLog"));
  for (int i = 1; i <= 101; ++i) log.print(0, "message %04d", i);
  // Rolled at write 102: the old content went nowhere, the log starts empty.
  EXPECT_FALSE(FileExists(PathOf("cavix.log.1")));
  EXPECT_EQ(ReadFile(PathOf("cavix.log")), "");
  log.print(0, "message %04d", 102);
  EXPECT_EQ(Numbers(MessagesOf(PathOf("cavix.log"))), Range(102, 102));
}

}  // namespace
