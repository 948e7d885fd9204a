#include "LogTestSupport.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "platform/TempFile.h"

void LogTest::SetUp() {
  std::string templ = TempFile::Directory() + "/cavix-log-test-XXXXXX";
  ASSERT_NE(::mkdtemp(&templ[0]), nullptr);
  dir_ = templ;
  ::setenv("CAVIX_REGISTRY_HKLM", PathOf("hklm.reg").c_str(), 1);
  ::setenv("CAVIX_REGISTRY_HKCU", PathOf("hkcu.reg").c_str(), 1);
  ::setenv("CAVIX_LOCK_DIR", PathOf("locks").c_str(), 1);
}

void LogTest::TearDown() {
  if (!dir_.empty()) {
    const std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(::system(command.c_str()), 0);
  }
}

void LogTest::WriteLogKey(const std::string& keyName, const std::vector<std::string>& values) {
  std::ofstream out(PathOf("hklm.reg"));
  out << "Windows Registry Editor Version 5.00\r\n\r\n"
      << "[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\" << keyName << "]\r\n";
  for (const std::string& v : values) out << v << "\r\n";
  out << "\r\n";
}

static std::string Dword(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", value);
  return buf;
}

void LogTest::EnableLog(const std::string& keyName, uint32_t level, const std::string& logFile,
                        uint32_t sizeKB, uint32_t rollCount, uint32_t destination) {
  WriteLogKey(keyName, {"\"LogEnabled\"=dword:00000001",
                        "\"LogLevel\"=dword:" + Dword(level),
                        "\"LogDestination\"=dword:" + Dword(destination),
                        "\"LogFile\"=\"" + PathOf(logFile) + "\"",
                        "\"LogSizeKB\"=dword:" + Dword(sizeKB),
                        "\"LogRollCount\"=dword:" + Dword(rollCount)});
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));  // unterminated last line
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

::testing::AssertionResult ParseLine(const std::string& line, ParsedLine* parsed) {
  static const std::regex prefix(
      R"(^(0[1-9]|1[0-2])/(0[1-9]|[12][0-9]|3[01])/(\d{4}) ([01][0-9]|2[0-3]):([0-5][0-9]):([0-5][0-9])\.(\d{3}) (\d{10})  \[P:(\d+)\] \[T:(\d+)\] )");
  std::smatch m;
  if (!std::regex_search(line, m, prefix)) {
    return ::testing::AssertionFailure() << "no log prefix in \"" << line << "\"";
  }
  parsed->tick = std::stoul(m[8].str());
  parsed->pid = static_cast<unsigned>(std::stoul(m[9].str()));
  parsed->tid = static_cast<unsigned>(std::stoul(m[10].str()));
  parsed->message = m.suffix().str();
  return ::testing::AssertionSuccess();
}

std::vector<ParsedLine> EntriesOf(const std::string& path) {
  std::vector<ParsedLine> entries;
  for (const std::string& line : SplitLines(ReadFile(path))) {
    ParsedLine parsed;
    if (ParseLine(line, &parsed)) {
      entries.push_back(parsed);
    } else {
      EXPECT_FALSE(entries.empty()) << "first line without prefix: " << line;
      if (!entries.empty()) entries.back().message += "\n" + line;
    }
  }
  return entries;
}

std::vector<std::string> MessagesOf(const std::string& path) {
  std::vector<std::string> messages;
  for (const ParsedLine& entry : EntriesOf(path)) {
    if (entry.message.rfind("Process: ", 0) == 0) continue;
    messages.push_back(entry.message);
  }
  return messages;
}
