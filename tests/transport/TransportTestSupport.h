// Helpers of the transport tests: a private temporary directory, the registry roots, lock
// directory and neighbour table pointed at files in it, hand-written fixtures copied from
// tests/transport/data, and a log file that captures the global log's lines.
#ifndef CAVIX_TESTS_TRANSPORT_TRANSPORTTESTSUPPORT_H
#define CAVIX_TESTS_TRANSPORT_TRANSPORTTESTSUPPORT_H

#include <stdlib.h>

#include <string>

#include "tests/support/TestSandbox.h"

namespace transporttest {

using testsupport::ReadText;
using testsupport::WriteText;

inline std::string DataFile(const std::string& name) {
  return std::string(CAVIX_TRANSPORT_TEST_DATA) + "/" + name;
}

// The device name most tests use, and its user key.
inline const char* DeviceName() {
  return "\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:CC\\port1\\ipaddr:127.0.0.2\\guid"
         "{7C2B0E11-5A4D-4C6E-9B1F-2D3E4F5A6B7C}";
}

// The shared sandbox, plus the neighbour table and hand-written fixtures of tests/transport/data.
class Sandbox : public testsupport::Sandbox {
 public:
  Sandbox() : testsupport::Sandbox("transport") {}

  // Copies a fixture of tests/transport/data into the HKLM or HKCU root.
  void UseHklm(const std::string& fixture) { WriteText(Path("hklm.reg"), ReadText(DataFile(fixture))); }
  void UseHkcu(const std::string& fixture) { WriteText(Path("hkcu.reg"), ReadText(DataFile(fixture))); }
  // Points the discovery library at a neighbour-table fixture.
  void UseNeighbourTable(const std::string& fixture) {
    WriteText(Path("neighbours.txt"), ReadText(DataFile(fixture)));
    setenv("CAVIX_NEIGHBOUR_TABLE", Path("neighbours.txt").c_str(), 1);
  }
};

}  // namespace transporttest

#endif
