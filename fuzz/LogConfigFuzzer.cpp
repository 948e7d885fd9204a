// Fuzzes the reader of the log's fallback configuration file ("<name>.config" beside the host
// executable) with the file's text, through the same stream reader the log uses.
//
// Checks beyond the sanitizers: a switch changes only when its key is in the text; LogFile is
// one line without its leading blanks, never longer than the 259 characters the log accepts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "log/CLog2.h"

namespace {

constexpr uint32_t kUnset = 0xA5A5A5A5u;
const char kUnsetFile[] = "unset";

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_log_config: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  LogSettings settings;
  settings.logEnabled = settings.logLevel = settings.logDestination = kUnset;
  settings.logSizeKB = settings.logRollCount = kUnset;
  settings.logFile = kUnsetFile;

  std::istringstream in(text);
  CLog2::ReadConfigurationText(in, settings);

  const struct {
    const char* key;
    uint32_t value;
  } switches[] = {{"LogEnabled", settings.logEnabled},     {"LogLevel", settings.logLevel},
                  {"LogDestination", settings.logDestination}, {"LogSizeKB", settings.logSizeKB},
                  {"LogRollCount", settings.logRollCount}};
  for (const auto& s : switches) {
    if (s.value != kUnset && text.find(s.key) == std::string::npos) Fail(s.key);
  }
  if (settings.logFile != kUnsetFile) {
    if (text.find("LogFile") == std::string::npos) Fail("LogFile set without its key");
    if (settings.logFile.size() > 259) Fail("LogFile longer than 259 characters");
    if (settings.logFile.find('\n') != std::string::npos) Fail("LogFile spans lines");
    if (!settings.logFile.empty() && (settings.logFile[0] == ' ' || settings.logFile[0] == '\t'))
      Fail("LogFile keeps its leading blanks");
  }
  return 0;
}
