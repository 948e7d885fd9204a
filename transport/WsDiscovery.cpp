#include "transport/WsDiscovery.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>

#include "transport/IpLiteral.h"
#include "transport/OwnedFd.h"

const char* const WsDiscovery::kIpv4Group = "239.255.255.250";
const char* const WsDiscovery::kIpv6Group = "ff02::c";

namespace {

const char kActionBase[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery/";
const char kMulticastTo[] = "urn:schemas-xmlsoap-org:ws:2005:04:discovery";
const char kAnonymousTo[] = "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous";
const char kTypes[] = "wscn:ScanDeviceType";

std::string Envelope(const std::string& to, const std::string& action, const std::string& messageId,
                     const std::string& moreHeaders, const std::string& body) {
  return std::string(
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
             "<soap:Envelope xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\""
             " xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\""
             " xmlns:wsd=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\""
             " xmlns:wscn=\"http://tempuri.org/wscn.xsd\">"
             "<soap:Header><wsa:To>") +
         to + "</wsa:To><wsa:Action>" + kActionBase + action + "</wsa:Action><wsa:MessageID>" + messageId +
         "</wsa:MessageID>" + moreHeaders + "</soap:Header><soap:Body>" + body + "</soap:Body></soap:Envelope>";
}

// Text as element content: an endpoint may come from the network (a Resolve names the one a
// ProbeMatch gave).
std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

std::string EndpointReference(const std::string& endpoint) {
  return "<wsa:EndpointReference><wsa:Address>" + Escape(endpoint) + "</wsa:Address></wsa:EndpointReference>";
}

const char kAppSequence[] = "<wsd:AppSequence InstanceId=\"1\" MessageNumber=\"1\"/>";

// The text of an element with entities of the five predefined kinds decoded; others kept.
std::string Unescape(const std::string& text) {
  static const struct {
    const char* entity;
    char c;
  } kEntities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    for (const auto& e : kEntities) {
      const size_t n = std::strlen(e.entity);
      if (text.compare(i, n, e.entity) == 0) {
        out += e.c;
        i += n;
        replaced = true;
        break;
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  const size_t a = text.find_first_not_of(blanks);
  if (a == std::string::npos) return "";
  return text.substr(a, text.find_last_not_of(blanks) - a + 1);
}

// Sends a message to the group on every up, multicast-capable interface, once per interface
// and family; the number of datagrams sent.
int SendToGroups(int v4, int v6, const std::string& message) {
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return 0;
  int sent = 0;
  std::set<std::pair<int, unsigned>> done;
  for (auto* ifa = list; ifa; ifa = ifa->ifa_next) {
    if (!ifa->ifa_addr || !(ifa->ifa_flags & IFF_UP) || !(ifa->ifa_flags & IFF_MULTICAST)) continue;
    const int family = ifa->ifa_addr->sa_family;
    const unsigned index = if_nametoindex(ifa->ifa_name);
    if (index == 0 || (family != AF_INET && family != AF_INET6) || !done.insert({family, index}).second) continue;
    const int fd = family == AF_INET ? v4 : v6;
    if (fd >= 0) sent += WsDiscovery::SendToGroup(fd, family, index, message);
  }
  ::freeifaddrs(list);
  return sent;
}

}  // namespace

socklen_t WsDiscovery::GroupAddress(int family, unsigned index, struct sockaddr_storage* out) {
  *out = sockaddr_storage{};
  if (family == AF_INET6) {
    auto* group = reinterpret_cast<struct sockaddr_in6*>(out);
    group->sin6_family = AF_INET6;
    group->sin6_port = htons(kPort);
    group->sin6_scope_id = index;  // a link-scope group is reached on the interface of its scope
    inet_pton(AF_INET6, kIpv6Group, &group->sin6_addr);
    return sizeof *group;
  }
  auto* group = reinterpret_cast<struct sockaddr_in*>(out);
  group->sin_family = AF_INET;
  group->sin_port = htons(kPort);
  inet_pton(AF_INET, kIpv4Group, &group->sin_addr);
  return sizeof *group;
}

bool WsDiscovery::SendToGroup(int fd, int family, unsigned index, const std::string& message) {
  struct sockaddr_storage to;
  struct iovec data = {const_cast<char*>(message.data()), message.size()};
  struct msghdr m = {};
  m.msg_name = &to;
  m.msg_namelen = GroupAddress(family, index, &to);
  m.msg_iov = &data;
  m.msg_iovlen = 1;
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct in_pktinfo))] = {};
  if (family == AF_INET) {
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    struct cmsghdr* via = CMSG_FIRSTHDR(&m);
    via->cmsg_level = IPPROTO_IP;
    via->cmsg_type = IP_PKTINFO;
    via->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
    struct in_pktinfo interface = {};
    interface.ipi_ifindex = static_cast<int>(index);
    std::memcpy(CMSG_DATA(via), &interface, sizeof interface);
  }
  return ::sendmsg(fd, &m, MSG_DONTWAIT) == static_cast<ssize_t>(message.size());
}

