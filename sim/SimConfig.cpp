#include "sim/SimConfig.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

namespace cavixsim {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool ToLong(const std::string& s, long long lo, long long hi, long long& out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool ToDouble(const std::string& s, double& out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (errno != 0 || *end != '\0') return false;
  out = v;
  return true;
}

bool ToFlag(const std::string& s, bool& out) {
  std::string v = Lower(s);
  if (v.empty() || v == "true" || v == "1" || v == "yes") { out = true; return true; }
  if (v == "false" || v == "0" || v == "no") { out = false; return true; }
  return false;
}

bool ToCondition(const std::string& s, int& out) {
  static const std::map<std::string, int> kNames = {
      {"none", kScannerNone}, {"busy", kScannerBusy}, {"calibrating", kScannerCalibrating},
      {"attention", kScannerAttentionRequired}, {"attentionrequired", kScannerAttentionRequired}};
  auto it = kNames.find(Lower(s));
  if (it == kNames.end()) return false;
  out = it->second;
  return true;
}

ParseResult Fail(const std::string& text) {
  ParseResult r;
  r.ok = false;
  r.error = text;
  return r;
}

// One row of the option table: name, whether it takes a value, its argument's name and help.
struct OptionInfo {
  const char* name;
  bool takesValue;
  const char* arg;
  const char* help;
};

const OptionInfo kOptions[] = {
    {"listen", true, "ADDRESS", "serve over HTTP on ADDRESS:8289 (a loopback address such as 127.0.0.2, or a link-local one on a veth interface: fe80::2%veth1)"},
    {"usb", false, "", "serve over a pseudo-terminal in raw mode; prints the slave path first"},
    {"config", true, "FILE", "read options from FILE (\"name value\" lines, '#' comments)"},
    {"model", true, "TEXT", "model number reported by GetScannerElements (default vqm440)"},
    {"scan-id", true, "TEXT", "scan-to identifier reported in ScanToStatus (default none)"},
    {"adf-sheets", true, "N", "load the feeder with N sheets (default 0)"},
    {"feeder-capacity", true, "N", "feeder capacity reported in the configuration (default 50)"},
    {"pad-lines", true, "N", "append N pad lines to every page (default 0)"},
    {"pad-dark", false, "", "pad lines carry dark bytes (default: white pad lines)"},
    {"jpeg-quality", true, "Q", "JPEG quality 1..100 (default 85)"},
    {"image", true, "FILE", "use a binary PGM/PPM file as page image (repeatable; cycled)"},
    {"keep-pages", false, "", "keep the bytes of every sent page in memory (library use)"},
    {"page-cache", false, "",
     "draw and encode each distinct page once, then send it again from memory (benchmarks)"},
    {"same-image", false, "", "every feeder sheet carries the first sheet's chart (benchmarks)"},
    {"chunk-size", true, "BYTES", "largest single write of a response (default 65536)"},
    {"rate", true, "BYTES_PER_SECOND", "pace responses to this rate (default 0: unpaced)"},
    {"jam-at", true, "K", "the feeder jams at sheet K of a job"},
    {"cover-open-at", true, "K", "the feeder cover opens at sheet K of a job"},
    {"mispick-at", true, "K", "the feeder fails to pick sheet K of a job"},
    {"storage-full-at", true, "K", "internal storage runs full at sheet K of a job"},
    {"scanner-condition", true, "busy|calibrating|attention",
     "report this ScannerStateReason and refuse new jobs"},
    {"not-accepting", true, "SECONDS",
     "refuse jobs with wscn:ServerErrorNotAcceptingJobs and report Processing for SECONDS after "
     "the first refusal (negative: for ever)"},
    {"cancel-not-found", true, "N", "answer the first N CancelJobs with wscn:ClientErrorJobIdNotFound"},
    {"fault", true, "OP:CODE:SUBCODE:REASON[:COUNT]",
     "answer operation OP with this fault: CODE Sender or Receiver, SUBCODE a prefixed name such as wscn:ClientErrorInvalidArgs or - for none; COUNT times (default always)"},
    {"padinfo-not-implemented", false, "",
     "answer GetPreviousImagePadInfo with a client fault saying \"not implemented\""},
    {"close-mid-page", true, "N", "break off the connection halfway through the N-th page sent"},
    {"no-answer", true, "OP", "read requests of operation OP and never answer them (repeatable)"},
    {"misbehave", true, "OP:KIND[:COUNT]",
     "answer operation OP badly: KIND trickle, endless, huge, http-error, empty-chunks, "
     "lying-record, reset, wrong-size, bomb or absurd; COUNT times (default always; repeatable)"},
    {"huge-bytes", true, "BYTES", "size of a huge answer's text or attachment (default 67108864)"},
    {"trickle-ms", true, "MS", "pause between two bytes of a trickled answer (default 1000)"},
    {"soap11", false, "", "answer in SOAP 1.1 envelopes"},
    {"reorder", false, "", "write child elements of responses in reverse order"},
    {"extra-elements", false, "", "add elements unknown to the schema to responses"},
    {"enum-numbers", false, "", "write enumerations as decimal numbers"},
    {"mac", true, "MAC", "MAC address of the simulated device (for discovery fixtures)"},
    {"no-announce", false, "", "stay silent: neither WS-Discovery (Hello, Bye, answers to Probe and Resolve) nor Avahi"},
    {"no-wsd", false, "", "stay silent on WS-Discovery; publish through Avahi alone"},
    {"xaddrs-on-resolve", false, "", "answer Probe without the scan service's address, given only to Resolve"},
    {"neighbour-table", true, "FILE", "append the line \"MAC ADDRESS\" to FILE at start"},
    {"help", false, "", "print this text and exit"},
};

const OptionInfo* FindOption(const std::string& name) {
  for (const OptionInfo& o : kOptions)
    if (name == o.name) return &o;
  return nullptr;
}

}  // namespace

bool ParseFaultOption(const std::string& option, InjectedFault& out) {
  std::vector<std::string> parts;
  std::stringstream ss(option);
  std::string part;
  while (std::getline(ss, part, ':')) parts.push_back(part);
  if (parts.size() < 4) return false;
  InjectedFault f;
  f.op = OperationFromName(parts[0]);
  if (f.op == Operation::Unknown) return false;
  std::string code = Lower(parts[1]);
  if (code == "sender" || code == "client") f.fault.code = "Sender";
  else if (code == "receiver" || code == "server") f.fault.code = "Receiver";
  else return false;
  // The subcode is a qualified name ("wscn:ClientErrorX"), or "-" (or nothing) for none.
  size_t next = 3;
  if (!parts[2].empty() && parts[2] != "-") {
    f.fault.subcode = parts[2] + ":" + parts[3];
    next = 4;
  }
  if (next >= parts.size()) return false;
  f.fault.reason = parts[next++];
  if (next < parts.size()) {
    long long n = 0;
    if (!ToLong(parts[next++], -1, 1000000, n)) return false;
    f.remaining = static_cast<int>(n);
  }
  if (next != parts.size()) return false;
  out = f;
  return true;
}

ParseResult ApplyOption(const std::string& name, const std::string& value, SimConfig& c) {
  const OptionInfo* option = FindOption(name);
  if (!option) return Fail("unknown option: " + name);
  auto bad = [&]() { return Fail("bad value for " + name + ": '" + value + "'"); };
  long long n = 0;
  bool flag = false;
  if (!option->takesValue) {
    if (!ToFlag(value, flag)) return bad();
    if (name == "usb") c.usb = flag;
    else if (name == "pad-dark") c.padDark = flag;
    else if (name == "keep-pages") c.keepPageBytes = flag;
    else if (name == "page-cache") c.cachePages = flag;
    else if (name == "same-image") c.sameImageEverySheet = flag;
    else if (name == "padinfo-not-implemented") c.padInfoNotImplemented = flag;
    else if (name == "soap11") c.soap11 = flag;
    else if (name == "no-announce") c.announce = c.publish = !flag;
    else if (name == "no-wsd") c.announce = !flag;
    else if (name == "xaddrs-on-resolve") c.xaddrsOnResolve = flag;
    else if (name == "reorder") c.reorderElements = flag;
    else if (name == "extra-elements") c.extraElements = flag;
    else if (name == "enum-numbers") c.enumNumbers = flag;
    else if (name == "help") {
      ParseResult r;
      r.help = flag;
      return r;
    }
    return ParseResult();
  }
  if (value.empty() && name != "scan-id") return Fail("option " + name + " needs a value");
  if (name == "listen") c.listenAddress = value;
  else if (name == "model") c.model = value;
  else if (name == "scan-id") c.scanIdentifier = value;
  else if (name == "adf-sheets") { if (!ToLong(value, 0, 100000, n)) return bad(); c.adfSheets = int(n); }
  else if (name == "feeder-capacity") { if (!ToLong(value, 0, 100000, n)) return bad(); c.feederCapacity = int(n); }
  else if (name == "pad-lines") { if (!ToLong(value, 0, 100000, n)) return bad(); c.padLines = uint32_t(n); }
  else if (name == "jpeg-quality") { if (!ToLong(value, 1, 100, n)) return bad(); c.jpegQuality = int(n); }
  else if (name == "image") c.imageFiles.push_back(value);
  else if (name == "chunk-size") { if (!ToLong(value, 1, 1 << 24, n)) return bad(); c.chunkSize = uint32_t(n); }
  else if (name == "rate") { if (!ToLong(value, 0, 1LL << 40, n)) return bad(); c.rateBytesPerSecond = uint64_t(n); }
  else if (name == "jam-at") { if (!ToLong(value, 0, 100000, n)) return bad(); c.jamAtSheet = int(n); }
  else if (name == "cover-open-at") { if (!ToLong(value, 0, 100000, n)) return bad(); c.coverOpenAtSheet = int(n); }
  else if (name == "mispick-at") { if (!ToLong(value, 0, 100000, n)) return bad(); c.mispickAtSheet = int(n); }
  else if (name == "storage-full-at") { if (!ToLong(value, 0, 100000, n)) return bad(); c.storageFullAtSheet = int(n); }
  else if (name == "scanner-condition") { if (!ToCondition(value, c.scannerCondition)) return bad(); }
  else if (name == "not-accepting") { if (!ToDouble(value, c.notAcceptingSeconds)) return bad(); }
  else if (name == "cancel-not-found") { if (!ToLong(value, 0, 100000, n)) return bad(); c.cancelJobIdNotFound = int(n); }
  else if (name == "fault") {
    InjectedFault f;
    if (!ParseFaultOption(value, f)) return bad();
    c.faults.push_back(f);
  } else if (name == "close-mid-page") { if (!ToLong(value, 0, 1000000, n)) return bad(); c.closeMidPage = int(n); }
  else if (name == "no-answer") {
    Operation op = OperationFromName(value);
    if (op == Operation::Unknown) return bad();
    c.noAnswer.push_back(op);
  } else if (name == "misbehave") {
    InjectedMisbehaviour m;
    if (!ParseMisbehaveOption(value, m)) return bad();
    c.misbehave.push_back(m);
  } else if (name == "huge-bytes") { if (!ToLong(value, 1, 1LL << 40, n)) return bad(); c.hugeBytes = uint64_t(n); }
  else if (name == "trickle-ms") { if (!ToLong(value, 1, 3600000, n)) return bad(); c.trickleIntervalMs = uint32_t(n); }
  else if (name == "mac") c.macAddress = value;
  else if (name == "neighbour-table") c.neighbourTableFile = value;
  else if (name == "config") return LoadConfigFile(value, c);
  return ParseResult();
}

ParseResult ParseCommandLine(int argc, const char* const* argv, SimConfig& c) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() < 3 || arg.compare(0, 2, "--") != 0) return Fail("unexpected argument: " + arg);
    std::string name = arg.substr(2), value;
    size_t eq = name.find('=');
    bool inlineValue = eq != std::string::npos;
    if (inlineValue) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    const OptionInfo* option = FindOption(name);
    if (!option) return Fail("unknown option: --" + name);
    if (option->takesValue && !inlineValue) {
      if (i + 1 >= argc) return Fail("option --" + name + " needs a value");
      value = argv[++i];
    }
    ParseResult r = ApplyOption(name, value, c);
    if (!r.ok || r.help) return r;
  }
  return ParseResult();
}

