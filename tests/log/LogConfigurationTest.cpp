// The level filter and the log's configuration: registry values and caps, the fallback file with
// its number-base switching, and sources that are missing or malformed.
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "LogTestSupport.h"
#include "driver/CavixScanner.h"
#include "log/CLog2.h"
#include "platform/SystemInfo.h"

namespace {

const char kClassKey[] = "{1422B44C-CBF9-440D-A286-44AD4F87BF5F}";

TEST(LogLevelFilter, NormalisationAddsInformationAndGeneralWhereMissing) {
  EXPECT_EQ(CLog2::NormaliseLevel(0), 0x10000008u);
  EXPECT_EQ(CLog2::NormaliseLevel(4), 0x10000004u);
  EXPECT_EQ(CLog2::NormaliseLevel(6), 0x10000006u);
  EXPECT_EQ(CLog2::NormaliseLevel(0x80000000u), 0x80000008u);
  EXPECT_EQ(CLog2::NormaliseLevel(0x20000000u), 0x20000008u);
  EXPECT_EQ(CLog2::NormaliseLevel(0x44), 0x10000044u);
  EXPECT_EQ(CLog2::NormaliseLevel(0x80000004u), 0x80000004u);
  EXPECT_EQ(CLog2::NormaliseLevel(0x10000010u), 0x10000010u);
}

TEST(LogLevelFilter, MaskTable) {
  struct Row {
    uint32_t mask;
    uint32_t level;  // before normalisation
    bool admitted;
  };
  const Row rows[] = {
      // Mask 0 refuses everything, errors included.
      {0, 0x80000008u, false},
      {0, 0x10000008u, false},
      // Error bit in the mask: errors of every category pass, nothing else does.
      {0x80000000u, 0x80000002u, true},
      {0x80000000u, 0x80000004u, true},
      {0x80000000u, 0x80000010u, true},
      {0x80000000u, 0x10000002u, false},
      {0x80000000u, 0x20000008u, false},
      // Information of categories 0x2 and 0x8 only.
      {0x1000000Au, 0x10000002u, true},
      {0x1000000Au, 0x10000008u, true},
      {0x1000000Au, 0u, true},  // becomes 0x10000008
      {0x1000000Au, 0x1000000Au, true},
      {0x1000000Au, 0x10000006u, false},  // lock scope lines: 0x4 missing
      {0x1000000Au, 0x10000010u, false},
      {0x1000000Au, 0x20000008u, false},  // warnings are not written
      {0x1000000Au, 0x80000008u, false},  // nor errors
      {0x1000000Au, 0x80000002u, false},
      // Level 4 is filtered as 0x10000004.
      {0x10000004u, 4, true},
      {0x00000004u, 4, false},
      {0x1000000Cu, 6, false},
      {0x1000000Eu, 6, true},
      // Warnings and information together.
      {0x3000000Fu, 0x20000004u, true},
      {0x3000000Fu, 0x30000004u, true},
      {0x3000000Fu, 0x40000004u, false},
      // The lock's private default mask: without the information bit only errors pass.
      {0x80000040u, 0x44u, false},
      {0x80000040u, 0x10000040u, false},
      {0x80000040u, 0x40u, false},
      {0x80000040u, 0x80000004u, true},
      {0x90000040u, 0x40u, true},
      {0x90000040u, 0x44u, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(CLog2::LevelPasses(CLog2::NormaliseLevel(row.level), row.mask), row.admitted)
        << std::hex << "mask 0x" << row.mask << " level 0x" << row.level;
  }
}

// ---- The fallback file's text -----------------------------------------------------------

LogSettings Parse(const std::string& text) {
  std::istringstream in(text);
  LogSettings settings;
  CLog2::ReadConfigurationText(in, settings);
  return settings;
}

TEST(LogConfigurationText, LogLevelSwitchesToHexadecimalUntilLogRollCount) {
  const LogSettings s = Parse("LogLevel 1000000a\nLogSizeKB 10\nLogRollCount 3\n");
  EXPECT_EQ(s.logLevel, 0x1000000Au);
  EXPECT_EQ(s.logSizeKB, 16u);  // still hexadecimal
  EXPECT_EQ(s.logRollCount, 3u);

  // LogRollCount switches back to decimal for the keys after it.
  const LogSettings t = Parse("LogLevel 80000040 LogRollCount 12 LogSizeKB 10 LogEnabled 11");
  EXPECT_EQ(t.logLevel, 0x80000040u);
  EXPECT_EQ(t.logRollCount, 12u);
  EXPECT_EQ(t.logSizeKB, 10u);
  EXPECT_EQ(t.logEnabled, 11u);

  // The file starts in decimal.
  const LogSettings u = Parse("LogDestination 10 LogSizeKB 20");
  EXPECT_EQ(u.logDestination, 10u);
  EXPECT_EQ(u.logSizeKB, 20u);
}

TEST(LogConfigurationText, NoCapsAndLogFileTakesTheRestOfItsLine) {
  const LogSettings s = Parse(
      "LogEnabled 1\n"
      "LogFile    /var/log/cavix driver/scan.log\r\n"
      "LogSizeKB 20000 LogRollCount 9\n");
  EXPECT_EQ(s.logEnabled, 1u);
  EXPECT_EQ(s.logFile, "/var/log/cavix driver/scan.log");
  EXPECT_EQ(s.logSizeKB, 20000u);  // the registry's caps are not applied here
  EXPECT_EQ(s.logRollCount, 9u);

  // 259 characters fit; a longer path is not cut to another file's name but refused, and
  // reading stops there.
  const std::string fits = "/" + std::string(258, 'p');
  EXPECT_EQ(Parse("LogFile " + fits + "\nLogEnabled 1").logFile, fits);
  const LogSettings tooLong = Parse("LogFile " + fits + "q\nLogEnabled 1");
  EXPECT_EQ(tooLong.logFile, "");
  EXPECT_EQ(tooLong.logEnabled, 0u);
}

TEST(LogConfigurationText, ReadingStopsAtUnknownKeyOrBadValue) {
  // Values read before the stop stay; the ones after it are not read.
  const LogSettings s = Parse("LogEnabled 1 LogDestination 3 Colour blue LogLevel ffffffff");
  EXPECT_EQ(s.logEnabled, 1u);
  EXPECT_EQ(s.logDestination, 3u);
  EXPECT_EQ(s.logLevel, 0u);

  const LogSettings t = Parse("LogEnabled 1 LogSizeKB many LogRollCount 2");
  EXPECT_EQ(t.logEnabled, 1u);
  EXPECT_EQ(t.logSizeKB, 0u);
  EXPECT_EQ(t.logRollCount, 0u);

  // A value too large for 32 bits is a read failure, not a wrapped number.
  const LogSettings u = Parse("LogLevel 1ffffffff LogEnabled 1");
  EXPECT_EQ(u.logLevel, 0u);
  EXPECT_EQ(u.logEnabled, 0u);

  // A key without a value, and binary junk.
  EXPECT_EQ(Parse("LogEnabled").logEnabled, 0u);
  static const char kJunk[] = "\x01\xff\x00LogEnabled 1";
  const LogSettings junk = Parse(std::string(kJunk, sizeof kJunk - 1));
  EXPECT_EQ(junk.logEnabled, 0u);
}

// ---- Registry ------------------------------------------------------------------------------

TEST_F(LogTest, RegistryValuesAreReadAndCapped) {
  WriteLogKey("CapsLog", {"\"LogEnabled\"=dword:00000001", "\"LogLevel\"=dword:8000000a",
                          "\"LogDestination\"=dword:00000002",
                          "\"LogFile\"=\"" + PathOf("caps.log") + "\"",
                          "\"LogSizeKB\"=dword:00002801", "\"LogRollCount\"=dword:00000006"});
  CLog2 log(std::string("CapsLog"));
  EXPECT_EQ(log.Settings().logEnabled, 1u);
  EXPECT_EQ(log.Settings().logLevel, 0x8000000Au);
  EXPECT_EQ(log.Settings().logDestination, 2u);
  EXPECT_EQ(log.Settings().logFile, PathOf("caps.log"));
  EXPECT_EQ(log.Settings().logSizeKB, 10240u);  // 10241 capped
  EXPECT_EQ(log.Settings().logRollCount, 5u);   // 6 capped
}

TEST_F(LogTest, RegistryValuesOfTheWrongTypeOrLengthAreIgnored) {
  const std::string fits = "/" + std::string(258, 'p');
  WriteLogKey("TypesLog", {"\"LogEnabled\"=\"1\"", "\"LogLevel\"=dword:10000008",
                           "\"LogFile\"=\"" + fits + "q\"", "\"LogSizeKB\"=\"big\""});
  CLog2 log(std::string("TypesLog"));
  EXPECT_EQ(log.Settings().logEnabled, 0u);  // a string where a DWORD belongs
  EXPECT_EQ(log.Settings().logLevel, 0x10000008u);
  EXPECT_EQ(log.Settings().logFile, "");     // 260 characters: not cut, not used
  EXPECT_EQ(log.Settings().logSizeKB, 0u);

  WriteLogKey("TypesLog", {"\"LogFile\"=\"" + fits + "\""});
  CLog2 fitting(std::string("TypesLog"));
  EXPECT_EQ(fitting.Settings().logFile, fits);
}

TEST_F(LogTest, RegistryValuesAtTheCapsAndMissingValuesKeepDefaults) {
  WriteLogKey("EdgeLog", {"\"LogSizeKB\"=dword:00002800", "\"LogRollCount\"=dword:00000005"});
  CLog2 log(std::string("EdgeLog"));
  EXPECT_EQ(log.Settings().logSizeKB, 10240u);
  EXPECT_EQ(log.Settings().logRollCount, 5u);
  EXPECT_EQ(log.Settings().logEnabled, 0u);
  EXPECT_EQ(log.Settings().logLevel, 0x80000040u);  // the named form's default
  EXPECT_EQ(log.Settings().logDestination, 0u);
  EXPECT_EQ(log.Settings().logFile, "");
}

TEST_F(LogTest, ClassIdFormReadsTheKeyNamedAfterTheClass) {
  EnableLog(kClassKey, 0x1000000A);
  CLog2 log(CLSID_CavixScanner);
  EXPECT_EQ(log.Name(), kClassKey);
  EXPECT_EQ(log.Settings().logLevel, 0x1000000Au);
  EXPECT_EQ(log.Settings().logFile, PathOf("cavix.log"));
}

TEST_F(LogTest, MissingKeyAndFileLeaveTheLogOff) {
  CLog2 global(CLSID_CavixScanner);
  EXPECT_EQ(global.Settings().logEnabled, 0u);
  EXPECT_EQ(global.Settings().logLevel, 0u);
  EXPECT_FALSE(global.Admits(0x80000008u));
  EXPECT_EQ(global.BeginLine(0x80000008u, true), nullptr);

  CLog2 lockLog(std::string("NoSuchLockLog"));
  EXPECT_EQ(lockLog.Settings().logLevel, 0x80000040u);
  EXPECT_EQ(lockLog.Settings().logEnabled, 0u);
}

TEST_F(LogTest, MalformedRegistryStoreNeverBreaksTheHost) {
  std::ofstream(PathOf("hklm.reg")) << "Windows Registry Editor Version 5.00\n\n"
                                    << "[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\"
                                    << kClassKey << "]\n"
                                    << "\"LogEnabled\"=dword:zz\n\"LogFile\"=\"unterminated\n"
                                    << "[broken\n";
  CLog2 log(CLSID_CavixScanner);
  EXPECT_EQ(log.Settings().logEnabled, 0u);
  EXPECT_EQ(log.Settings().logFile, "");
  log.print(0x80000008u, "nothing is written: %d", 1);
}

// ---- The fallback file beside the executable ----------------------------------------------

class ConfigFileTest : public LogTest {
 protected:
  void SetUp() override {
    LogTest::SetUp();
    const std::string exe = GetExecutablePath();
    ASSERT_FALSE(exe.empty());
    exeDir_ = exe.substr(0, exe.rfind('/'));
    name_ = "cavix-log-config-" + std::to_string(::getpid());
  }
  void TearDown() override {
    for (const std::string& f : created_) ::unlink(f.c_str());
    LogTest::TearDown();
  }
  void WriteConfig(const std::string& fileName, const std::string& text) {
    const std::string path = exeDir_ + "/" + fileName;
    std::ofstream(path) << text;
    created_.push_back(path);
  }

  std::string exeDir_;
  std::string name_;
  std::vector<std::string> created_;
};

TEST_F(ConfigFileTest, UsedWhenTheRegistryKeyIsMissing) {
  WriteConfig(name_ + ".config", "LogEnabled 1 LogDestination 1\nLogLevel 1000000a\n"
                                 "LogSizeKB 10\nLogRollCount 7\nLogFile " + PathOf("fromfile.log") + "\n");
  CLog2 log(name_);
  EXPECT_EQ(log.Settings().logEnabled, 1u);
  EXPECT_EQ(log.Settings().logDestination, 1u);
  EXPECT_EQ(log.Settings().logLevel, 0x1000000Au);
  EXPECT_EQ(log.Settings().logSizeKB, 16u);
  EXPECT_EQ(log.Settings().logRollCount, 7u);
  EXPECT_EQ(log.Settings().logFile, PathOf("fromfile.log"));
  // The log is on: the header went to that file.
  log.print(0x10000008u, "configured from the file");
  const std::vector<std::string> messages = MessagesOf(PathOf("fromfile.log"));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0], "configured from the file");
}

TEST_F(ConfigFileTest, IgnoredWhenTheRegistryKeyExists) {
  WriteConfig(name_ + ".config", "LogEnabled 1 LogLevel 1000000a");
  WriteLogKey(name_, {"\"LogDestination\"=dword:00000001"});
  CLog2 log(name_);
  EXPECT_EQ(log.Settings().logEnabled, 0u);
  EXPECT_EQ(log.Settings().logLevel, 0x80000040u);
  EXPECT_EQ(log.Settings().logDestination, 1u);
}

TEST_F(ConfigFileTest, NameThatIsNotAPlainFileNameReadsNoFile) {
  // A lock named after a device path must not pick a configuration (and so a log file) out of
  // another directory.
  const std::string subDir = exeDir_ + "/" + name_;
  ASSERT_EQ(::mkdir(subDir.c_str(), 0700), 0);
  std::ofstream(subDir + "/lp0.config") << "LogEnabled 1 LogDestination 1 LogLevel 8000000f";
  {
    CLog2 log(name_ + "/lp0");
    EXPECT_EQ(log.Settings().logEnabled, 0u);
  }
  ::unlink((subDir + "/lp0.config").c_str());
  ::rmdir(subDir.c_str());
}

}  // namespace