std::string WsDiscovery::NewMessageId() {
  std::random_device random;
  unsigned char b[16];
  for (unsigned char& c : b) c = static_cast<unsigned char>(random());
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // variant
  char text[64];
  std::snprintf(text, sizeof text,
                "urn:uuid:%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1], b[2],
                b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

std::string WsDiscovery::Probe(const std::string& messageId) {
  return Envelope(kMulticastTo, "Probe", messageId, "", "<wsd:Probe/>");
}

std::string WsDiscovery::Resolve(const std::string& messageId, const std::string& endpoint) {
  return Envelope(kMulticastTo, "Resolve", messageId, "", "<wsd:Resolve>" + EndpointReference(endpoint) + "</wsd:Resolve>");
}

std::string WsDiscovery::Hello(const std::string& messageId, const std::string& endpoint, const std::string& xaddrs) {
  return Envelope(kMulticastTo, "Hello", messageId, kAppSequence,
                  "<wsd:Hello>" + EndpointReference(endpoint) + "<wsd:Types>" + kTypes + "</wsd:Types><wsd:XAddrs>" +
                      xaddrs + "</wsd:XAddrs><wsd:MetadataVersion>1</wsd:MetadataVersion></wsd:Hello>");
}

std::string WsDiscovery::Bye(const std::string& messageId, const std::string& endpoint) {
  return Envelope(kMulticastTo, "Bye", messageId, kAppSequence, "<wsd:Bye>" + EndpointReference(endpoint) + "</wsd:Bye>");
}

std::string WsDiscovery::Matches(const std::string& action, const std::string& messageId, const std::string& relatesTo,
                                 const std::string& endpoint, const std::string& xaddrs) {
  const std::string one = action == "ResolveMatches" ? "ResolveMatch" : "ProbeMatch";
  const std::string addresses = xaddrs.empty() ? "" : "<wsd:XAddrs>" + xaddrs + "</wsd:XAddrs>";
  return Envelope(kAnonymousTo, action, messageId,
                  "<wsa:RelatesTo>" + relatesTo + "</wsa:RelatesTo>" + kAppSequence,
                  "<wsd:" + action + "><wsd:" + one + ">" + EndpointReference(endpoint) + "<wsd:Types>" + kTypes +
                      "</wsd:Types>" + addresses + "<wsd:MetadataVersion>1</wsd:MetadataVersion></wsd:" + one +
                      "></wsd:" + action + ">");
}

bool WsDiscovery::Parse(const char* data, std::size_t length, Message* message) {
  *message = Message();
  const std::string x(data, std::min(length, kMaxDatagram));
  bool envelope = false;
  // Tags are read by their local names; the text of the elements discovery needs is kept.
  for (size_t pos = 0, lt; (lt = x.find('<', pos)) != std::string::npos;) {
    const size_t gt = x.find('>', lt);
    if (gt == std::string::npos) break;
    const std::string tag = x.substr(lt + 1, gt - lt - 1);
    pos = gt + 1;
    if (tag.empty() || tag[0] == '/' || tag[0] == '?' || tag[0] == '!' || tag.back() == '/') continue;
    std::string name = tag.substr(0, tag.find_first_of(" \t\r\n"));
    const size_t colon = name.find(':');
    if (colon != std::string::npos) name.erase(0, colon + 1);
    if (name == "Envelope") envelope = true;
    const size_t end = std::min(x.find('<', pos), x.size());
    if (end - pos > kMaxText) continue;
    const std::string text = Trim(Unescape(x.substr(pos, end - pos)));
    if (name == "Action") {
      message->action = text.substr(text.find_last_of('/') + 1);
    } else if (name == "MessageID") {
      message->messageId = text;
    } else if (name == "RelatesTo") {
      message->relatesTo = text;
    } else if (name == "Address" && message->endpoint.empty()) {
      message->endpoint = text;
    } else if (name == "XAddrs") {
      size_t a = 0;
      while ((a = text.find_first_not_of(" \t\r\n", a)) != std::string::npos && message->xaddrs.size() < 16) {
        const size_t b = std::min(text.find_first_of(" \t\r\n", a), text.size());
        message->xaddrs.push_back(text.substr(a, b - a));
        a = b;
      }
    }
  }
  return envelope && !message->action.empty();
}

std::string WsDiscovery::HostOf(const std::string& xaddr) {
  const std::string scheme = "http://";
  if (xaddr.size() < scheme.size()) return "";
  for (size_t i = 0; i < scheme.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(xaddr[i])) != scheme[i]) return "";
  std::string host;
  if (xaddr.compare(scheme.size(), 1, "[") == 0) {
    const size_t close = xaddr.find(']', scheme.size());
    if (close == std::string::npos) return "";
    host = xaddr.substr(scheme.size() + 1, close - scheme.size() - 1);
    // A zone in a URL is written "%25" (RFC 6874).
    const size_t zone = host.find("%25");
    if (zone != std::string::npos) host.erase(zone + 1, 2);
  } else {
    const size_t end = xaddr.find_first_of(":/", scheme.size());
    host = xaddr.substr(scheme.size(), end == std::string::npos ? std::string::npos : end - scheme.size());
  }
  return IpLiteral::IsLiteral(host) ? host : "";
}

std::vector<std::string> WsDiscovery::Search(std::chrono::steady_clock::time_point deadline) {
  std::vector<std::string> hosts;
  const std::string id = NewMessageId();
  OwnedFd v4(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  OwnedFd v6(::socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (v6.fd >= 0) {
    const int one = 1;
    ::setsockopt(v6.fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  }
  // No probe out (no multicast-capable interface): no answer to wait for.
  if (SendToGroups(v4.fd, v6.fd, Probe(id)) == 0) return hosts;
  // The Resolves sent for ProbeMatches without transport addresses: message ID and endpoint.
  std::vector<std::pair<std::string, std::string>> resolves;
  std::vector<char> buffer(kMaxDatagram);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd fds[2] = {{v4.fd, POLLIN, 0}, {v6.fd, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
    for (const struct pollfd& p : fds) {
      if (p.fd < 0 || !(p.revents & POLLIN)) continue;
      struct sockaddr_storage from = {};
      socklen_t fromLength = sizeof from;
      const ssize_t n = ::recvfrom(p.fd, buffer.data(), buffer.size(), 0, reinterpret_cast<struct sockaddr*>(&from),
                                   &fromLength);
      Message m;
      if (n <= 0 || !Parse(buffer.data(), static_cast<std::size_t>(n), &m)) continue;
      const bool resolved = m.action == "ResolveMatches" &&
                            std::find(resolves.begin(), resolves.end(), std::make_pair(m.relatesTo, m.endpoint)) !=
                                resolves.end();
      if (!resolved && (m.action != "ProbeMatches" || m.relatesTo != id)) continue;
      // A device that gives no transport address in its ProbeMatch gives it when its endpoint
      // is resolved: one Resolve an endpoint, at most kMaxResolves a search.
      const bool asked = std::any_of(resolves.begin(), resolves.end(), [&](const auto& r) { return r.second == m.endpoint; });
      if (m.xaddrs.empty() && !resolved && !m.endpoint.empty() && !asked && resolves.size() < kMaxResolves) {
        resolves.emplace_back(NewMessageId(), m.endpoint);
        SendToGroups(v4.fd, v6.fd, Resolve(resolves.back().first, m.endpoint));
      }
      for (const std::string& xaddr : m.xaddrs) {
        std::string host = HostOf(xaddr);
        // A link-local IPv6 host is reached through the interface the answer came in on; a
        // zone the sender wrote names an interface of its own.
        if (from.ss_family == AF_INET6 && IpLiteral::IsLinkLocal(host)) {
          char name[IF_NAMESIZE] = {};
          if (!if_indextoname(reinterpret_cast<struct sockaddr_in6*>(&from)->sin6_scope_id, name)) continue;
          host = IpLiteral::Bare(host) + "%" + name;
        }
        if (host.empty() || hosts.size() >= kMaxHosts || std::find(hosts.begin(), hosts.end(), host) != hosts.end()) continue;
        hosts.push_back(host);
      }
    }
  }
  return hosts;
}
