// What one cavix-scan invocation asks for: the subcommand, the device, the scan settings and
// the output. A plain value filled by ScanCommandLine and read by the commands; never shared
// between threads.
#ifndef CAVIX_TOOLS_SCANOPTIONS_H
#define CAVIX_TOOLS_SCANOPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

enum class ScanCommand { Scan, Caps, Status, List, Register, Unregister, Log, Help, Version };
enum class ScanSource { Platen, Adf, Duplex };
enum class ColorMode { Color, Gray, BlackWhite };
enum class ProgressStyle { Auto, Bar, Lines, Quiet };

// A region in millimetres from the top left corner of the glass or the sheet.
struct RegionMm {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};

// The log switches of the `log` subcommand; a negative number or empty text: leave as it is.
struct LogRequest {
  bool on = false;
  bool show = false;  // `log` alone: print the current switches
  std::string file;
  int64_t level = -1;
  int64_t sizeKb = -1;
  int64_t roll = -1;
};

struct ScanOptions {
  ScanCommand command = ScanCommand::Scan;
  std::string device;      // as given: empty (embedded simulator), an address, a name or a path
  std::string mac;         // MAC address for a name built from an address
  std::string module;      // load the module from this path instead of the registration
  std::string registeredAs;  // register: the module's path as the installed system sees it
  ScanSource source = ScanSource::Platen;
  ColorMode mode = ColorMode::Color;
  unsigned resolution = 300;
  bool hasRegion = false;  // else the source's whole area
  RegionMm region;
  unsigned pages = 0;      // feeder: stop after this many pages; 0: until the feeder is empty
  std::string output;      // file or pattern; empty: the default name
  ProgressStyle progress = ProgressStyle::Auto;
  unsigned lockTimeoutMs = 10000;
  bool simUsb = false;     // embedded simulator over a pseudo-terminal instead of the network
  std::string simAddress;  // embedded simulator's loopback address; empty: the first free one
  LogRequest log;
  std::string discovery;      // `list`: the sources (DiscoverySettings::SetSources); empty: default
  std::string discoveryTime;  // `list`: milliseconds (DiscoverySettings::SetSearchMs); empty: default
};

#endif
