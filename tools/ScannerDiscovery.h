// Finds Cavix scanners on the local network without configuration: the candidates are the
// neighbours the kernel knows (or the fixture named by CAVIX_NEIGHBOUR_TABLE, as for the
// discovery library), each IPv4 address is asked GetScannerElements on the scan service's port,
// all at once, and those that answer within the time-out are listed with their model, address,
// MAC address and a network device name the driver module opens.
//
// Threads: Find and Probe may be called from any thread and block until every probe is done;
// each probe runs on a thread of its own with its own SOAP context. No state between calls.
#ifndef CAVIX_TOOLS_SCANNERDISCOVERY_H
#define CAVIX_TOOLS_SCANNERDISCOVERY_H

#include <string>
#include <vector>

#include "transport/NeighbourTable.h"

struct FoundScanner {
  std::string model;       // ScannerInfo.ModelNumber; empty when the scanner gives none
  std::string address;     // IPv4 literal
  std::string mac;         // upper case, colon-separated
  std::string deviceName;  // "\\?\cavixnet#\macaddr:MAC\port1\ipaddr:ADDRESS\guid{...}"
};

class ScannerDiscovery {
 public:
  // Connecting and answering together, per address.
  static constexpr int kProbeTimeoutMs = 1000;
  static constexpr int kPort = 8289;

  // The neighbours to ask: the fixture file when CAVIX_NEIGHBOUR_TABLE is set, else the
  // kernel's tables after a refreshing probe of the local links (the refresh is not waited
  // for: neighbours that answer it are found by the next search).
  static std::vector<NeighbourDevice> Candidates();

  // Asks every IPv4 address of the candidates in parallel; lists the scanners in the order of
  // the candidates, one per MAC address (its first address that answered).
  static std::vector<FoundScanner> Probe(const std::vector<NeighbourDevice>& candidates,
                                         int timeoutMs = kProbeTimeoutMs, int port = kPort);

  static std::vector<FoundScanner> Find() { return Probe(Candidates()); }

  // Asks one address; true with the model when a scan service answered.
  static bool Ask(const std::string& address, int port, int timeoutMs, std::string* model);
};

#endif
