// WS-Discovery (the OASIS standard, April 2005 namespace as network devices speak it; SOAP 1.2
// envelopes in UDP datagrams on port 3702) as far as finding scan services goes: the messages a
// device and a client exchange, a reader that takes from a datagram only what discovery needs,
// and the client's search.
//
// The search sends one Probe to the group (IPv4 239.255.255.250, IPv6 ff02::c) on every
// interface that is up and multicast-capable, and gathers, until its deadline, the hosts of the
// transport addresses (XAddrs) of the ProbeMatches that relate to that Probe (none, at once,
// when no interface could take the Probe). A ProbeMatch without XAddrs has its endpoint
// resolved: a Resolve to the groups, whose ResolveMatches give the addresses; nothing else is
// sent. Every datagram is hostile input: at most kMaxDatagram bytes are read, each text kept is
// at most kMaxText bytes, at most kMaxResolves endpoints are resolved and at most kMaxHosts
// hosts are kept.
//
// Threads: stateless; every function may be called from any thread. Part of libzkdisc01.so as
// well as of the host programs (it links nothing of the driver).
#ifndef CAVIX_TRANSPORT_WSDISCOVERY_H
#define CAVIX_TRANSPORT_WSDISCOVERY_H

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

class WsDiscovery {
 public:
  static constexpr int kPort = 3702;
  static const char* const kIpv4Group;  // "239.255.255.250"
  static const char* const kIpv6Group;  // "ff02::c"
  static constexpr std::size_t kMaxDatagram = 65536;
  static constexpr std::size_t kMaxText = 1024;
  static constexpr std::size_t kMaxHosts = 256;
  static constexpr std::size_t kMaxResolves = 16;

  // What a received message says, as far as discovery needs it.
  struct Message {
    std::string action;     // the last segment of wsa:Action: "Probe", "ProbeMatches", "Hello", ...
    std::string messageId;
    std::string relatesTo;
    std::string endpoint;   // the first wsa:Address (the device's endpoint reference)
    std::vector<std::string> xaddrs;
  };

  static std::string NewMessageId();  // "urn:uuid:" and a random UUID

  // The messages. `xaddrs` is the scan service's URL; `endpoint` the device's "urn:uuid:...".
  static std::string Probe(const std::string& messageId);
  static std::string Resolve(const std::string& messageId, const std::string& endpoint);
  static std::string Hello(const std::string& messageId, const std::string& endpoint, const std::string& xaddrs);
  static std::string Bye(const std::string& messageId, const std::string& endpoint);
  // ProbeMatches or ResolveMatches (`action`), relating to the request `relatesTo`; without an
  // XAddrs element when `xaddrs` is empty.
  static std::string Matches(const std::string& action, const std::string& messageId, const std::string& relatesTo,
                             const std::string& endpoint, const std::string& xaddrs);

  // The group of `family` (AF_INET or AF_INET6) on port kPort, the IPv6 one scoped to interface
  // `index`; its length.
  static socklen_t GroupAddress(int family, unsigned index, struct sockaddr_storage* out);
  // Sends `message` to the group of `family` on interface `index` from the socket `fd`: IPv4's
  // with the interface in the datagram's IP_PKTINFO, IPv6's with it as the group's scope; no
  // socket option (IP_MULTICAST_IF, IPV6_MULTICAST_IF), which qemu's user-mode emulation does
  // not carry. True when the whole datagram went out.
  static bool SendToGroup(int fd, int family, unsigned index, const std::string& message);

  // Reads a datagram; false when it is not a SOAP envelope carrying an action.
  static bool Parse(const char* data, std::size_t length, Message* message);

  // The host of a transport address "http://HOST[:PORT][/PATH]" as a literal (an IPv6 literal
  // without its brackets, a zone kept); empty when HOST is not an IPv4 or IPv6 literal.
  static std::string HostOf(const std::string& xaddr);

  // The client's search (see above): the hosts that answered, each once, in the order heard; a
  // link-local one with the zone of the interface its answer came in on.
  static std::vector<std::string> Search(std::chrono::steady_clock::time_point deadline);
};

#endif
