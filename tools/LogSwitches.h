// The driver log's switches in the HKLM registry store, under
// Software\Quenterra\Pixora\Cavix\{class id}: LogEnabled, LogLevel, LogDestination, LogFile,
// LogSizeKB, LogRollCount. The driver reads them when the module loads. Stateless; each call
// reads or changes the store under its file lock.
#ifndef CAVIX_TOOLS_LOGSWITCHES_H
#define CAVIX_TOOLS_LOGSWITCHES_H

#include <string>

#include "tools/ScanOptions.h"

struct LogSettings {
  bool present = false;  // the key exists
  uint32_t enabled = 0;
  uint32_t level = 0;
  uint32_t destination = 0;
  std::string file;
  uint32_t sizeKb = 0;
  uint32_t roll = 0;
};

class LogSwitches {
 public:
  static std::string KeyPath();
  // Default log file: $XDG_STATE_HOME/cavix/driver.log, else ~/.local/state/cavix/driver.log;
  // "" when neither names an absolute directory (never a shared temporary directory).
  static std::string DefaultFile();
  // `log on`: LogEnabled 1, LogDestination 1 (file), the file (default when not given and
  // none is set; made absolute, its directories made and checked), level (default 0xB000001A
  // when none is set), size and roll count when given.
  // `log off`: LogEnabled 0, the rest kept. False with a message.
  static bool Apply(const LogRequest& request, std::string* error);
  static bool Read(LogSettings* settings, std::string* error);
  static std::string Describe(const LogSettings& settings);
};

#endif
