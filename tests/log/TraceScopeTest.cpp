// CHRESULT2: the entry and exit lines byte for byte, their levels, the depth counter, and
// scopes without a log.
#include <atomic>
#include <regex>
#include <thread>
#include <vector>

#include "LogTestSupport.h"
#include "log/CHRESULT2.h"
#include "log/CLog2.h"

namespace {

const DWORD kSession = 0x1a2b3c4d;

TEST(TraceLines, TheThreeStartScanExamples) {
  EXPECT_EQ(CHRESULT2::FormatEntryLine("CavixDriver::StartScan", nullptr, kSession),
            "+++CavixDriver::StartScan: SessionID=0x1a2b3c4d\n");
  DWORD code = 0;
  EXPECT_EQ(CHRESULT2::FormatExitLine("CavixDriver::StartScan", kSession, S_OK, &code, 15),
            "---CavixDriver::StartScan: SessionID=0x: 1a2b3c4dhr=0x0, CavixError=none (0), "
            "Elapsed: 15ms\n");
  code = CERR_SCANNER_NOT_LOCKED;
  EXPECT_EQ(CHRESULT2::FormatExitLine("CavixDriver::StartScan", kSession, E_FAIL, &code, 0),
            "---CavixDriver::StartScan: SessionID=0x: 1a2b3c4dERROR: hr=0x80004005, "
            "CavixError=CERR_SCANNER_NOT_LOCKED (4), Elapsed: 0ms\n");
}

TEST(TraceLines, EntryLineForms) {
  EXPECT_EQ(CHRESULT2::FormatEntryLine("CavixDriver::OpenScannerSession", nullptr, 0),
            "+++CavixDriver::OpenScannerSession: \n");
  EXPECT_EQ(CHRESULT2::FormatEntryLine("Stream::Read", "bytes=64", 0), "+++Stream::Read(bytes=64): \n");
  EXPECT_EQ(CHRESULT2::FormatEntryLine("Stream::Read", "", 0xABCDEFu),
            "+++Stream::Read(): SessionID=0xabcdef\n");
}

TEST(TraceLines, ErrorLabelDependsOnTheSession) {
  DWORD busy = CERR_NET_SOCKET_BUSY;
  EXPECT_EQ(CHRESULT2::FormatExitLine("Net::Open", 7, E_FAIL, &busy, 3),
            "---Net::Open: SessionID=0x: 7ERROR: hr=0x80004005, CavixError=CERR_NET_SOCKET_BUSY (18), "
            "Elapsed: 3ms\n");
  EXPECT_EQ(CHRESULT2::FormatExitLine("Net::Open", 0, E_FAIL, &busy, 3),
            "---Net::Open: ERROR: hr=0x80004005, extended error=(18), Elapsed: 3ms\n");
  // Without an error pointer there is no label at all.
  EXPECT_EQ(CHRESULT2::FormatExitLine("Net::Open", 7, E_FAIL, nullptr, 3),
            "---Net::Open: SessionID=0x: 7ERROR: hr=0x80004005, Elapsed: 3ms\n");
  EXPECT_EQ(CHRESULT2::FormatExitLine("SetError", 0, S_OK, nullptr, 0), "---SetError: hr=0x0, Elapsed: 0ms\n");
}

TEST(TraceLines, CodesWithoutANameAndTheTmaNames) {
  DWORD code = 22;
  EXPECT_EQ(CHRESULT2::FormatExitLine("A::B", 1, S_OK, &code, 0),
            "---A::B: SessionID=0x: 1hr=0x0, CavixError=error string not defined (22), Elapsed: 0ms\n");
  code = 0xFFFF;  // the table's end marker is no code
  EXPECT_EQ(CHRESULT2::FormatExitLine("A::B", 1, S_OK, &code, 0),
            "---A::B: SessionID=0x: 1hr=0x0, CavixError=error string not defined (65535), Elapsed: 0ms\n");
  code = CERR_TEMPLATE;
  EXPECT_EQ(CHRESULT2::FormatExitLine("A::B", 1, S_OK, &code, 0),
            "---A::B: SessionID=0x: 1hr=0x0, CavixError=CERR_TEMPLATE (TMA) (321), Elapsed: 0ms\n");
}

TEST(TraceLines, ExtendedResultNameOnlyWithSessionAndErrorPointerAndNotForEFail) {
  DWORD code = CERR_SCANNER_LOCK_FAILED;
  EXPECT_EQ(CHRESULT2::FormatExitLine("CavixDriver::LockScanner", 0x10, CAVIX_E_SCONF_BUSY, &code, 1),
            "---CavixDriver::LockScanner: SessionID=0x: 10ERROR: hr=0x80040021 (CAVIX_E_SCONF_BUSY), "
            "CavixError=CERR_SCANNER_LOCK_FAILED (5), Elapsed: 1ms\n");
  EXPECT_EQ(CHRESULT2::FormatExitLine("CavixDriver::LockScanner", 0, CAVIX_E_SCONF_BUSY, &code, 1),
            "---CavixDriver::LockScanner: ERROR: hr=0x80040021, extended error=(5), Elapsed: 1ms\n");
  EXPECT_EQ(CHRESULT2::FormatExitLine("CavixDriver::LockScanner", 0x10, CAVIX_E_SCONF_BUSY, nullptr, 1),
            "---CavixDriver::LockScanner: SessionID=0x: 10ERROR: hr=0x80040021, Elapsed: 1ms\n");
  EXPECT_EQ(CHRESULT2::FormatExitLine("X::Y", 0x10, CAVIX_E_SCONF_FIREWALL, &code, 1),
            "---X::Y: SessionID=0x: 10ERROR: hr=0x80040222 (CAVIX_E_SCONF_FIREWALL), "
            "CavixError=CERR_SCANNER_LOCK_FAILED (5), Elapsed: 1ms\n");
  // A facility-4 value that is not in the table gets no name; neither does a win32 result.
  EXPECT_EQ(CHRESULT2::FormatExitLine("X::Y", 0x10, static_cast<HRESULT>(0x80040001u), &code, 1),
            "---X::Y: SessionID=0x: 10ERROR: hr=0x80040001, CavixError=CERR_SCANNER_LOCK_FAILED (5), "
            "Elapsed: 1ms\n");
  // A positive result other than S_OK is marked ERROR: too, and prints in hexadecimal.
  EXPECT_EQ(CHRESULT2::FormatExitLine("X::Y", 0, HRESULT_FROM_WIN32(183), nullptr, 1),
            "---X::Y: ERROR: hr=0x800700b7, Elapsed: 1ms\n");
  EXPECT_EQ(CHRESULT2::FormatExitLine("X::Y", 0, S_FALSE, nullptr, 1), "---X::Y: ERROR: hr=0x1, Elapsed: 1ms\n");
}

TEST(TraceLines, ExitLevelIsErrorForNegativeResultOrNonzeroCode) {
  DWORD code = 0;
  EXPECT_EQ(CHRESULT2::ExitLevel(S_OK, &code, 0), 0x10000002u);
  EXPECT_EQ(CHRESULT2::ExitLevel(S_OK, nullptr, 0), 0x10000002u);
  EXPECT_EQ(CHRESULT2::ExitLevel(S_FALSE, nullptr, 0), 0x10000002u);
  EXPECT_EQ(CHRESULT2::ExitLevel(E_FAIL, &code, 0), 0x80000002u);
  EXPECT_EQ(CHRESULT2::ExitLevel(E_FAIL, nullptr, 4), 0x80000006u);
  code = CERR_SCANNER_END_OF_PAGE;
  EXPECT_EQ(CHRESULT2::ExitLevel(S_OK, &code, 0), 0x80000002u);
  EXPECT_EQ(CHRESULT2::ExitLevel(S_OK, &code, 4), 0x80000006u);
}

// ---- Scopes writing to a log --------------------------------------------------------------

TEST_F(LogTest, ScopeWritesTheExampleLinesToTheLog) {
  EnableLog("ScopeLog", 0x1000000A | 0x80000000u);
  CLog2 log(std::string("ScopeLog"));
  DWORD code = 0;
  {
    CHRESULT2 hr(&log, "CavixDriver::StartScan", kSession, &code);
    code = CERR_SCANNER_NOT_LOCKED;
    hr = E_FAIL;
    EXPECT_EQ(static_cast<HRESULT>(hr), E_FAIL);
  }
  const std::vector<std::string> messages = MessagesOf(PathOf("cavix.log"));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "+++CavixDriver::StartScan: SessionID=0x1a2b3c4d");
  EXPECT_TRUE(std::regex_match(
      messages[1], std::regex(R"(---CavixDriver::StartScan: SessionID=0x: 1a2b3c4dERROR: hr=0x80004005, )"
                              R"(CavixError=CERR_SCANNER_NOT_LOCKED \(4\), Elapsed: \d+ms)")))
      << messages[1];
}

