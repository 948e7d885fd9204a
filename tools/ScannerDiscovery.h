// Finds Cavix scanners on the local network without configuration, from what the network
// announces and never by sweeping it: the candidates are the hosts that answer a WS-Discovery
// Probe, the hosts of the printer and scanner services the Avahi daemon knows, and the neighbours the kernel knows as its table stands (or the fixture named by
// CAVIX_NEIGHBOUR_TABLE, as for the discovery library), as DiscoverySettings choose. Each
// candidate address is asked GetScannerElements on the scan service's port, and those that
// answer by the search's deadline are listed, merged by MAC address, with their model, address,
// MAC address and a network device name the driver module opens.
// Every probe runs under the module's exchange bounds (ExchangeGuard::ExpectProbe): it ends by
// the search's deadline, whatever the host sends, and its response is at most 64 KB; the model
// is kept as NetworkText::Clean makes it.
//
// Threads: Find and Probe may be called from any thread and block until every probe is done;
// the probes run on at most kMostAtOnce workers of their own, each probe with its own SOAP
// context. No state between calls.
#ifndef CAVIX_TOOLS_SCANNERDISCOVERY_H
#define CAVIX_TOOLS_SCANNERDISCOVERY_H

#include <chrono>
#include <string>
#include <vector>

#include "transport/DiscoverySettings.h"
#include "transport/NeighbourTable.h"

struct FoundScanner {
  std::string model;       // ScannerInfo.ModelNumber, cleaned; empty when the scanner gives none
  std::string address;     // IPv4 or IPv6 literal (a link-local one with its zone)
  std::string mac;         // upper case, colon-separated; empty when no neighbour table knows it
  std::string deviceName;  // "\\?\cavixnet#\macaddr:MAC\port1\ipaddr:ADDRESS\guid{...}"
};

class ScannerDiscovery {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr int kPort = 8289;
  // Probes in flight at once.
  static constexpr size_t kMostAtOnce = 16;

  // The neighbour table as it stands: the fixture file when CAVIX_NEIGHBOUR_TABLE is set, else
  // the kernel's tables.
  static std::vector<NeighbourDevice> Neighbours();
  // The hosts to ask, grouped by MAC address where the neighbour table knows it: those that
  // answered WS-Discovery or Avahi's browser by `gatherUntil`, then the table's neighbours.
  static std::vector<NeighbourDevice> Candidates(const DiscoverySettings& settings, Clock::time_point gatherUntil);

  // Asks every address of the candidates (IPv4 first) until `deadline`; lists the scanners in
  // the order of the candidates, one per MAC address (its first address that answered). An
  // answering host of no known MAC address is looked up in the neighbour table again (the
  // exchange made the kernel resolve it).
  static std::vector<FoundScanner> Probe(const std::vector<NeighbourDevice>& candidates,
                                         Clock::time_point deadline, int port = kPort);

  static std::vector<FoundScanner> Find(const DiscoverySettings& settings = DiscoverySettings::FromEnvironment());

  // Asks one address (an IPv4 or IPv6 literal) by `deadline`; true with the cleaned model when
  // a scan service answered within the bounds.
  static bool Ask(const std::string& address, int port, Clock::time_point deadline, std::string* model);
};

#endif
