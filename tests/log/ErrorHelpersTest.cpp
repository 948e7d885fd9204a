// Error-name tables, the result helpers, the raising and logging helpers on the global log, and
// the conversion of thrown failures at an operation's boundary.
#include <new>
#include <regex>
#include <stdexcept>
#include <string>

#include "LogTestSupport.h"
#include "log/CLog2.h"
#include "log/ErrorNames.h"
#include "log/GlobalLog.h"
#include "log/LogHelpers.h"
#include "log/ResultHelpers.h"

namespace {

const char kClassKey[] = "{1422B44C-CBF9-440D-A286-44AD4F87BF5F}";

TEST(ErrorNames, ExitLineTableInItsFixedOrderEndedBy0xFFFF) {
  // The order as published, TMA entries between 300 and 301, 120/121 after the 13x codes.
  const uint32_t expectedOrder[] = {
      0,   1,   2,   3,   4,   5,   6,   7,   8,   9,   10,  11,  12,  13,  14,  15,
      16,  17,  18,  19,  20,  21,  100, 101, 102, 103, 104, 105, 106, 107, 108, 109,
      110, 111, 112, 130, 131, 132, 133, 134, 135, 136, 137, 138, 139, 140, 120, 121,
      200, 201, 300, 320, 321, 322, 323, 301, 400, 401, 500, 600, 700, 701, 900, 901,
      902, 903, 904};
  size_t i = 0;
  for (; g_cavixErrorNames[i].code != ERROR_NAMES_END; ++i) {
    ASSERT_LT(i, std::size(expectedOrder));
    EXPECT_EQ(g_cavixErrorNames[i].code, expectedOrder[i]) << "entry " << i;
  }
  EXPECT_EQ(i, std::size(expectedOrder));
}

TEST(ErrorNames, NamesAsTheExitLineShowsThem) {
  EXPECT_STREQ(LookUpErrorName(0), "none");
  EXPECT_STREQ(LookUpErrorName(4), "CERR_SCANNER_NOT_LOCKED");
  EXPECT_STREQ(LookUpErrorName(20), "CERR_BACKGROUND_COLOR_CHANGE_FAILED");
  EXPECT_STREQ(LookUpErrorName(100), "CERR_ADF_JAMMED");
  EXPECT_STREQ(LookUpErrorName(121), "CERR_DIAG_MOVE_FAILED");
  EXPECT_STREQ(LookUpErrorName(140), "CERR_OPEN_ADF_PLATEN");
  EXPECT_STREQ(LookUpErrorName(320), "CERR_BACKING_NOT_REMOVED (TMA)");
  EXPECT_STREQ(LookUpErrorName(321), "CERR_TEMPLATE (TMA)");
  EXPECT_STREQ(LookUpErrorName(322), "CERR_UNPLUGGED (TMA)");
  EXPECT_STREQ(LookUpErrorName(323), "CERR_BUSY (TMA)");
  EXPECT_STREQ(LookUpErrorName(301), "CERR_XPA_ALIGN_FAILED");
  EXPECT_STREQ(LookUpErrorName(904), "CERR_FW_DEVICE_NOT_READY");
  EXPECT_EQ(LookUpErrorName(22), nullptr);
  EXPECT_EQ(LookUpErrorName(113), nullptr);
  EXPECT_EQ(LookUpErrorName(0xFFFF), nullptr);
  EXPECT_EQ(LookUpErrorName(0xFFFFFFFFu), nullptr);
}

TEST(ErrorNames, ExtendedResults) {
  const struct {
    uint32_t hr;
    const char* name;
  } expected[] = {
      {0x80040000u, "CAVIX_E_DEVICE_ABORT"},
      {0x8004000Au, "CAVIX_E_SNF_REDISCOVERY"},
      {0x8004000Bu, "CAVIX_E_SNF_REDISCOVERY_NO_DEVICE"},
      {0x8004000Cu, "CAVIX_E_SNF_REDISCOVERY_NO_NETWORK_DATA"},
      {0x8004000Du, "CAVIX_E_SNF_REDISCOVERY_MUTEX"},
      {0x8004000Eu, "CAVIX_E_SNF_REDISCOVERY_LIBRARY"},
      {0x8004000Fu, "CAVIX_E_SNF_REDISCOVERY_CCI"},
      {0x8004001Eu, "CAVIX_E_SCONF_REJECTED"},
      {0x8004001Fu, "CAVIX_E_SCONF_REDISCOVERY_BADNAME"},
      {0x80040020u, "CAVIX_E_SCONF_SCL_ERROR"},
      {0x80040021u, "CAVIX_E_SCONF_BUSY"},
      {0x80040032u, "CAVIX_E_BDR_GENERAL"},
      {0x80040033u, "CAVIX_E_BDR_JPEG"},
      {0x80040034u, "CAVIX_E_BDR_REALIGNMENT"},
      {0x80040035u, "CAVIX_E_BDR_IP"},
      {0x80040046u, "CAVIX_E_LAMP_FLATBED"},
      {0x80040047u, "CAVIX_E_LAMP_ADF"},
      {0x80040048u, "CAVIX_E_LAMP_TMA"},
      {0x80040222u, "CAVIX_E_SCONF_FIREWALL"},
  };
  ASSERT_EQ(g_extendedResultNameCount, std::size(expected));
  for (const auto& e : expected) {
    EXPECT_STREQ(LookUpExtendedResultName(static_cast<HRESULT>(e.hr)), e.name) << std::hex << e.hr;
  }
  EXPECT_EQ(LookUpExtendedResultName(E_FAIL), nullptr);
  EXPECT_EQ(LookUpExtendedResultName(S_OK), nullptr);
  EXPECT_EQ(LookUpExtendedResultName(static_cast<HRESULT>(0x80040049u)), nullptr);
}

TEST(ErrorNames, ShortTableOfLogErrorCode) {
  EXPECT_STREQ(LookUpShortErrorName(0), "CERR_NONE");
  EXPECT_STREQ(LookUpShortErrorName(12), "CERR_SCANNER_COMMUNICATION_FAILED");
  EXPECT_STREQ(LookUpShortErrorName(16), "CERR_CANCEL_PRESSED");
  EXPECT_STREQ(LookUpShortErrorName(101), "CERR_ADF_EMPTY");
  for (uint32_t notListed : {6u, 7u, 10u, 11u, 13u, 14u, 17u, 18u, 100u, 102u, 900u}) {
    EXPECT_EQ(LookUpShortErrorName(notListed), nullptr) << notListed;
  }
}

// ---- Boundary conversion ------------------------------------------------------------------

DWORD Convert(void (*thrower)()) {
  try {
    thrower();
  } catch (...) {
    return ErrorCodeFromCurrentException();
  }
  return 0xDEAD;
}

TEST(BoundaryConversion, OutOfMemoryThenCodeThenUnknown) {
  EXPECT_EQ(Convert([] { throw std::bad_alloc(); }), 8u);
  EXPECT_EQ(Convert([] { throw std::bad_array_new_length(); }), 8u);  // derives from bad_alloc
  EXPECT_EQ(Convert([] { throw CERR_ADF_JAMMED; }), 100u);
  EXPECT_EQ(Convert([] { throw static_cast<CAVIX_ERRORS>(4711); }), 4711u);
  EXPECT_EQ(Convert([] { throw std::runtime_error("x"); }), 9u);
  EXPECT_EQ(Convert([] { throw 12; }), 9u);  // an int is not a CAVIX_ERRORS value
  EXPECT_EQ(Convert([] { throw "text"; }), 9u);
}

TEST(BoundaryConversion, TheErrorValueKeepsTheCodeAndTheThrownText) {
  const struct {
    void (*thrower)();
    uint32_t code;
    const char* text;
  } kCases[] = {
      {[] { throw std::bad_alloc(); }, 8u, "out of memory"},
      {[] { throw CERR_ADF_JAMMED; }, 100u, "CERR_ADF_JAMMED"},
      {[] { throw static_cast<CAVIX_ERRORS>(4711); }, 4711u, "error 4711"},
      {[] { throw std::runtime_error("poll: Bad file descriptor"); }, 9u, "poll: Bad file descriptor"},
      {[] { throw "DeviceIoControl() failed unexpectedly"; }, 9u, "DeviceIoControl() failed unexpectedly"},
      {[] { throw 12; }, 9u, "unknown exception"},
  };
  for (const auto& c : kCases) {
    ScanError error;
    try {
      c.thrower();
    } catch (...) {
      error = ErrorFromCurrentException();
    }
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ScanError::Kind::Failed, error.GetKind());
    EXPECT_EQ(c.code, error.Code());
    EXPECT_EQ(c.text, error.Text());
  }
}

