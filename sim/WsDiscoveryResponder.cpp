#include "sim/WsDiscoveryResponder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "sim/SimAddress.h"
#include "transport/IpLiteral.h"
#include "transport/WsDiscovery.h"

namespace cavixsim {

namespace {

unsigned LoopbackIndex() {
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return 0;
  unsigned index = 0;
  for (auto* ifa = list; ifa && index == 0; ifa = ifa->ifa_next)
    if (ifa->ifa_flags & IFF_LOOPBACK) index = if_nametoindex(ifa->ifa_name);
  ::freeifaddrs(list);
  return index;
}

// A name-based identity: the same address and port give the same endpoint reference.
std::string EndpointFor(const std::string& address, uint16_t port) {
  uint64_t h = 1469598103934665603ull;
  for (char c : address + ":" + std::to_string(port)) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  char text[64];
  std::snprintf(text, sizeof text, "urn:uuid:%08x-%04x-5%03x-8%03x-%012llx", static_cast<unsigned>(h >> 32),
                static_cast<unsigned>(h >> 16) & 0xFFFF, static_cast<unsigned>(h) & 0xFFF,
                static_cast<unsigned>(h >> 52) & 0xFFF, static_cast<unsigned long long>(h & 0xFFFFFFFFFFFFull));
  return text;
}

}  // namespace

WsDiscoveryResponder::WsDiscoveryResponder(const std::string& address, uint16_t port, bool xaddrsInProbeMatches)
    : address_(address),
      linkIndex_(SimAddress::Interface(address)),
      endpoint_(EndpointFor(address, port)),
      // A link-local address goes without its zone: the asker reaches it through its own
      // interface on the link.
      xaddrs_("http://" +
              (IpLiteral::IsIpv6(address) ? "[" + IpLiteral::Bare(address) + "]" : address) + ":" +
              std::to_string(port) + "/"),
      xaddrsInProbeMatches_(xaddrsInProbeMatches) {}

WsDiscoveryResponder::~WsDiscoveryResponder() { Stop(); }

bool WsDiscoveryResponder::Start() {
  // On a link (a link-local address on its interface) over IPv6's group; on loopback over
  // IPv4's, also for ::1 (answering from 127.0.0.1 with its IPv6 address): loopback carries no
  // IPv6 multicast.
  const bool ipv6 = linkIndex_ != 0;
  family_ = ipv6 ? AF_INET6 : AF_INET;
  index_ = ipv6 ? linkIndex_ : LoopbackIndex();
  sockaddr_storage group{}, own{};
  const socklen_t groupLength = WsDiscovery::GroupAddress(family_, index_, &group);
  socklen_t ownLength = 0;
  std::string why;
  const std::string from = ipv6 || !IpLiteral::IsIpv6(address_) ? address_ : "127.0.0.1";
  const bool ownOk = SimAddress::Resolve(from, 0, &own, &ownLength, &why);
  const int one = 1, zero = 0;
  group_ = ::socket(family_, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  own_ = ::socket(family_, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool ok = index_ != 0 && ownOk && group_ >= 0 && own_ >= 0 && ::pipe2(stop_, O_CLOEXEC) == 0 &&
            ::setsockopt(group_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            ::bind(group_, reinterpret_cast<sockaddr*>(&group), groupLength) == 0 &&
            ::bind(own_, reinterpret_cast<sockaddr*>(&own), ownLength) == 0;
  if (ipv6) {
    ipv6_mreq join{};
    join.ipv6mr_multiaddr = reinterpret_cast<sockaddr_in6*>(&group)->sin6_addr;
    join.ipv6mr_interface = index_;
    ok = ok && ::setsockopt(group_, IPPROTO_IPV6, IPV6_JOIN_GROUP, &join, sizeof join) == 0;
  } else {
    // Joined on loopback named by the own address (an ip_mreq: qemu's user-mode emulation
    // mistranslates an ip_mreqn's interface index).
    ip_mreq join{};
    join.imr_multiaddr = reinterpret_cast<sockaddr_in*>(&group)->sin_addr;
    join.imr_interface = reinterpret_cast<sockaddr_in*>(&own)->sin_addr;
    ok = ok && ::setsockopt(group_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) == 0;
    // Only the group's datagrams of loopback reach the group socket, whoever joined elsewhere
    // (where the kernel takes the option: qemu's emulation does not carry it).
    if (ok) (void)::setsockopt(group_, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
  }
  if (!ok) {
    Stop();
    return false;
  }
  Announce(WsDiscovery::Hello(WsDiscovery::NewMessageId(), endpoint_, xaddrs_));
  thread_ = std::thread(&WsDiscoveryResponder::Loop, this);
  return true;
}

void WsDiscoveryResponder::Stop() {
  if (thread_.joinable()) {
    (void)!::write(stop_[1], "x", 1);
    thread_.join();
    Announce(WsDiscovery::Bye(WsDiscovery::NewMessageId(), endpoint_));
  }
  for (int* fd : {&group_, &own_, &stop_[0], &stop_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void WsDiscoveryResponder::Send(const std::string& message, const void* to, unsigned toLength) {
  (void)::sendto(own_, message.data(), message.size(), MSG_DONTWAIT, static_cast<const sockaddr*>(to), toLength);
}

void WsDiscoveryResponder::Announce(const std::string& message) {
  (void)WsDiscovery::SendToGroup(own_, family_, index_, message);
}

void WsDiscoveryResponder::Loop() {
  std::vector<char> buffer(WsDiscovery::kMaxDatagram);
  for (;;) {
    pollfd fds[2] = {{group_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n =
        ::recvfrom(group_, buffer.data(), buffer.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
    WsDiscovery::Message m;
    if (n <= 0 || !WsDiscovery::Parse(buffer.data(), static_cast<size_t>(n), &m) || m.messageId.empty()) continue;
    // Every Probe is answered (its types and scopes are not read); a Resolve only for this endpoint.
    if (m.action == "Probe") {
      Send(WsDiscovery::Matches("ProbeMatches", WsDiscovery::NewMessageId(), m.messageId, endpoint_,
                                xaddrsInProbeMatches_ ? xaddrs_ : ""),
           &from, fromLength);
    } else if (m.action == "Resolve" && m.endpoint == endpoint_) {
      Send(WsDiscovery::Matches("ResolveMatches", WsDiscovery::NewMessageId(), m.messageId, endpoint_, xaddrs_), &from,
           fromLength);
    }
  }
}

}  // namespace cavixsim