TEST_F(LogTest, ArgumentFormShowsTheFormattedArguments) {
  EnableLog("ArgsLog", 0x1000000A);
  CLog2 log(std::string("ArgsLog"));
  { CHRESULT2 hr(&log, "Stream::Write", 0, nullptr, 0, "bytes=%d, name=%s", 512, "page"); }
  const std::vector<std::string> messages = MessagesOf(PathOf("cavix.log"));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "+++Stream::Write(bytes=512, name=page): ");
  EXPECT_TRUE(std::regex_match(messages[1], std::regex(R"(---Stream::Write: hr=0x0, Elapsed: \d+ms)")));
}

TEST_F(LogTest, ErrorOnlyMaskWritesJustTheFailingExits) {
  EnableLog("ErrorsLog", 0x80000000u);
  CLog2 log(std::string("ErrorsLog"));
  DWORD code = 0;
  { CHRESULT2 ok(&log, "A::Fine", 1, &code); }
  {
    CHRESULT2 eop(&log, "A::EndOfPage", 1, &code);
    code = CERR_SCANNER_END_OF_PAGE;  // S_OK with code 15 is an error-level exit
  }
  code = 0;
  {
    CHRESULT2 failed(&log, "A::Failed", 0, nullptr, 4);
    failed = E_FAIL;
  }
  const std::vector<std::string> messages = MessagesOf(PathOf("cavix.log"));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_TRUE(std::regex_match(
      messages[0], std::regex(R"(---A::EndOfPage: SessionID=0x: 1hr=0x0, CavixError=CERR_SCANNER_END_OF_PAGE \(15\), Elapsed: \d+ms)")))
      << messages[0];
  EXPECT_TRUE(std::regex_match(messages[1], std::regex(R"(---A::Failed: ERROR: hr=0x80004005, Elapsed: \d+ms)")))
      << messages[1];
}

