#include "transport/IpLiteral.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>

namespace {

bool LinkLocal(const unsigned char* raw) { return raw[0] == 0xfe && (raw[1] & 0xc0) == 0x80; }

}  // namespace

bool IpLiteral::IsLiteral(const std::string& text) {
  if (text.find('\0') != std::string::npos) return false;
  unsigned char raw[sizeof(struct in6_addr)];
  if (!IsIpv6(text)) return inet_pton(AF_INET, text.c_str(), raw) == 1;
  const std::size_t percent = text.find('%');
  if (inet_pton(AF_INET6, text.substr(0, percent).c_str(), raw) != 1) return false;
  if (percent == std::string::npos) return true;
  const std::string zone = text.substr(percent + 1);
  if (!LinkLocal(raw) || zone.empty() || zone.size() > 15) return false;
  for (const char c : zone)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') return false;
  return true;
}

bool IpLiteral::IsLinkLocal(const std::string& text) {
  unsigned char raw[sizeof(struct in6_addr)];
  return IsIpv6(text) && inet_pton(AF_INET6, Bare(text).c_str(), raw) == 1 && LinkLocal(raw);
}

bool IpLiteral::SameHost(const std::string& a, const std::string& b) {
  if (Bare(a) != Bare(b)) return false;
  const std::size_t za = a.find('%'), zb = b.find('%');
  return za == std::string::npos || zb == std::string::npos || a.compare(za, std::string::npos, b, zb) == 0;
}
