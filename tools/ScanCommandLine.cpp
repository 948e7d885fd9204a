#include "tools/ScanCommandLine.h"

#include "transport/DiscoverySettings.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "tools/DeviceName.h"
#include "tools/OutputTarget.h"
#include "tools/ScanParameterMapping.h"
#include "transport/DiscoverySettings.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

bool ParseMillimetres(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v) || v < 0) return false;
  *out = v;
  return true;
}

const unsigned kPlatenResolutions[] = {75, 100, 150, 200, 300, 600, 1200};
const unsigned kFeederMaxResolution = 300;

struct Parser {
  int argc;
  const char* const* argv;
  int i = 1;
  ParsedCommandLine result;

  bool Fail(const std::string& message) {
    if (result.ok) {
      result.ok = false;
      result.error = message;
    }
    return false;
  }

  // Splits "--name=value"; takes the value from the next argument when the option needs one.
  bool Value(const std::string& arg, const std::string& name, std::string* value) {
    size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      *value = arg.substr(eq + 1);
      return true;
    }
    if (i + 1 >= argc) return Fail("option " + name + " needs a value");
    *value = argv[++i];
    return true;
  }

  bool Run();
  bool ScanOption(const std::string& name, const std::string& arg);
  bool LogOption(const std::string& name, const std::string& arg);
  bool Check();
};

bool Parser::Run() {
  ScanOptions& o = result.options;
  // The subcommand, when one is given, comes first.
  if (argc > 1) {
    const std::string first = argv[1];
    static const struct { const char* name; ScanCommand command; } kCommands[] = {
        {"scan", ScanCommand::Scan},         {"caps", ScanCommand::Caps},
        {"status", ScanCommand::Status},     {"register", ScanCommand::Register},
        {"unregister", ScanCommand::Unregister}, {"log", ScanCommand::Log},
        {"list", ScanCommand::List},         {"help", ScanCommand::Help},
    };
    bool found = false;
    for (const auto& c : kCommands) {
      if (first == c.name) {
        o.command = c.command;
        found = true;
        ++i;
      }
    }
    if (!found && !first.empty() && first[0] != '-')
      return Fail("unknown command '" + first + "'");
  }
  if (o.command == ScanCommand::Log) {
    if (i >= argc) {
      o.log.show = true;
    } else {
      const std::string what = argv[i++];
      if (what == "on") o.log.on = true;
      else if (what == "off") o.log.on = false;
      else if (what == "show") o.log.show = true;
      else return Fail("log takes on, off or show, not '" + what + "'");
    }
  }
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.empty() || arg[0] != '-' || arg == "-") return Fail("unexpected argument '" + arg + "'");
    std::string name = arg.substr(0, arg.find('='));
    if (name == "-h" || name == "--help") {
      o.command = ScanCommand::Help;
      return true;
    }
    if (name == "--version") {
      o.command = ScanCommand::Version;
      return true;
    }
    bool ok = o.command == ScanCommand::Log ? LogOption(name, arg) : ScanOption(name, arg);
    if (!ok) return false;
  }
  return Check();
}

