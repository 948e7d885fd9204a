#include "tools/LogSwitches.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <cstdio>
#include <cstdlib>

#include "driver/CavixScanner.h"
#include "platform/ComGuid.h"
#include "platform/RegistryKey.h"
#include "platform/SharedDirectory.h"
#include "platform/Win32Constants.h"

namespace {

constexpr uint32_t kDefaultLevel = 0xB000001A;  // errors; information and warnings of trace, messages, dumps

// A relative name would be taken from each logging process's own working directory.
bool Absolute(const std::string& file, std::string* out, std::string* error) {
  if (!file.empty() && file[0] == '/') {
    *out = file;
    return true;
  }
  char cwd[4096];
  if (!::getcwd(cwd, sizeof cwd)) {
    *error = "cannot make the log file name " + file + " absolute: " + std::strerror(errno);
    return false;
  }
  *out = std::string(cwd) + (cwd[1] ? "/" : "") + file;
  return true;
}

}  // namespace

std::string LogSwitches::KeyPath() {
  return "Software\\Quenterra\\Pixora\\Cavix\\" + GuidToString(CLSID_CavixScanner);
}

std::string LogSwitches::DefaultFile() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && *state == '/') return std::string(state) + "/cavix/driver.log";
  const char* home = std::getenv("HOME");
  return home && *home == '/' ? std::string(home) + "/.local/state/cavix/driver.log" : std::string();
}

bool LogSwitches::Read(LogSettings* s, std::string* error) {
  *s = LogSettings();
  RegistryKey key;
  LONG r = key.Open(RegistryRoot::LocalMachine, KeyPath());
  if (r == ERROR_FILE_NOT_FOUND) return true;
  if (r != ERROR_SUCCESS) {
    *error = "cannot read the registry store: " + key.LastErrorText();
    return false;
  }
  s->present = true;
  DWORD v = 0;
  if (key.QueryDword("LogEnabled", &v) == ERROR_SUCCESS) s->enabled = v;
  if (key.QueryDword("LogLevel", &v) == ERROR_SUCCESS) s->level = v;
  if (key.QueryDword("LogDestination", &v) == ERROR_SUCCESS) s->destination = v;
  if (key.QueryDword("LogSizeKB", &v) == ERROR_SUCCESS) s->sizeKb = v;
  if (key.QueryDword("LogRollCount", &v) == ERROR_SUCCESS) s->roll = v;
  key.QueryString("LogFile", &s->file);
  return true;
}

bool LogSwitches::Apply(const LogRequest& request, std::string* error) {
  LogSettings current;
  if (!Read(&current, error)) return false;
  RegistryKey key;
  LONG r = key.Create(RegistryRoot::LocalMachine, KeyPath());
  auto check = [&](LONG result) {
    if (result == ERROR_SUCCESS) return true;
    *error = "cannot write the registry store " + key.FullName() + ": " +
             (key.LastErrorText().empty() ? "error " + std::to_string(result) : key.LastErrorText());
    return false;
  };
  if (!check(r)) return false;
  if (!request.on) return check(key.SetDword("LogEnabled", 0));
  std::string file = request.file.empty() ? current.file : request.file;
  if (file.empty()) file = DefaultFile();
  if (file.empty()) {
    // No shared temporary directory instead: another account could have planted a link there.
    *error = "no log file given, and neither XDG_STATE_HOME nor HOME names a directory for the default one: "
             "give one with --file";
    return false;
  }
  if (!Absolute(file, &file, error)) return false;
  // The log's directories are checked as the lock directory is: a planted link or a directory
  // of another account would receive the log.
  std::string why;
  if (!SharedDirectory::MakePath(file.substr(0, file.find_last_of('/')), 0755, &why)) {
    *error = "cannot use the log file's directory " + why;
    return false;
  }
  const uint32_t level = request.level >= 0 ? static_cast<uint32_t>(request.level)
                                            : current.level ? current.level : kDefaultLevel;
  return check(key.SetString("LogFile", file)) && check(key.SetDword("LogLevel", level)) &&
         check(key.SetDword("LogDestination", 1)) &&
         (request.sizeKb < 0 || check(key.SetDword("LogSizeKB", static_cast<DWORD>(request.sizeKb)))) &&
         (request.roll < 0 || check(key.SetDword("LogRollCount", static_cast<DWORD>(request.roll)))) &&
         check(key.SetDword("LogEnabled", 1));
}

std::string LogSwitches::Describe(const LogSettings& s) {
  if (!s.present) return "log: off (no settings)\n";
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "log: %s\n  file:        %s\n  level:       0x%08X\n  destination: %u (1 file, 2 standard error)\n"
                "  size:        %u KiB before roll-over (0: never)\n  copies kept: %u\n",
                s.enabled && s.destination ? "on" : "off", s.file.empty() ? "(none)" : s.file.c_str(), s.level,
                s.destination, s.sizeKb, s.roll);
  return buf;
}
