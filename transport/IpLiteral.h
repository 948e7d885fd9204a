// IP address literals as discovery and the endpoints take them: an IPv4 dotted quad, or an IPv6
// literal, a link-local one with the interface it is reached through after '%' ("fe80::1%eth0",
// as the resolver takes it). Stateless; any thread. Part of libzkdisc01.so as well as of the
// driver's transport.
#ifndef CAVIX_TRANSPORT_IPLITERAL_H
#define CAVIX_TRANSPORT_IPLITERAL_H

#include <string>

class IpLiteral {
 public:
  // True for an IPv4 literal or an IPv6 literal; a zone (letters, digits, '.', '-', '_', at most
  // 15 characters) only on a link-local one. A NUL anywhere makes it false: the literal goes on
  // as a C string, where the NUL would end it early.
  static bool IsLiteral(const std::string& text);
  static bool IsIpv6(const std::string& text) { return text.find(':') != std::string::npos; }
  // True for an IPv6 literal in fe80::/10 (zone or not).
  static bool IsLinkLocal(const std::string& text);
  // The literal without its zone.
  static std::string Bare(const std::string& text) { return text.substr(0, text.find('%')); }
  // Whether two literals name the same host: the same address, and for a link-local one the
  // same zone where both carry one.
  static bool SameHost(const std::string& a, const std::string& b);
};

#endif
