// The backend's configuration file cavix.conf, looked up like every SANE backend's: in the
// directories of SANE_CONFIG_DIR (colon-separated; a trailing colon adds "." and /etc/sane.d),
// else in "." and /etc/sane.d. One entry a line; '#' at the start of a line or after a blank starts a comment:
//   192.0.2.10 [MAC]                    a network scanner by address
//   \\?\cavixnet#\macaddr:...           a network device name
//   /dev/usb/lp0                        a USB scanner
//   simulator [sheets N] [usb] [address A]   the embedded simulated scanner
//   module /path/libcavixdriver.so      the driver module to load (else the registration);
//                                       honoured only from a trusted file (see Trusts)
//   discovery off                       list only these devices (else scanners found on the
//                                       local network are listed after them)
//   discovery wsd[,neighbours]          where the network is searched (both by default)
//   discovery-time 2000                 the whole search's time in milliseconds
// Read once by sane_init; a plain value afterwards.
#ifndef CAVIX_SANE_SANECONFIG_H
#define CAVIX_SANE_SANECONFIG_H

#include <string>
#include <vector>

#include "transport/DiscoverySettings.h"

struct SaneDeviceEntry {
  std::string name;      // the SANE device name (the line's device text, or "simulator")
  std::string device;    // what DeviceName::Resolve takes; empty for the simulator
  std::string mac;
  bool simulator = false;
  bool simulatorUsb = false;
  int sheets = 0;        // sheets in the simulated feeder
  std::string simulatorAddress;  // loopback address; empty: the first free one
  std::string model;             // a discovered scanner's model
};

struct SaneConfig {
  std::vector<SaneDeviceEntry> devices;
  std::string module;
  bool discovery = true;              // look for scanners on the local network
  DiscoverySettings search = DiscoverySettings::FromEnvironment();  // how
  std::vector<std::string> problems;  // lines that could not be read, with their numbers
  std::string path;                   // the file read (empty: none found)
  std::vector<std::string> ignored;   // settings left out because the file is not trusted, and why

  // Whether a file may name code to load: not in the current directory (by any spelling), owned
  // by root or this process's user and writable by no one else, in a directory of the same
  // owners that no one else can write to (or sticky). `dir` is the directory it was found in,
  // `fd` the open file. Otherwise false with the reason.
  static bool Trusts(const std::string& dir, int fd, std::string* why);

  // Reads the text of a configuration file.
  static SaneConfig Parse(const std::string& text);
  // Finds and reads cavix.conf; an absent file is an empty configuration.
  static SaneConfig Load();
  static std::vector<std::string> SearchDirectories();
};

#endif