TEST(BoundaryConversion, CallConvertingErrorsStoresTheCodeAndGivesFalse) {
  DWORD error = 0;
  EXPECT_TRUE(CallConvertingErrors(error, [] { return true; }));
  EXPECT_EQ(error, 0u);
  EXPECT_FALSE(CallConvertingErrors(error, []() -> bool { throw CERR_CANCEL_PRESSED; }));
  EXPECT_EQ(error, 16u);
  EXPECT_FALSE(CallConvertingErrors(error, []() -> bool { throw std::bad_alloc(); }));
  EXPECT_EQ(error, 8u);
}

// ---- Helpers with and without a global log ------------------------------------------------

TEST(NoGlobalLog, HelpersBehaveTheSameWithoutLines) {
  ASSERT_EQ(GetGlobalLog(), nullptr);
  DWORD code = 77;
  EXPECT_EQ(SetInvalidPointer(&code), E_POINTER);
  EXPECT_EQ(code, 2u);
  EXPECT_EQ(LogErrorCode(101), 101u);
  EXPECT_FALSE(LogErrorText("x"));
  LogText("nothing");
  LogNamedValue("n", 1);
  EXPECT_THROW(RaiseError(CERR_SCANNER_COMMUNICATION_FAILED), CAVIX_ERRORS);
}

