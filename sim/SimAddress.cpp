#include "sim/SimAddress.h"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "transport/IpLiteral.h"
#include "transport/OwnedFd.h"

namespace cavixsim {

namespace {

// Whether the interface is loopback or one end of a veth pair (by its driver's name).
bool OnThisMachine(const std::string& name) {
  OwnedFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq request{};
  if (s.fd < 0 || name.size() >= sizeof request.ifr_name) return false;
  std::memcpy(request.ifr_name, name.data(), name.size());
  if (::ioctl(s.fd, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_LOOPBACK)) return true;
  ethtool_drvinfo info{};
  info.cmd = ETHTOOL_GDRVINFO;
  request.ifr_data = reinterpret_cast<char*>(&info);
  return ::ioctl(s.fd, SIOCETHTOOL, &request) == 0 && std::strncmp(info.driver, "veth", sizeof info.driver) == 0;
}

}  // namespace

unsigned SimAddress::Interface(const std::string& address) {
  const std::size_t percent = address.find('%');
  if (!IpLiteral::IsLinkLocal(address) || percent == std::string::npos) return 0;
  return if_nametoindex(address.substr(percent + 1).c_str());
}

bool SimAddress::Resolve(const std::string& address, uint16_t port, sockaddr_storage* out, socklen_t* length,
                         std::string* why) {
  *out = sockaddr_storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(out);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
  *why = "not a loopback address (127.0.0.0/8 or ::1) nor a link-local one on a veth interface: '" + address + "'";
  if (!IpLiteral::IsLiteral(address)) return false;
  if (!IpLiteral::IsIpv6(address)) {
    inet_pton(AF_INET, address.c_str(), &v4->sin_addr);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    *length = sizeof *v4;
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  inet_pton(AF_INET6, IpLiteral::Bare(address).c_str(), &v6->sin6_addr);
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(port);
  *length = sizeof *v6;
  if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) return true;
  v6->sin6_scope_id = Interface(address);
  const std::size_t percent = address.find('%');
  return v6->sin6_scope_id != 0 && OnThisMachine(address.substr(percent + 1));
}

}  // namespace cavixsim