bool Parser::ScanOption(const std::string& name, const std::string& arg) {
  ScanOptions& o = result.options;
  std::string v;
  const bool scanning = o.command == ScanCommand::Scan;
  const bool usesDevice = scanning || o.command == ScanCommand::Caps || o.command == ScanCommand::Status;
  auto scanOnly = [&]() { return scanning ? true : Fail("option " + name + " is only for scanning"); };
  if (name == "--module") {
    if (!Value(arg, name, &v)) return false;
    if (v.empty()) return Fail("option --module needs a path");
    o.module = v;
  } else if (name == "--registered-as") {
    if (o.command != ScanCommand::Register) return Fail("option --registered-as is only for register");
    if (!Value(arg, name, &v)) return false;
    if (v.empty() || v[0] != '/') return Fail("option --registered-as needs an absolute path");
    o.registeredAs = v;
  } else if (name == "-d" || name == "--device") {
    if (!usesDevice) return Fail("option " + name + " is not used by this command");
    if (!Value(arg, name, &v)) return false;
    if (v.empty()) return Fail("option --device needs a device name, an address or a path");
    o.device = v;
  } else if (name == "--mac") {
    if (!usesDevice) return Fail("option --mac is not used by this command");
    if (!Value(arg, name, &v)) return false;
    o.mac = v;
  } else if (name == "--sim-usb") {
    if (!usesDevice) return Fail("option --sim-usb is not used by this command");
    o.simUsb = true;
  } else if (name == "--sim-address") {
    if (!usesDevice) return Fail("option --sim-address is not used by this command");
    if (!Value(arg, name, &v)) return false;
    if (!DeviceName::IsIPv4(v) || v.rfind("127.", 0) != 0)
      return Fail("--sim-address takes a loopback address such as 127.0.0.5, not '" + v + "'");
    o.simAddress = v;
  } else if (name == "--discovery" || name == "--discovery-time") {
    if (o.command != ScanCommand::List) return Fail("option " + name + " is only for list");
    std::string error;
    if (!Value(arg, name, &v)) return false;
    DiscoverySettings check;
    const bool ok = name == "--discovery" ? check.SetSources(v, &error) : check.SetSearchMs(v, &error);
    if (!ok) return Fail(name + ": " + error);
    (name == "--discovery" ? o.discovery : o.discoveryTime) = v;
  } else if (name == "--lock-timeout") {
    if (!usesDevice) return Fail("option --lock-timeout is not used by this command");
    uint64_t ms = 0;
    if (!Value(arg, name, &v)) return false;
    if (!ParseUnsigned(v, 3600000, &ms)) return Fail("--lock-timeout takes milliseconds (0 to 3600000), not '" + v + "'");
    o.lockTimeoutMs = static_cast<unsigned>(ms);
  } else if (name == "-s" || name == "--source") {
    if (!scanOnly() || !Value(arg, name, &v)) return false;
    const std::string s = Lower(v);
    if (s == "platen" || s == "flatbed") o.source = ScanSource::Platen;
    else if (s == "adf" || s == "feeder") o.source = ScanSource::Adf;
    else if (s == "duplex") o.source = ScanSource::Duplex;
    else return Fail("--source takes platen, adf or duplex, not '" + v + "'");
  } else if (name == "-m" || name == "--mode") {
    if (!scanOnly() || !Value(arg, name, &v)) return false;
    const std::string s = Lower(v);
    if (s == "color" || s == "colour") o.mode = ColorMode::Color;
    else if (s == "gray" || s == "grey") o.mode = ColorMode::Gray;
    else if (s == "bw" || s == "lineart") o.mode = ColorMode::BlackWhite;
    else return Fail("--mode takes color, gray or bw, not '" + v + "'");
  } else if (name == "-r" || name == "--resolution") {
    if (!scanOnly() || !Value(arg, name, &v)) return false;
    uint64_t dpi = 0;
    bool known = false;
    if (ParseUnsigned(v, 100000, &dpi))
      for (unsigned r : kPlatenResolutions) known = known || r == dpi;
    if (!known) return Fail("--resolution takes 75, 100, 150, 200, 300, 600 or 1200 (dpi), not '" + v + "'");
    o.resolution = static_cast<unsigned>(dpi);
  } else if (name == "--region" || name == "--size") {
    if (!scanOnly() || !Value(arg, name, &v)) return false;
    RegionMm r;
    if (ScanCommandLine::PageSize(v, &r)) {
      o.region = r;
      o.hasRegion = true;
      return true;
    }
    std::vector<std::string> parts;
    std::stringstream ss(v);
    std::string part;
    while (std::getline(ss, part, ',')) parts.push_back(part);
    double n[4];
    bool good = parts.size() == 4 && name == "--region";
    for (size_t k = 0; good && k < 4; ++k) good = ParseMillimetres(parts[k], &n[k]);
    if (!good)
      return Fail(name == "--size" ? "--size takes A4, A5, letter or legal, not '" + v + "'"
                                   : "--region takes X,Y,WIDTH,HEIGHT in millimetres or A4, A5, letter, legal; not '" + v + "'");
    if (n[2] <= 0 || n[3] <= 0) return Fail("--region needs a width and a height above 0 mm");
    o.region = RegionMm{n[0], n[1], n[2], n[3]};
    o.hasRegion = true;
  } else if (name == "--pages") {
    if (!scanOnly() || !Value(arg, name, &v)) return false;
    uint64_t p = 0;
    if (!ParseUnsigned(v, 100000, &p) || p == 0) return Fail("--pages takes a number of pages above 0, not '" + v + "'");
    o.pages = static_cast<unsigned>(p);
  } else if (name == "-o" || name == "--output") {
    if (!scanOnly() || !Value(arg, name, &v)) return false;
    if (v.empty()) return Fail("option " + name + " needs a file name");
    o.output = v;
  } else if (name == "--progress") {
    if (!scanOnly() || !Value(arg, name, &v)) return false;
    if (v == "bar") o.progress = ProgressStyle::Bar;
    else if (v == "lines") o.progress = ProgressStyle::Lines;
    else if (v == "none") o.progress = ProgressStyle::Quiet;
    else return Fail("--progress takes bar, lines or none, not '" + v + "'");
  } else if (name == "-q" || name == "--quiet") {
    if (!scanOnly()) return false;
    o.progress = ProgressStyle::Quiet;
  } else {
    return Fail("unknown option '" + name + "'");
  }
  return true;
}

