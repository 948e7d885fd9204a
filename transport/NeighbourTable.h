// Where the discovery library finds devices: the fixture file named by CAVIX_NEIGHBOUR_TABLE,
// or the kernel's IPv4 and IPv6 neighbour tables (read over rtnetlink) after a refreshing
// probe of the local links.
//
// Threads: stateless; every function may be called from any thread. Part of libzkdisc01.so
// only (it links nothing of the driver).
#ifndef CAVIX_TRANSPORT_NEIGHBOURTABLE_H
#define CAVIX_TRANSPORT_NEIGHBOURTABLE_H

#include <cstddef>
#include <istream>
#include <string>
#include <vector>

// One device: its MAC address in canonical form (lower case, colon-separated) and its
// addresses as literals, IPv4 and IPv6 apart, each in the order found.
struct NeighbourDevice {
  std::string mac;
  std::vector<std::string> ipv4;
  std::vector<std::string> ipv6;
};

class NeighbourTable {
 public:
  // Canonical form of a MAC address written as six hexadecimal pairs separated by ':' or '-'
  // (any letter case); false when the text is not such an address.
  static bool CanonicalMac(const std::string& text, std::string& mac);

  // Reads a fixture: one device a line, a MAC address followed by addresses separated by
  // blanks (an IPv6 one may carry its interface after '%'); '#' starts a comment. Lines whose MAC address cannot be read, and address tokens
  // that are not IPv4 or IPv6 literals, are skipped and described in `skipped`.
  static std::vector<NeighbourDevice> ParseFixture(std::istream& in,
                                                   std::vector<std::string>* skipped);

  // Reads the fixture file at path; false when it cannot be opened.
  static bool ReadFixtureFile(const std::string& path, std::vector<NeighbourDevice>& devices,
                              std::vector<std::string>* skipped);

  // Groups the entries of an rtnetlink neighbour dump (a sequence of RTM_NEWNEIGH messages)
  // into devices by link-layer address. Entries that are unresolved (incomplete, failed) or
  // without a 6-byte link-layer address are left out; an IPv6 link-local address carries its
  // interface ("fe80::1%eth0"), and is left out when the interface has no name.
  static void ParseNeighbourDump(const void* data, std::size_t length,
                                 std::vector<NeighbourDevice>& devices);

  // Dumps the kernel's neighbour tables (both families); false when netlink fails.
  static bool ReadKernel(std::vector<NeighbourDevice>& devices);

  // The devices that carry mac (canonical form).
  static std::vector<NeighbourDevice> Select(const std::vector<NeighbourDevice>& devices,
                                             const std::string& mac);
};

#endif