TEST_F(LogTest, LockCategoryScopesNeedTheLockBitInTheMask) {
  EnableLog("LockBitsLog", 0x1000000Au);
  CLog2 log(std::string("LockBitsLog"));
  { CHRESULT2 lockScope(&log, "CScannerLock2::Lock", 0, nullptr, 0x4); }
  EXPECT_TRUE(MessagesOf(PathOf("cavix.log")).empty());
  EXPECT_EQ(CHRESULT2::Depth(), 0);
}

TEST(TraceScope, NullLogCountsNoDepthAndKeepsTheResult) {
  ASSERT_EQ(CHRESULT2::Depth(), 0);
  DWORD code = 5;
  CHRESULT2 hr(nullptr, "Quiet::Op", 3, &code, 0, "%s", "x");
  EXPECT_EQ(CHRESULT2::Depth(), 0);
  EXPECT_EQ(static_cast<HRESULT>(hr), S_OK);
  hr = CAVIX_E_DEVICE_ABORT;
  EXPECT_EQ(static_cast<HRESULT>(hr), CAVIX_E_DEVICE_ABORT);
}

TEST(TraceScope, DepthCountsTheCallingThreadsScopesEvenWhenTheLogIsOff) {
  CLog2 off{std::string()};  // empty name: no configuration, nothing admitted
  ASSERT_EQ(CHRESULT2::Depth(), 0);
  {
    CHRESULT2 outer(&off, "Outer::Op");
    EXPECT_EQ(CHRESULT2::Depth(), 1);
    std::vector<std::thread> threads;
    std::atomic<int> wrongDepths{0};
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&off, &wrongDepths] {
        for (int i = 0; i < 10000; ++i) {
          CHRESULT2 a(&off, "T::A");
          CHRESULT2 b(&off, "T::B");
          if (CHRESULT2::Depth() != 2) ++wrongDepths;
        }
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrongDepths.load(), 0);
    EXPECT_EQ(CHRESULT2::Depth(), 1);
  }
  EXPECT_EQ(CHRESULT2::Depth(), 0);
}

TEST_F(LogTest, IndentationReflectsOnlyTheWritingThreadsScopes) {
  EnableLog("ThreadsIndentLog", 0x1000000A);
  CLog2 log(std::string("ThreadsIndentLog"));
  {
    CHRESULT2 outer(&log, "Main::Op");
    std::thread([&log] {
      log.print(0, "from another thread");
      CHRESULT2 own(&log, "Other::Op");
      log.print(0, "inside its own scope");
    }).join();
  }
  const std::vector<std::string> messages = MessagesOf(PathOf("cavix.log"));
  ASSERT_EQ(messages.size(), 6u);
  EXPECT_EQ(messages[1], "from another thread");
  EXPECT_EQ(messages[3], "   inside its own scope");
}

}  // namespace