class GlobalLogTest : public LogTest {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    EnableLog(kClassKey, 0x8000000Au | 0x10000000u);
    ASSERT_NE(CreateGlobalLog(), nullptr);
  }
  void TearDown() override {
    DestroyGlobalLog();
    LogTest::TearDown();
  }
  std::vector<std::string> Messages() { return MessagesOf(PathOf("cavix.log")); }
};

TEST_F(GlobalLogTest, CreateIsIdempotentAndDestroyClears) {
  CLog2* log = GetGlobalLog();
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(CreateGlobalLog(), log);
  EXPECT_EQ(log->Name(), kClassKey);
  // The global log wrote its header when it was built.
  const std::vector<ParsedLine> entries = EntriesOf(PathOf("cavix.log"));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message.rfind("Process: ", 0), 0u);
  DestroyGlobalLog();
  EXPECT_EQ(GetGlobalLog(), nullptr);
}

TEST_F(GlobalLogTest, ResultHelpersTable) {
  const struct {
    ResultOutcome outcome;
    DWORD code;
    HRESULT hr;
  } rows[] = {
      {ResultOutcome::InvalidPointer, 2, E_POINTER}, {ResultOutcome::InvalidParameter, 2, E_FAIL},
      {ResultOutcome::Unknown, 9, E_FAIL},           {ResultOutcome::LockFailed, 5, E_FAIL},
      {ResultOutcome::Success, 0, S_OK},             {ResultOutcome::EndOfPage, 15, S_OK},
  };
  for (const auto& row : rows) {
    DWORD code = 0xAAAA;
    EXPECT_EQ(SetResult(row.outcome, &code), row.hr);
    EXPECT_EQ(code, row.code);
    EXPECT_EQ(SetResult(row.outcome, nullptr), row.hr);  // a null pointer is skipped
  }
  DWORD code = 0;
  EXPECT_TRUE(SetError(&code, CERR_ADF_EMPTY));
  EXPECT_EQ(code, 101u);
  EXPECT_TRUE(SetError(nullptr, CERR_ADF_EMPTY));
  EXPECT_EQ(SetEndOfPage(&code), S_OK);
  EXPECT_EQ(code, 15u);
  EXPECT_EQ(SetLockFailed(&code), E_FAIL);
  EXPECT_EQ(code, 5u);

  // Each helper call logged one "SetError" scope, null pointer or not.
  const std::vector<std::string> messages = Messages();
  ASSERT_EQ(messages.size(), 2u * (2 * std::size(rows) + 4));
  for (size_t i = 0; i < messages.size(); i += 2) {
    EXPECT_EQ(messages[i], "+++SetError: ");
    EXPECT_TRUE(std::regex_match(messages[i + 1], std::regex(R"(---SetError: hr=0x0, Elapsed: \d+ms)")))
        << messages[i + 1];
  }
}

TEST_F(GlobalLogTest, RaiseErrorLogsThenThrowsTheCode) {
  try {
    RaiseError(CERR_SCANNER_COMMUNICATION_FAILED);
    FAIL() << "no exception";
  } catch (CAVIX_ERRORS code) {
    EXPECT_EQ(code, CERR_SCANNER_COMMUNICATION_FAILED);
  }
  static const char kText[] = "socket closed";
  try {
    RaiseErrorText(kText);
    FAIL() << "no exception";
  } catch (const char* text) {
    EXPECT_EQ(text, kText);  // the very pointer
  }
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Exception thrown = 12", "Exception: socket closed"}));
}

TEST_F(GlobalLogTest, LogErrorCodeUsesTheShortTable) {
  EXPECT_EQ(LogErrorCode(0), 0u);
  EXPECT_EQ(LogErrorCode(101), 101u);
  EXPECT_EQ(LogErrorCode(100), 100u);  // CERR_ADF_JAMMED in the exit line, not here
  EXPECT_EQ(LogErrorCode(4000000000u), 4000000000u);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"CERR_NONE", "CERR_ADF_EMPTY", "error = 100",
                                                  "error = -294967296"}));
}

TEST_F(GlobalLogTest, TextHelpersAndTheirLevels) {
  EXPECT_FALSE(LogErrorText("device gone"));
  LogText("plain text with %d inside");
  LogNamedValue("bytesRead", 4096);
  LogNamedValue("negative", -3);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Error: device gone", "plain text with %d inside",
                                                  "bytesRead = 4096", "negative = -3"}));
}

TEST_F(GlobalLogTest, InformationHelpersFollowTheFilter) {
  DestroyGlobalLog();
  EnableLog(kClassKey, 0x80000000u);  // errors only
  ASSERT_NE(CreateGlobalLog(), nullptr);
  LogText("dropped");
  LogNamedValue("dropped", 1);
  LogErrorText("kept");
  EXPECT_EQ(Messages(), std::vector<std::string>{"Error: kept"});
}

}  // namespace
