#include "sane/SaneConfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <sstream>

#include "tools/DeviceName.h"

SaneConfig SaneConfig::Parse(const std::string& text) {
  SaneConfig c;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    // '#' starts a comment at the start of a line or after a blank; network device names
    // hold a '#' of their own ("\\?\cavixnet#\...").
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
        line.erase(i);
        break;
      }
    }
    std::istringstream words(line);
    std::vector<std::string> w;
    std::string word;
    while (words >> word) w.push_back(word);
    if (w.empty()) continue;
    auto problem = [&](const std::string& what) {
      c.problems.push_back("line " + std::to_string(number) + ": " + what);
    };
    if (w[0] == "module") {
      if (w.size() != 2) problem("module takes one path");
      else c.module = w[1];
      continue;
    }
    if (w[0] == "discovery" || w[0] == "discovery-time") {
      std::string list, error;
      for (size_t i = 1; i < w.size(); ++i) list += w[i] + " ";
      if (w[0] == "discovery-time") {
        if (w.size() != 2 || !c.search.SetSearchMs(w[1], &error)) problem(error.empty() ? "discovery-time takes milliseconds" : error);
      } else if (w.size() == 2 && w[1] == "on") {
        c.discovery = true;
      } else if (!c.search.SetSources(list, &error)) {
        problem(error);
      } else {
        c.discovery = c.search.Any();
      }
      continue;
    }
    if (w[0] == "simulator") {
      SaneDeviceEntry e;
      e.name = "simulator";
      e.simulator = true;
      bool good = true;
      for (size_t i = 1; i < w.size() && good; ++i) {
        if (w[i] == "usb") {
          e.simulatorUsb = true;
        } else if (w[i] == "address" && i + 1 < w.size()) {
          e.simulatorAddress = w[++i];
          good = DeviceName::IsIPv4(e.simulatorAddress) && e.simulatorAddress.rfind("127.", 0) == 0;
        } else if (w[i] == "sheets" && i + 1 < w.size()) {
          char* end = nullptr;
          long n = std::strtol(w[i + 1].c_str(), &end, 10);
          good = *end == 0 && n >= 0 && n <= 1000;
          e.sheets = static_cast<int>(n);
          ++i;
        } else {
          good = false;
        }
      }
      if (!good) problem("simulator takes 'sheets N', 'usb' and 'address 127.x.y.z'");
      else c.devices.push_back(e);
      continue;
    }
    SaneDeviceEntry e;
    e.name = w[0];
    e.device = w[0];
    if (w.size() == 2) e.mac = w[1];
    DeviceTarget target;
    std::string error;
    if (w.size() > 2) problem("a device line holds the device and at most a MAC address");
    else if (!DeviceName::Resolve(e.device, e.mac, &target, &error)) problem(error);
    else c.devices.push_back(e);
  }
  return c;
}

std::vector<std::string> SaneConfig::SearchDirectories() {
  std::vector<std::string> dirs;
  const char* env = std::getenv("SANE_CONFIG_DIR");
  bool defaults = true;
  if (env && *env) {
    std::string v(env);
    defaults = v.back() == ':';
    std::stringstream ss(v);
    std::string d;
    while (std::getline(ss, d, ':'))
      if (!d.empty()) dirs.push_back(d);
  }
  if (defaults) {
    dirs.push_back(".");
    dirs.push_back("/etc/sane.d");
  }
  return dirs;
}

namespace {

// Owned by root or by this process's user, and writable by no one else (a sticky directory
// lets others add files but not replace this one's).
const char* OwnerProblem(const struct stat& st, bool directory) {
  if (st.st_uid != 0 && st.st_uid != ::geteuid()) return "owned by another user";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !(directory && (st.st_mode & S_ISVTX)))
    return "writable by other users";
  return nullptr;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

}  // namespace

bool SaneConfig::Trusts(const std::string& dir, int fd, std::string* why) {
  const std::string real = RealPath(dir), cwd = RealPath(".");
  struct stat file = {}, folder = {};
  const char* problem = nullptr;
  if (dir.empty() || dir[0] != '/' || real.empty() || real == cwd) {
    *why = "it is in the current directory";
    return false;
  }
  if (::fstat(fd, &file) != 0 || ::stat(real.c_str(), &folder) != 0) {
    *why = "it cannot be examined";
    return false;
  }
  if ((problem = OwnerProblem(file, false)) != nullptr) *why = std::string("it is ") + problem;
  else if ((problem = OwnerProblem(folder, true)) != nullptr) *why = std::string("its directory is ") + problem;
  return problem == nullptr;
}

SaneConfig SaneConfig::Load() {
  for (const std::string& dir : SearchDirectories()) {
    const std::string path = dir + "/cavix.conf";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    SaneConfig c = Parse(text);
    c.path = path;
    std::string why;
    if (!c.module.empty() && !Trusts(dir, fd, &why)) {
      c.ignored.push_back("module " + c.module + " (" + why + ")");
      c.module.clear();
    }
    ::close(fd);
    return c;
  }
  return SaneConfig();
}
