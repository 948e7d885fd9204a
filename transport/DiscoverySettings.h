// Where a search for scanners looks and how long it may take: WS-Discovery (a Probe to the
// multicast group of every up, multicast-capable interface), the services the Avahi daemon has
// heard announced (when one runs), the kernel's neighbour table as it stands (nothing is sent to
// fill it), all three by default, within 2 s.
// A neighbour-table fixture (CAVIX_NEIGHBOUR_TABLE) stands for the whole network: with one, only
// the fixture is read unless CAVIX_DISCOVERY names the sources. CAVIX_DISCOVERY takes the same
// list as cavix.conf's "discovery" line and `cavix-scan list --discovery`: source names
// ("wsd", "avahi", "neighbours") separated by commas or blanks, or "off".
//
// Threads: a plain value; FromEnvironment may be called from any thread.
#ifndef CAVIX_TRANSPORT_DISCOVERYSETTINGS_H
#define CAVIX_TRANSPORT_DISCOVERYSETTINGS_H

#include <string>

struct DiscoverySettings {
  static constexpr int kDefaultSearchMs = 2000;
  static constexpr int kMaxSearchMs = 60000;

  bool wsDiscovery = true;
  bool avahi = true;
  bool neighbours = true;
  int searchMs = kDefaultSearchMs;

  bool Any() const { return wsDiscovery || avahi || neighbours; }
  // The share of the search spent gathering WS-Discovery answers and Avahi's services before the
  // candidates are
  // asked for their scanner elements: 30 %, at most a second.
  int GatherMs() const;

  // Sets the sources from a list; false with a message naming what it could not read.
  bool SetSources(const std::string& list, std::string* error);
  // Sets the search's time from milliseconds as text (100 to kMaxSearchMs).
  bool SetSearchMs(const std::string& text, std::string* error);

  // The defaults of this process (see above).
  static DiscoverySettings FromEnvironment();
};

#endif
