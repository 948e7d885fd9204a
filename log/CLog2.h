// The driver's diagnostic log: timestamped, indented lines written to a log file shared by every
// process that loads the driver (with size-triggered roll-over into numbered copies) and/or to the
// debugger output (standard error). Off unless the registry or the fallback configuration file
// enables it.
//
// Threads: any thread may log through one instance. The configuration is read while the log is
// built and is not changed afterwards, so the level filter reads it without a lock.
// Owns: the pending line buffers, the open append file descriptor of LogFile.
// Locks: pendingLock_ guards pending_; fileLock_ guards fd_ and writeCount_ and is taken before
// the cross-process lock named after LogFile, which serialises file writes and roll-over between
// processes (and, through fileLock_, between the threads of this process).
#ifndef CAVIX_LOG_CLOG2_H
#define CAVIX_LOG_CLOG2_H

#include <cstdarg>
#include <cstdint>
#include <iosfwd>
#include <list>
#include <memory>
#include <sstream>
#include <string>

#include "driver/CavixCom.h"
#include "log/LogLevels.h"
#include "platform/CCriticalSection2.h"

#if defined(__GNUC__)
#define CAVIX_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#else
#define CAVIX_PRINTF_FORMAT(fmt, first)
#endif

// The registry value caps of the log configuration.
constexpr uint32_t LOG_SIZE_KB_MAX = 10240;
constexpr uint32_t LOG_ROLL_COUNT_MAX = 5;
// Size of the buffer printf-style messages are formatted into; longer texts are cut to
// LOG_FORMAT_BUFFER_SIZE - 1 characters.
constexpr size_t LOG_FORMAT_BUFFER_SIZE = 16384;

// The switches of one log, as read from the registry or the configuration file.
struct LogSettings {
  uint32_t logEnabled = 0;
  uint32_t logLevel = 0;
  uint32_t logDestination = 0;  // 0x1 log file, 0x2 debugger output
  std::string logFile;
  uint32_t logSizeKB = 0;       // roll-over size; 0 disables roll-over
  uint32_t logRollCount = 0;    // numbered copies kept
};

constexpr uint32_t LOG_DEST_FILE = 0x1;
constexpr uint32_t LOG_DEST_DEBUGGER = 0x2;

class CLog2 {
 public:
  // One line being built. Each line has its own text stream, so filling it needs no lock.
  class Line {
   public:
    std::ostringstream text;

   private:
    friend class CLog2;
    std::list<std::unique_ptr<Line>>::iterator self_;
  };

  // The global log: named after the class id ("{1422B44C-...}" form), all switches off until
  // the configuration is read; writes the header.
  explicit CLog2(const GUID& classId);
  // A scanner lock's private log: LogLevel defaults to 0x80000040; the configuration is read
  // and the header written only when the name is not empty.
  explicit CLog2(const std::string& name);
  virtual ~CLog2();

  CLog2(const CLog2&) = delete;
  CLog2& operator=(const CLog2&) = delete;

  // Starts a line at `level` (normalised, then filtered): the prefix and, with `indent`, three
  // spaces per open trace scope. Gives nullptr when the level is refused or the log is off.
  // The line stays pending until WriteLine.
  virtual Line* BeginLine(uint32_t level, bool indent);
  // Starts a line when the log is on and LogLevel holds both 0x10000000 and 0x40.
  virtual Line* BeginLine(bool indent);
  // Writes a finished line to the destinations and destroys it; nullptr is ignored.
  // `keepPending` is used only while the pending list is emptied at destruction.
  virtual void WriteLine(Line* line, bool keepPending = false);

  // printf-style message with indentation; texts over 16 383 characters are truncated.
  void print(uint32_t level, const char* format, ...) CAVIX_PRINTF_FORMAT(3, 4);
  // The same without indentation.
  void printUnindented(uint32_t level, const char* format, ...) CAVIX_PRINTF_FORMAT(3, 4);
  void vprint(uint32_t level, bool indent, const char* format, va_list args);

  // The header text and the column header as one entry; level 0 becomes 0x10000008.
  void WriteHeader(uint32_t level = 0);

  // Reads the switches from HKLM "Software\Quenterra\Pixora\Cavix\<name>", or, when that key
  // cannot be opened, from "<name>.config" beside the host executable. A malformed source
  // leaves the defaults (or the values read before the fault). The constructors call it; a
  // later call must come before the log is shared between threads (the filter reads the
  // switches without a lock).
  void ReadLogConfiguration();

  // Shifts the numbered copies up by one and copies LogFile to ".1" (see CLog2.cpp).
  void RollFiles();

  // The level filter: true when a line at `level` would be written. No lock, no allocation.
  bool Admits(uint32_t level) const {
    if (settings_.logEnabled == 0 || settings_.logDestination == 0) return false;
    return LevelPasses(NormaliseLevel(level), settings_.logLevel);
  }
  // No severity bit: information; no category bit: general message.
  static constexpr uint32_t NormaliseLevel(uint32_t level) {
    if ((level & LOG_SEVERITY_MASK) == 0) level |= LOG_INFO;
    if ((level & LOG_CATEGORY_MASK) == 0) level |= LOG_CAT_GENERAL;
    return level;
  }
  // With bit 31 in the mask every error passes; anything else passes only when all its bits
  // are in the mask.
  static constexpr bool LevelPasses(uint32_t normalisedLevel, uint32_t mask) {
    if (mask == 0) return false;
    if (normalisedLevel & mask & LOG_ERROR) return true;
    return (normalisedLevel & ~(mask & ~LOG_ERROR)) == 0;
  }

  // Parses the fallback configuration file's text: whitespace-separated keys with values;
  // "LogLevel" switches to hexadecimal, "LogRollCount" back to decimal; "LogFile" takes the
  // rest of its line. Stops at the end, a read failure or the first unknown key.
  static void ReadConfigurationText(std::istream& in, LogSettings& settings);
  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case.
  static std::string ClassIdName(const GUID& classId);

  const std::string& Name() const { return name_; }
  const LogSettings& Settings() const { return settings_; }
  const std::string& HeaderText() const { return headerText_; }

 private:
  void Initialise(bool readConfiguration);
  std::string BuildHeaderText() const;
  bool ReadRegistryConfiguration();
  void ReadConfigurationFile();
  Line* StartLine(bool indent);
  void WriteToFile(const std::string& text);
  bool RollIfDue(const std::string& text) REQUIRES(fileLock_);  // and the named lock held
  void CloseFile() REQUIRES(fileLock_);

  uint32_t creationTick_;
  std::string name_;
  LogSettings settings_;
  std::string headerText_;

  CCriticalSection2 pendingLock_;
  std::list<std::unique_ptr<Line>> pending_ GUARDED_BY(pendingLock_);

  CCriticalSection2 fileLock_;
  int fd_ GUARDED_BY(fileLock_) = -1;
  int32_t writeCount_ GUARDED_BY(fileLock_) = 0;
};

#endif
