#include "transport/NeighbourTable.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "transport/OwnedFd.h"

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string MacText(const unsigned char* bytes) {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1],
                bytes[2], bytes[3], bytes[4], bytes[5]);
  return text;
}

NeighbourDevice& DeviceFor(std::vector<NeighbourDevice>& devices, const std::string& mac) {
  for (auto& d : devices) {
    if (d.mac == mac) return d;
  }
  devices.push_back(NeighbourDevice{mac, {}, {}});
  return devices.back();
}

void AddUnique(std::vector<std::string>& list, const std::string& address) {
  for (const auto& a : list) {
    if (a == address) return;
  }
  list.push_back(address);
}

}  // namespace

bool NeighbourTable::CanonicalMac(const std::string& text, std::string& mac) {
  // Six pairs and five separators, all separators the same.
  if (text.size() != 17) return false;
  const char sep = text[2];
  if (sep != ':' && sep != '-') return false;
  unsigned char bytes[6];
  for (int i = 0; i < 6; ++i) {
    const int hi = HexValue(text[i * 3]);
    const int lo = HexValue(text[i * 3 + 1]);
    if (hi < 0 || lo < 0) return false;
    if (i < 5 && text[i * 3 + 2] != sep) return false;
    bytes[i] = static_cast<unsigned char>(hi * 16 + lo);
  }
  mac = MacText(bytes);
  return true;
}

std::vector<NeighbourDevice> NeighbourTable::ParseFixture(std::istream& in,
                                                          std::vector<std::string>* skipped) {
  std::vector<NeighbourDevice> devices;
  std::string line;
  int lineNumber = 0;
  while (std::getline(in, line)) {
    ++lineNumber;
    const auto hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string macText;
    if (!(words >> macText)) continue;  // blank or comment only
    NeighbourDevice device;
    if (!CanonicalMac(macText, device.mac)) {
      if (skipped) skipped->push_back("line " + std::to_string(lineNumber) + ": MAC address " + macText);
      continue;
    }
    std::string word;
    while (words >> word) {
      unsigned char raw[sizeof(struct in6_addr)];
      if (inet_pton(AF_INET, word.c_str(), raw) == 1) {
        device.ipv4.push_back(word);
      } else if (inet_pton(AF_INET6, word.substr(0, word.find('%')).c_str(), raw) == 1) {
        device.ipv6.push_back(word);
      } else if (skipped) {
        skipped->push_back("line " + std::to_string(lineNumber) + ": address " + word);
      }
    }
    devices.push_back(std::move(device));
  }
  return devices;
}

bool NeighbourTable::ReadFixtureFile(const std::string& path,
                                     std::vector<NeighbourDevice>& devices,
                                     std::vector<std::string>* skipped) {
  std::ifstream in(path);
  if (!in) return false;
  devices = ParseFixture(in, skipped);
  return !in.bad();
}

void NeighbourTable::ParseNeighbourDump(const void* data, std::size_t length,
                                        std::vector<NeighbourDevice>& devices) {
  const auto* h = static_cast<const struct nlmsghdr*>(data);
  int remaining = static_cast<int>(length);
  for (; NLMSG_OK(h, remaining); h = NLMSG_NEXT(h, remaining)) {
    if (h->nlmsg_type != RTM_NEWNEIGH) continue;
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(struct ndmsg))) continue;
    const auto* nd = static_cast<const struct ndmsg*>(NLMSG_DATA(h));
    if (nd->ndm_state & (NUD_INCOMPLETE | NUD_FAILED | NUD_NOARP)) continue;
    if (nd->ndm_family != AF_INET && nd->ndm_family != AF_INET6) continue;
    const unsigned char* lladdr = nullptr;
    const unsigned char* dst = nullptr;
    std::size_t dstLength = 0;
    int attrLength = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof(struct ndmsg)));
    for (const auto* a = reinterpret_cast<const struct rtattr*>(
             reinterpret_cast<const char*>(nd) + NLMSG_ALIGN(sizeof(struct ndmsg)));
         RTA_OK(a, attrLength); a = RTA_NEXT(a, attrLength)) {
      if (a->rta_type == NDA_LLADDR && RTA_PAYLOAD(a) == 6) {
        lladdr = static_cast<const unsigned char*>(RTA_DATA(a));
      } else if (a->rta_type == NDA_DST) {
        dst = static_cast<const unsigned char*>(RTA_DATA(a));
        dstLength = RTA_PAYLOAD(a);
      }
    }
    if (!lladdr || !dst) continue;
    char text[INET6_ADDRSTRLEN];
    if (nd->ndm_family == AF_INET && dstLength == 4) {
      if (!inet_ntop(AF_INET, dst, text, sizeof text)) continue;
      AddUnique(DeviceFor(devices, MacText(lladdr)).ipv4, text);
    } else if (nd->ndm_family == AF_INET6 && dstLength == 16) {
      if (!inet_ntop(AF_INET6, dst, text, sizeof text)) continue;
      std::string address = text;
      // A link-local address is reached through its interface, named after '%'.
      if (dst[0] == 0xfe && (dst[1] & 0xc0) == 0x80) {
        char name[IF_NAMESIZE] = {};
        if (nd->ndm_ifindex <= 0 || !if_indextoname(static_cast<unsigned>(nd->ndm_ifindex), name)) continue;
        address += std::string("%") + name;
      }
      AddUnique(DeviceFor(devices, MacText(lladdr)).ipv6, address);
    }
  }
}

bool NeighbourTable::ReadKernel(std::vector<NeighbourDevice>& devices) {
  OwnedFd sock(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (sock.fd < 0) return false;
  struct {
    struct nlmsghdr header;
    struct ndmsg body;
  } request;
  std::memset(&request, 0, sizeof request);
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(struct ndmsg));
  request.header.nlmsg_type = RTM_GETNEIGH;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = 1;
  request.body.ndm_family = AF_UNSPEC;
  struct sockaddr_nl kernel;
  std::memset(&kernel, 0, sizeof kernel);
  kernel.nl_family = AF_NETLINK;
  if (::sendto(sock.fd, &request, request.header.nlmsg_len, 0,
               reinterpret_cast<struct sockaddr*>(&kernel), sizeof kernel) < 0) {
    return false;
  }
  std::vector<char> buffer(65536);
  for (;;) {
    const ssize_t n = ::recv(sock.fd, buffer.data(), buffer.size(), 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    // The dump ends with NLMSG_DONE; an NLMSG_ERROR ends it too.
    bool done = false;
    int remaining = static_cast<int>(n);
    for (auto* h = reinterpret_cast<struct nlmsghdr*>(buffer.data()); NLMSG_OK(h, remaining);
         h = NLMSG_NEXT(h, remaining)) {
      if (h->nlmsg_type == NLMSG_DONE) done = true;
      if (h->nlmsg_type == NLMSG_ERROR) return false;
    }
    ParseNeighbourDump(buffer.data(), static_cast<std::size_t>(n), devices);
    if (done) return true;
  }
}

std::vector<NeighbourDevice> NeighbourTable::Select(const std::vector<NeighbourDevice>& devices,
                                                    const std::string& mac) {
  std::vector<NeighbourDevice> found;
  for (const auto& d : devices) {
    if (d.mac == mac) found.push_back(d);
  }
  return found;
}
