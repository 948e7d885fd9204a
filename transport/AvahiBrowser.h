// Candidates from multicast DNS service discovery, through the Avahi daemon when one runs: the
// search browses the printer and scanner service types network multifunction devices announce
// (kServiceTypes) and resolves each service found to its address, until its deadline or until
// every browser has reported what the daemon knows and every resolver has answered. With no
// daemon (or no Avahi library installed) it finds nothing, at once and silently.
// What the daemon relays is hostile input: only the addresses are kept (a link-local IPv6 one
// with its interface), at most kMaxHosts, and at most kMaxResolvers services are resolved.
//
// Threads: stateless; Search may be called from any thread and runs its own client and event
// loop on the calling thread. Part of libzkdisc01.so as well as of the host programs.
#ifndef CAVIX_TRANSPORT_AVAHIBROWSER_H
#define CAVIX_TRANSPORT_AVAHIBROWSER_H

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

class AvahiBrowser {
 public:
  static const char* const kServiceTypes[5];  // _uscan._tcp, _scanner._tcp, _ipp._tcp, ...
  static constexpr std::size_t kMaxHosts = 256;
  static constexpr std::size_t kMaxResolvers = 1024;

  // The hosts of the services found, each once, in the order resolved.
  static std::vector<std::string> Search(std::chrono::steady_clock::time_point deadline);
};

#endif
