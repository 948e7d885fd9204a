// Shared fixture of the log tests: a private temporary directory holding the registry files, the
// lock directory and the log files of one test, and helpers that read log files back.
#ifndef CAVIX_TESTS_LOG_LOGTESTSUPPORT_H
#define CAVIX_TESTS_LOG_LOGTESTSUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

// One parsed log line: the prefix fields and the text after the prefix (indentation included,
// line break excluded).
struct ParsedLine {
  unsigned pid = 0;
  unsigned tid = 0;
  unsigned long tick = 0;
  std::string message;
};

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Path of a file in the test's directory.
  std::string PathOf(const std::string& name) const { return dir_ + "/" + name; }
  // Writes the HKLM store with the log key of `keyName` holding `values` (lines such as
  // "\"LogEnabled\"=dword:00000001").
  void WriteLogKey(const std::string& keyName, const std::vector<std::string>& values);
  // The usual switches: on, to the file `logFile` (in the test directory), with the mask.
  void EnableLog(const std::string& keyName, uint32_t level, const std::string& logFile = "cavix.log",
                 uint32_t sizeKB = 0, uint32_t rollCount = 0, uint32_t destination = 1);

  std::string dir_;
};

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
// Splits a log text into lines (each must end with a line break).
std::vector<std::string> SplitLines(const std::string& text);
// Checks the prefix "MM/DD/YYYY hh:mm:ss.mmm tttttttttt  [P:pid] [T:tid] " and takes it apart.
// A line without a valid prefix fails the test that asks.
::testing::AssertionResult ParseLine(const std::string& line, ParsedLine* parsed);
// The entries of a log file: a line with a prefix starts an entry, lines without one continue
// it (joined with line breaks). The first line must have a prefix.
std::vector<ParsedLine> EntriesOf(const std::string& path);
// The messages of EntriesOf, without the header entries ("Process: ...").
std::vector<std::string> MessagesOf(const std::string& path);

#endif