bool Parser::LogOption(const std::string& name, const std::string& arg) {
  LogRequest& l = result.options.log;
  std::string v;
  if (l.show) return Fail("log show takes no options");
  if (!l.on && name != "--module") return Fail("option " + name + " is only for log on");
  uint64_t n = 0;
  if (name == "--file") {
    if (!Value(arg, name, &v)) return false;
    if (v.empty() || v.size() > 259) return Fail("--file needs a path of 1 to 259 characters");
    l.file = v;
  } else if (name == "--level") {
    if (!Value(arg, name, &v)) return false;
    const std::string s = Lower(v);
    if (s == "errors") l.level = 0x80000000;
    else if (s == "normal") l.level = 0xB000001A;
    else if (s == "all") l.level = 0xB000005E;
    else if (ParseUnsigned(s.rfind("0x", 0) == 0 ? s : "0x" + s, 0xFFFFFFFFull, &n) && n != 0) l.level = static_cast<int64_t>(n);
    else return Fail("--level takes errors, normal, all or a mask in hexadecimal, not '" + v + "'");
  } else if (name == "--size-kb") {
    if (!Value(arg, name, &v)) return false;
    if (!ParseUnsigned(v, 10240, &n)) return Fail("--size-kb takes 0 (no roll-over) to 10240, not '" + v + "'");
    l.sizeKb = static_cast<int64_t>(n);
  } else if (name == "--roll") {
    if (!Value(arg, name, &v)) return false;
    if (!ParseUnsigned(v, 5, &n)) return Fail("--roll takes 0 to 5 copies, not '" + v + "'");
    l.roll = static_cast<int64_t>(n);
  } else {
    return Fail("unknown option '" + name + "' for log");
  }
  return true;
}

bool Parser::Check() {
  ScanOptions& o = result.options;
  if (o.command != ScanCommand::Scan) return true;
  const bool feeder = o.source != ScanSource::Platen;
  if (feeder && o.resolution > kFeederMaxResolution)
    return Fail("--resolution " + std::to_string(o.resolution) + " is not available from the feeder (75 to 300 dpi)");
  if (!feeder && o.pages > 1) return Fail("--pages is for the feeder (--source adf or duplex)");
  const RegionMm area = ScanCommandLine::SourceArea(o.source);
  if (o.hasRegion) {
    // Half a millimetre of tolerance lets A4 (297 mm) onto the 296.9 mm glass; the driver
    // region is clipped to the source.
    const double eps = 0.5;
    if (o.region.x + o.region.width > area.width + eps || o.region.y + o.region.height > area.height + eps) {
      std::ostringstream m;
      char size[64];
      std::snprintf(size, sizeof size, "%.1f x %.1f mm", area.width, area.height);
      m << "--region reaches outside the " << (feeder ? "feeder's sheet" : "platen") << " (" << size << ")";
      return Fail(m.str());
    }
  }
  if (o.output.empty()) o.output = feeder && o.pages != 1 ? "scan-%03d.png" : "scan.png";
  std::string why;
  if (!OutputTarget::CheckName(o.output, feeder && o.pages != 1, &why)) return Fail(why);
  return true;
}

}  // namespace

