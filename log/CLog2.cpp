#include "log/CLog2.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "log/CHRESULT2.h"
#include "platform/CAutoCriticalSection.h"
#include "platform/CLockableResource.h"
#include "platform/ComGuid.h"
#include "platform/RegistryKey.h"
#include "platform/SystemInfo.h"

#ifndef CAVIX_VERSION_MAJOR
#define CAVIX_VERSION_MAJOR 0
#define CAVIX_VERSION_MINOR 0
#define CAVIX_VERSION_PATCH 0
#define CAVIX_VERSION_TWEAK 0
#endif

namespace {

const char kConfigurationKey[] = "Software\\Quenterra\\Pixora\\Cavix\\";
const char kColumnHeader[] =
    "  <Date>      <time>    <logtick>     <PID>     <TID>  <log message>";
// LogFile holds at most 259 characters (a 260-byte buffer with its terminator). A longer value
// is not used at all: cut short it would name another file than the one configured.
const size_t kMaxLogFileLength = 259;
const uint32_t kDefaultLockLogLevel = 0x80000040u;
// The size is checked on the write after this many writes since the last check.
const int32_t kWritesBetweenSizeChecks = 100;

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

bool CanOpenForReading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// Copies `from` over `to`; nothing happens when `from` cannot be read.
void CopyFileOver(const std::string& from, const std::string& to) {
  // Neither end follows a symbolic link: a link planted in place of a roll-over copy could
  // otherwise copy a file the host may read into one others may, or overwrite its target.
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (in < 0) return;
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (out >= 0) {
    char buffer[65536];
    for (;;) {
      const ssize_t n = ::read(in, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      WriteAll(out, buffer, static_cast<size_t>(n));
    }
    ::close(out);
  }
  ::close(in);
}

std::string CopyName(const std::string& logFile, uint64_t index) {
  return logFile + "." + std::to_string(index);
}

// Indices 1..count of the numbered copies of `logFile` that exist, highest first. The directory
// is listed instead of probing every index, so that a huge LogRollCount (the configuration file
// does not cap it) costs no more than the copies that are really there.
std::vector<uint32_t> ExistingCopies(const std::string& logFile, uint32_t count) {
  std::vector<uint32_t> found;
  const size_t slash = logFile.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : logFile.substr(0, slash + 1);
  const std::string prefix =
      (slash == std::string::npos ? logFile : logFile.substr(slash + 1)) + ".";
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    // An unlistable directory: probe each index as a plain loop would.
    for (uint32_t i = count; i >= 1; --i) {
      if (CanOpenForReading(CopyName(logFile, i))) found.push_back(i);
    }
    return found;
  }
  while (const dirent* entry = ::readdir(d)) {
    const std::string name = entry->d_name;
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 10 || digits[0] == '0' ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    const uint64_t index = std::stoull(digits);
    if (index >= 1 && index <= count && CanOpenForReading(CopyName(logFile, index))) {
      found.push_back(static_cast<uint32_t>(index));
    }
  }
  ::closedir(d);
  std::sort(found.rbegin(), found.rend());
  return found;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Name of the cross-process lock of a log file: the path without "\" and ":".
std::string FileLockName(const std::string& logFile) {
  std::string name;
  for (char c : logFile) {
    if (c != '\\' && c != ':') name += c;
  }
  return name;
}

}  // namespace

CLog2::CLog2(const GUID& classId) : creationTick_(GetTickCount()), name_(ClassIdName(classId)) {
  Initialise(true);
}

CLog2::CLog2(const std::string& name) : creationTick_(GetTickCount()), name_(name) {
  settings_.logLevel = kDefaultLockLogLevel;
  Initialise(!name_.empty());
}

void CLog2::Initialise(bool readConfiguration) {
  headerText_ = BuildHeaderText();
  if (readConfiguration) {
    ReadLogConfiguration();
    WriteHeader(0);
  }
}

CLog2::~CLog2() {
  std::list<std::unique_ptr<Line>> lines;
  {
    CAutoCriticalSection guard(pendingLock_);
    lines.swap(pending_);
  }
  for (const std::unique_ptr<Line>& line : lines) WriteLine(line.get(), true);
  CAutoCriticalSection guard(fileLock_);
  CloseFile();
}

std::string CLog2::ClassIdName(const GUID& classId) { return GuidToString(classId); }

std::string CLog2::BuildHeaderText() const {
  const std::string process = GetExecutablePath();
  std::string text = "Process: " + (process.empty() ? std::string("(unknown)") : process);
  const std::string module = GetModulePathOf(reinterpret_cast<const void*>(&CLog2::ClassIdName));
  if (module.empty()) {
    text += ", Module: Module information not available";
    return text;
  }
  char version[64];
  std::snprintf(version, sizeof version, "%d.%d.%d.%d", CAVIX_VERSION_MAJOR, CAVIX_VERSION_MINOR,
                CAVIX_VERSION_PATCH, CAVIX_VERSION_TWEAK);
  text += ", Module: " + module + ", Version: " + version;
  return text;
}

// ---- Configuration ----------------------------------------------------------------------

void CLog2::ReadLogConfiguration() {
  try {
    if (!ReadRegistryConfiguration()) ReadConfigurationFile();
  } catch (...) {
    // Out of memory while reading: what was read stays, the rest keeps its default.
  }
}

bool CLog2::ReadRegistryConfiguration() {
  RegistryKey key;
  // A missing key, or a store that cannot be read, sends the reader to the fallback file.
  if (key.Open(RegistryRoot::LocalMachine, kConfigurationKey + name_) != ERROR_SUCCESS) return false;
  DWORD value = 0;
  if (key.QueryDword("LogEnabled", &value) == ERROR_SUCCESS) settings_.logEnabled = value;
  if (key.QueryDword("LogLevel", &value) == ERROR_SUCCESS) settings_.logLevel = value;
  if (key.QueryDword("LogDestination", &value) == ERROR_SUCCESS) settings_.logDestination = value;
  std::string file;
  if (key.QueryString("LogFile", &file) == ERROR_SUCCESS && file.size() <= kMaxLogFileLength &&
      file.find('\0') == std::string::npos) {
    settings_.logFile = file;
  }
  if (key.QueryDword("LogSizeKB", &value) == ERROR_SUCCESS) {
    settings_.logSizeKB = std::min(value, LOG_SIZE_KB_MAX);
  }
  if (key.QueryDword("LogRollCount", &value) == ERROR_SUCCESS) {
    settings_.logRollCount = std::min(value, LOG_ROLL_COUNT_MAX);
  }
  key.Close();
  return true;
}

void CLog2::ReadConfigurationFile() {
  // The name becomes a file name beside the executable; a name that is not a plain file name
  // (a lock named after a device path, say) must not lead the reader to another directory,
  // since the file decides where the log writes.
  if (name_.empty() || name_.find('/') != std::string::npos || name_ == "." || name_ == "..") {
    return;
  }
  const std::string exe = GetExecutablePath();
  if (exe.empty()) return;
  std::ifstream in(DirectoryOf(exe) + "/" + name_ + ".config");
  if (!in) return;
  ReadConfigurationText(in, settings_);
}

void CLog2::ReadConfigurationText(std::istream& in, LogSettings& settings) {
  in >> std::dec;
  std::string key;
  while (in >> key) {
    uint32_t value = 0;
    if (key == "LogDestination" || key == "LogEnabled" || key == "LogSizeKB") {
      if (!(in >> value)) break;
      (key == "LogDestination" ? settings.logDestination
       : key == "LogEnabled"   ? settings.logEnabled
                               : settings.logSizeKB) = value;
    } else if (key == "LogLevel") {
      if (!(in >> std::hex >> value)) break;
      settings.logLevel = value;
    } else if (key == "LogRollCount") {
      if (!(in >> std::dec >> value)) break;
      settings.logRollCount = value;
    } else if (key == "LogFile") {
      std::string rest;
      std::getline(in, rest);
      const size_t start = rest.find_first_not_of(" \t");
      rest = start == std::string::npos ? std::string() : rest.substr(start);
      // A file written on Windows ends its lines with "\r\n".
      if (!rest.empty() && rest.back() == '\r') rest.pop_back();
      if (rest.size() > kMaxLogFileLength) break;  // too long for the buffer: a read failure
      settings.logFile = rest;
      if (!in) break;
    } else {
      break;
    }
  }
}

// ---- Lines --------------------------------------------------------------------------------

CLog2::Line* CLog2::BeginLine(uint32_t level, bool indent) {
  if (!Admits(level)) return nullptr;
  return StartLine(indent);
}

CLog2::Line* CLog2::BeginLine(bool indent) {
  if (settings_.logEnabled == 0 || settings_.logDestination == 0) return nullptr;
  if ((settings_.logLevel & LOG_INFO) == 0 || (settings_.logLevel & LOG_CAT_LOCKNAME) == 0) {
    return nullptr;
  }
  return StartLine(indent);
}

CLog2::Line* CLog2::StartLine(bool indent) {
  try {
    const int32_t depth = CHRESULT2::Depth();
    std::unique_ptr<Line> owned(new Line);
    Line* line = owned.get();

    SYSTEMTIME now;
    GetLocalTime(&now);
    char prefix[128];
    std::snprintf(prefix, sizeof prefix,
                  "%02d/%02d/%04d %02d:%02d:%02d.%03d %010u  [P:%u] [T:%u] ", now.wMonth,
                  now.wDay, now.wYear, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                  static_cast<unsigned>(GetTickCount() - creationTick_),
                  static_cast<unsigned>(GetCurrentProcessId()),
                  static_cast<unsigned>(GetCurrentThreadId()));
    line->text << prefix;
    if (indent && depth > 0) line->text << std::string(static_cast<size_t>(depth) * 3, ' ');

    CAutoCriticalSection guard(pendingLock_);
    pending_.push_back(std::move(owned));  // in order of beginning, as destruction writes them
    line->self_ = std::prev(pending_.end());
    return line;
  } catch (...) {
    return nullptr;  // out of memory: the line is dropped
  }
}

void CLog2::WriteLine(Line* line, bool keepPending) {
  if (line == nullptr) return;
  std::unique_ptr<Line> owned;
  if (!keepPending) {
    CAutoCriticalSection guard(pendingLock_);
    owned = std::move(*line->self_);
    pending_.erase(line->self_);
  }
  try {
    const std::string text = line->text.str();
    if ((settings_.logDestination & LOG_DEST_FILE) && !settings_.logFile.empty()) {
      WriteToFile(text);
    }
    if (settings_.logDestination & LOG_DEST_DEBUGGER) OutputDebugString(text.c_str());
  } catch (...) {
    // A line that cannot be written is dropped; logging never fails its caller.
  }
}

void CLog2::vprint(uint32_t level, bool indent, const char* format, va_list args) {
  Line* line = BeginLine(level, indent);
  if (line == nullptr) return;
  try {
    // A buffer per call, so concurrent callers never share one. vsnprintf cuts messages longer
    // than LOG_FORMAT_BUFFER_SIZE - 1 (16 383) characters.
    std::unique_ptr<char[]> buffer(new char[LOG_FORMAT_BUFFER_SIZE]);
    std::vsnprintf(buffer.get(), LOG_FORMAT_BUFFER_SIZE, format ? format : "", args);
    line->text << buffer.get() << '\n';
  } catch (...) {
  }
  WriteLine(line);
}

void CLog2::print(uint32_t level, const char* format, ...) {
  if (!Admits(level)) return;
  va_list args;
  va_start(args, format);
  vprint(level, true, format, args);
  va_end(args);
}

void CLog2::printUnindented(uint32_t level, const char* format, ...) {
  if (!Admits(level)) return;
  va_list args;
  va_start(args, format);
  vprint(level, false, format, args);
  va_end(args);
}

void CLog2::WriteHeader(uint32_t level) {
  Line* line = BeginLine(level, true);
  if (line == nullptr) return;
  line->text << headerText_ << '\n' << kColumnHeader << '\n';
  WriteLine(line);
}

// ---- The file -----------------------------------------------------------------------------

void CLog2::WriteToFile(const std::string& text) {
  CAutoCriticalSection guard(fileLock_);
  // Serialises writers of all processes; when the lock cannot be taken the line is written
  // without it.
  CLockableResource fileLock(FileLockName(settings_.logFile));
  fileLock.Lock(INFINITE);

  bool written = false;
  if (writeCount_++ > kWritesBetweenSizeChecks) {
    written = RollIfDue(text);
    writeCount_ = 0;
  }
  if (!written) {
    if (fd_ < 0) {
      // Log files often live in shared directories: a symbolic link planted under the log's name
      // must not make the module append to (or, rolling over, truncate) the file it points to.
      fd_ = ::open(settings_.logFile.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    }
    if (fd_ >= 0) WriteAll(fd_, text.data(), text.size());
  }
  fileLock.Unlock();
}

bool CLog2::RollIfDue(const std::string& text) {
  // 64-bit, so that a large LogSizeKB from the configuration file cannot wrap to a small size.
  const uint64_t rollSize = static_cast<uint64_t>(settings_.logSizeKB) * 1024u;
  if (rollSize == 0 || fd_ < 0) return false;
  struct stat st;
  if (::fstat(fd_, &st) != 0) return false;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (size <= rollSize) return false;

  std::string tail = text;
  tail += "\nTime To Roll!! RollSize= " + std::to_string(rollSize) +
          " , Current Log Size= " + std::to_string(size);
  WriteAll(fd_, tail.data(), tail.size());
  CloseFile();
  RollFiles();
  const int fd = ::open(settings_.logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd >= 0) ::close(fd);
  return true;
}

void CLog2::CloseFile() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

// With N = LogRollCount: copy N is deleted, each copy i below N is copied over copy i+1 (highest
// first), and the log over copy 1. Nothing happens when N is 0.
void CLog2::RollFiles() {
  const uint32_t count = settings_.logRollCount;
  const std::string& logFile = settings_.logFile;
  if (count == 0 || logFile.empty()) return;
  for (uint32_t i : ExistingCopies(logFile, count)) {
    if (i == count) {
      ::unlink(CopyName(logFile, i).c_str());
    } else {
      CopyFileOver(CopyName(logFile, i), CopyName(logFile, static_cast<uint64_t>(i) + 1));
    }
  }
  CopyFileOver(logFile, CopyName(logFile, 1));
}
