// Configuration of the simulated scanner: paper, page images, transfer pacing and the scenarios
// that make it misbehave on purpose. Filled from the command line, from a small config file
// (one "name value" per line, the option names without their dashes) or directly by tests.
// A plain value: copied into the simulator, which never shares it between threads.
#ifndef CAVIX_SIM_SIMCONFIG_H
#define CAVIX_SIM_SIMCONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimTypes.h"

namespace cavixsim {

// A fault injected into one operation: answered `remaining` times (negative: always).
struct InjectedFault {
  Operation op = Operation::Unknown;
  Fault fault;
  int remaining = -1;
  int after = 0;  // requests of the operation answered normally before the fault starts
};

// A hostile answer to one operation: given `remaining` times (negative: always).
struct InjectedMisbehaviour {
  Operation op = Operation::Unknown;
  Misbehaviour kind = Misbehaviour::None;
  int remaining = -1;
};

struct SimConfig {
  // Where the device is reached.
  std::string listenAddress;      // an address SimAddress takes; the port is always 8289
  uint16_t port = 8289;           // tests may move it; the command line cannot
  bool usb = false;               // serve over a pseudo-terminal instead
  bool announce = true;           // WS-Discovery (WsDiscoveryResponder)
  bool xaddrsOnResolve = false;   // ProbeMatches without the address: it comes only with ResolveMatches
  bool publish = true;            // through the Avahi daemon, when one runs (AvahiPublisher)

  // The scanner.
  std::string model = "vqm440";
  std::string scanIdentifier;     // reported as ScanTo identifier when not empty
  int adfSheets = 0;              // sheets in the feeder
  int feederCapacity = 50;

  // Page images.
  uint32_t padLines = 0;          // pad rows appended to every page
  bool padDark = false;           // pad rows carry dark bytes (else they are white)
  int jpegQuality = 85;
  std::vector<std::string> imageFiles;  // binary PGM/PPM pages used instead of the chart, cycled
  bool keepPageBytes = false;     // keep each sent page's bytes for SentPages()

  // Transfer.
  uint32_t chunkSize = 65536;     // largest write of a response to the transport
  uint64_t rateBytesPerSecond = 0;  // 0: as fast as the transport takes it

  // Scenarios. Sheet numbers count from 1 within a job (platen: every page is sheet 1).
  int jamAtSheet = 0;
  int coverOpenAtSheet = 0;
  int mispickAtSheet = 0;
  int storageFullAtSheet = 0;
  int scannerCondition = kScannerNone;  // Busy, Calibrating or AttentionRequired: refuses jobs
  double notAcceptingSeconds = 0;  // >0: refuses jobs that long after the first refusal; <0: always
  int cancelJobIdNotFound = 0;     // the first n CancelJobs answer JobIdNotFound
  std::vector<InjectedFault> faults;
  bool padInfoNotImplemented = false;
  int refillAdfWhenEmpty = 0;      // sheets loaded once, right after a status that reports the
                                   // feeder empty while a feeder job is open
  bool cachePages = false;         // pages sent once are sent again from memory (benchmarks:
                                   // the transport's speed, not the encoder's)
  bool sameImageEverySheet = false;  // every sheet carries the first sheet's chart (benchmarks:
                                     // with cachePages, feeder pages too come from memory)
  int connectionLimit = 0;         // >0: after this many connections the device stops listening
  int closeMidPage = 0;            // the n-th page sent (counted from 1) breaks off halfway
  std::vector<Operation> noAnswer; // operations read but never answered
  bool soap11 = false;             // answer in SOAP 1.1 envelopes
  bool reorderElements = false;    // write child elements in reverse order
  bool extraElements = false;      // add elements the schema does not have
  bool enumNumbers = false;        // write enumerations as their decimal codes
  std::vector<InjectedMisbehaviour> misbehave;  // hostile answers (SimTypes.h)
  uint64_t hugeBytes = 64ull << 20;  // size of a huge answer's text or attachment
  uint32_t trickleIntervalMs = 1000;  // pause between two bytes of a trickled answer

  // Discovery fixture.
  std::string macAddress;
  std::string neighbourTableFile;  // the line "MAC ADDRESS" is appended here at start
};

// Result of reading options: ok, or a message naming the bad option.
struct ParseResult {
  bool ok = true;
  bool help = false;
  std::string error;
};

// Reads the command line (argv[1..]) into `config`. `--config FILE` is read where it stands,
// so later options override the file.
ParseResult ParseCommandLine(int argc, const char* const* argv, SimConfig& config);
// Reads a config file: one option a line, "name value" or "name=value"; '#' starts a comment;
// a flag takes "true", "false", "1" or "0".
ParseResult LoadConfigFile(const std::string& path, SimConfig& config);
// Applies one option by name (without dashes). Flags accept an empty value as true.
ParseResult ApplyOption(const std::string& name, const std::string& value, SimConfig& config);
// The --help text: every option with its meaning.
std::string UsageText();
// Parses "OP:CODE:SUBCODE:REASON[:COUNT]": CODE Sender or Receiver, SUBCODE "prefix:Name"
// or "-" for none, COUNT -1 (always, the default) or a number of answers.
bool ParseFaultOption(const std::string& option, InjectedFault& out);
// Parses "OP:KIND[:COUNT]": KIND one of the names of MisbehaviourFromName, COUNT -1 (always,
// the default) or a number of answers.
bool ParseMisbehaveOption(const std::string& option, InjectedMisbehaviour& out);

}  // namespace cavixsim

#endif