ParsedCommandLine ScanCommandLine::Parse(int argc, const char* const* argv) {
  Parser p{argc, argv, 1, ParsedCommandLine()};
  p.Run();
  return p.result;
}

bool ScanCommandLine::PageSize(const std::string& name, RegionMm* region) {
  static const struct { const char* name; double w, h; } kSizes[] = {
      {"a4", 210, 297}, {"a5", 148, 210}, {"letter", 215.9, 279.4}, {"legal", 215.9, 355.6}};
  const std::string n = Lower(name);
  for (const auto& s : kSizes) {
    if (n == s.name) {
      *region = RegionMm{0, 0, s.w, s.h};
      return true;
    }
  }
  return false;
}

RegionMm ScanCommandLine::SourceArea(ScanSource source) { return ScanParameterMapping::SourceArea(source); }

uint32_t ScanCommandLine::MmToUnits(double mm) { return ScanParameterMapping::MmToUnits(mm); }

std::string ScanCommandLine::UsageText() {
  return
      "usage: cavix-scan [scan] [options]            scan pages into files\n"
      "       cavix-scan caps   [--device D]         the scanner's capabilities\n"
      "       cavix-scan status [--device D]         reachability, lock and feeder\n"
      "       cavix-scan list                        scanners found on the local network\n"
      "       cavix-scan register   [--module PATH]  register the module (HKLM store)\n"
      "                 [--registered-as P]  recorded as P (an installation into another root)\n"
      "       cavix-scan unregister [--module PATH]  remove the registration\n"
      "       cavix-scan log on [--file F] [--level L] [--size-kb N] [--roll N]\n"
      "       cavix-scan log off | log show          the driver's log switches\n"
      "\n"
      "Device (without one, an embedded simulated scanner on a free loopback address is used):\n"
      "  -d, --device D        a network device name (\\\\?\\cavixnet#\\macaddr:...), an IPv4\n"
      "                        address, or a USB device path such as /dev/usb/lp0\n"
      "      --mac M           MAC address for a name built from an address\n"
      "      --module PATH     load libcavixdriver.so from PATH instead of the registration\n"
      "      --lock-timeout MS wait this long for a scanner another program holds (10000)\n"
      "      --sim-usb         the embedded simulated scanner serves over a pseudo-terminal\n"
      "      --sim-address A   the embedded simulated scanner listens on loopback address A\n"
      "List (a WS-Discovery Probe to each multicast-capable interface, the kernel's neighbour\n"
      "table as it stands, then GetScannerElements to each host found on port 8289):\n"
      "      --discovery S     the sources: wsd, avahi, neighbours (all by default) or off\n"
      "      --discovery-time MS   the whole search's time (2000)\n"
      "Scan:\n"
      "  -s, --source S        platen (default), adf or duplex\n"
      "  -m, --mode M          color (default), gray or bw\n"
      "  -r, --resolution DPI  75, 100, 150, 200, 300 (default), 600, 1200 (feeder: up to 300)\n"
      "      --region X,Y,W,H  scan region in millimetres; or a page size: A4, A5, letter, legal\n"
      "      --pages N         feeder: stop after N pages (default: until the feeder is empty)\n"
      "  -o, --output FILE     .png, .tif/.tiff, .pdf or .pnm/.ppm/.pgm/.pbm; a pattern such\n"
      "                        as page-%03d.png writes one file per page; a .tif or .pdf\n"
      "                        without a pattern holds all pages of a feeder job\n"
      "      --progress STYLE  bar, lines or none (default: a bar on a terminal, else lines)\n"
      "  -q, --quiet           no progress\n"
      "  -h, --help            this text\n"
      "\n"
      "Exit status: 0 done, 1 other failure, 2 wrong options, 3 scanner not reachable,\n"
      "4 scanner busy, 5 feeder or paper problem, 6 settings refused, 7 output file problem,\n"
      "8 module not found or not registered, 130 cancelled with Ctrl-C.\n";
}
