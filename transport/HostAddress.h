// The host part of the scan service's address: checks that an address taken from the
// registry, a device name or the discovery library is an IPv4 literal, an IPv6 literal or a
// host name (and nothing that could change the request's target or path), and builds the
// endpoint "http://" + host + ":8289", an IPv6 literal in brackets. Stateless; any thread.
#ifndef CAVIX_TRANSPORT_HOSTADDRESS_H
#define CAVIX_TRANSPORT_HOSTADDRESS_H

#include <string>

class HostAddress {
 public:
  static constexpr int kScanServicePort = 8289;

  // True for an IPv4 literal (dotted quad), an IPv6 literal (a link-local one may name its
  // interface: "fe80::1%eth0", as the resolver takes it), or a host name of
  // letters, digits, '-' and '.' (labels of 1 to 63 characters, not starting or ending with
  // '-', at most 253 characters, the last label not all digits).
  static bool IsUsable(const std::string& address);

  // "http://" + address + ":8289", the address in brackets when it holds a ':'. Gives ""
  // when the address is not usable.
  static std::string Endpoint(const std::string& address);
};

#endif