ParseResult LoadConfigFile(const std::string& path, SimConfig& c) {
  std::ifstream in(path);
  if (!in) return Fail("cannot read config file " + path);
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    line = Trim(line);
    if (line.empty()) continue;
    size_t sep = line.find_first_of("= \t");
    std::string name = Trim(line.substr(0, sep));
    std::string value = sep == std::string::npos ? "" : Trim(line.substr(sep + 1));
    if (!value.empty() && value[0] == '=') value = Trim(value.substr(1));
    if (name == "config" || name == "help")
      return Fail(path + ":" + std::to_string(lineNo) + ": option not allowed in a file: " + name);
    ParseResult r = ApplyOption(name, value, c);
    if (!r.ok) return Fail(path + ":" + std::to_string(lineNo) + ": " + r.error);
  }
  return ParseResult();
}

std::string UsageText() {
  std::ostringstream out;
  out << "Usage: cavix-devsim (--listen ADDRESS | --usb) [options]\n"
         "Simulated network/USB scanner serving the wscn scan service on port 8289.\n"
         "With --listen the first line of output is \"listening ADDRESS:8289\";\n"
         "with --usb it is the pseudo-terminal slave path. SIGTERM or SIGINT stops it.\n\n"
         "Options:\n";
  for (const OptionInfo& o : kOptions) {
    std::string left = std::string("  --") + o.name + (o.takesValue ? std::string(" ") + o.arg : "");
    out << left;
    if (left.size() < 34) out << std::string(34 - left.size(), ' ');
    else out << "\n" << std::string(34, ' ');
    // The help text, wrapped at 100 columns under its column.
    std::istringstream words(o.help);
    std::string word;
    size_t column = 34;
    bool first = true;
    while (words >> word) {
      if (!first && column + 1 + word.size() > 100) {
        out << "\n" << std::string(34, ' ');
        column = 34;
        first = true;
      }
      if (!first) {
        out << ' ';
        ++column;
      }
      out << word;
      column += word.size();
      first = false;
    }
    out << "\n";
  }
  out << "\nOperations (OP): CreateScanJob, RetrieveImage, CancelJob, GetScannerElements,\n"
         "GetJobInfo, GetPreviousImagePadInfo.\n"
         "Example: --fault RetrieveImage:Receiver:wscn:ServerErrorTemporaryError:Try later:1\n";
  return out.str();
}

bool ParseMisbehaveOption(const std::string& option, InjectedMisbehaviour& out) {
  const size_t first = option.find(':');
  if (first == std::string::npos) return false;
  const size_t second = option.find(':', first + 1);
  InjectedMisbehaviour m;
  m.op = OperationFromName(option.substr(0, first));
  m.kind = MisbehaviourFromName(option.substr(first + 1, second == std::string::npos ? std::string::npos
                                                                                      : second - first - 1));
  if (m.op == Operation::Unknown || m.kind == Misbehaviour::None) return false;
  if (second != std::string::npos) {
    long long count = 0;
    if (!ToLong(option.substr(second + 1), -1, 1000000, count)) return false;
    m.remaining = int(count);
  }
  out = m;
  return true;
}

}  // namespace cavixsim
