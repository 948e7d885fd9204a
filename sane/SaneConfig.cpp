#include "sane/SaneConfig.h"

#include <cstdlib>
#include <fstream>
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
    if (w[0] == "discovery") {
      if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) problem("discovery takes on or off");
      else c.discovery = w[1] == "on";
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

SaneConfig SaneConfig::Load() {
  for (const std::string& dir : SearchDirectories()) {
    const std::string path = dir + "/cavix.conf";
    std::ifstream f(path);
    if (!f) continue;
    std::stringstream text;
    text << f.rdbuf();
    SaneConfig c = Parse(text.str());
    c.path = path;
    return c;
  }
  return SaneConfig();
}
