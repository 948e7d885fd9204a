#include "tools/DeviceName.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "transport/HostAddress.h"

namespace {
const char* const kNoMac = "00:00:00:00:00:00";
// Namespace of the name-based GUIDs of the device names this tool builds.
const uint8_t kNameSpace[16] = {0xfb, 0xf4, 0xb7, 0x6f, 0xe5, 0xb9, 0x4d, 0x4e,
                                0xbe, 0xba, 0xbb, 0x53, 0x12, 0x64, 0xc8, 0x89};

uint32_t Rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

// SHA-1 of a short message (FIPS 180-4), for the name-based GUIDs.
void Sha1(const std::vector<uint8_t>& message, uint8_t digest[20]) {
  std::vector<uint8_t> m = message;
  const uint64_t bits = uint64_t(message.size()) * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 7; i >= 0; --i) m.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  for (size_t block = 0; block < m.size(); block += 64) {
    uint32_t w[80];
    for (int t = 0; t < 16; ++t)
      w[t] = uint32_t(m[block + 4 * t]) << 24 | uint32_t(m[block + 4 * t + 1]) << 16 |
             uint32_t(m[block + 4 * t + 2]) << 8 | m[block + 4 * t + 3];
    for (int t = 16; t < 80; ++t) w[t] = Rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int t = 0; t < 80; ++t) {
      const uint32_t f = t < 20   ? (b & c) | (~b & d)
                         : t < 40 ? b ^ c ^ d
                         : t < 60 ? (b & c) | (b & d) | (c & d)
                                  : b ^ c ^ d;
      const uint32_t k = t < 20 ? 0x5A827999 : t < 40 ? 0x6ED9EBA1 : t < 60 ? 0x8F1BBCDC : 0xCA62C1D6;
      const uint32_t temp = Rotl(a, 5) + f + e + k + w[t];
      e = d;
      d = c;
      c = Rotl(b, 30);
      b = a;
      a = temp;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
  for (int i = 0; i < 20; ++i) digest[i] = static_cast<uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
}
}  // namespace

std::string DeviceName::NameBasedGuid(const std::string& identity) {
  std::vector<uint8_t> message(kNameSpace, kNameSpace + 16);
  message.insert(message.end(), identity.begin(), identity.end());
  uint8_t d[20];
  Sha1(message, d);
  d[6] = static_cast<uint8_t>((d[6] & 0x0F) | 0x50);  // version 5: name-based, SHA-1
  d[8] = static_cast<uint8_t>((d[8] & 0x3F) | 0x80);  // the RFC 4122 variant
  char text[40];
  std::snprintf(text, sizeof text, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", d[0], d[1],
                d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9], d[10], d[11], d[12], d[13], d[14], d[15]);
  return text;
}

std::string DeviceName::Identity(const std::string& address, const std::string& mac) {
  if (mac.empty()) return "ipaddr:" + address;
  std::string normal = mac;
  for (char& c : normal) c = c == '-' ? ':' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return "macaddr:" + normal;
}

bool DeviceName::IsIPv4(const std::string& text) {
  in_addr a;
  return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool DeviceName::IsMac(const std::string& text) {
  if (text.size() != 17) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i % 3 == 2 ? (c != ':' && c != '-') : !std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::string DeviceName::Network(const std::string& address, const std::string& mac) {
  return std::string("\\\\?\\cavixnet#\\macaddr:") + (mac.empty() ? kNoMac : mac) + "\\port1\\ipaddr:" + address +
         "\\guid" + NameBasedGuid(Identity(address, mac));
}

std::string DeviceName::AddressOf(const std::string& networkName) {
  const std::string start = "\\ipaddr:";
  size_t a = networkName.find(start);
  if (a == std::string::npos) return "";
  a += start.size();
  size_t b = networkName.find("\\guid", a);
  if (b == std::string::npos) return "";
  return networkName.substr(a, b - a);
}

bool DeviceName::Resolve(const std::string& given, const std::string& mac, DeviceTarget* target, std::string* error) {
  if (!mac.empty() && !IsMac(mac)) {
    *error = "--mac takes an address such as 00:1B:78:AA:BB:CC, not '" + mac + "'";
    return false;
  }
  if (given.find("\\macaddr:") != std::string::npos || given.rfind("\\\\?\\", 0) == 0) {
    if (given.find("\\ipaddr:") == std::string::npos || given.find("\\guid") == std::string::npos) {
      *error = "the network device name '" + given + "' lacks its \\ipaddr: or \\guid field";
      return false;
    }
    *target = DeviceTarget{given, C_IOTYPE_NETWORK};
    return true;
  }
  if (IsIPv4(given) || (given.find(':') != std::string::npos && HostAddress::IsUsable(given))) {
    *target = DeviceTarget{Network(given, mac), C_IOTYPE_NETWORK};
    return true;
  }
  if (!given.empty() && given[0] == '/') {
    *target = DeviceTarget{given, C_IOTYPE_USB};
    return true;
  }
  *error = "'" + given + "' is neither a network device name, an IP address nor a USB device path";
  return false;
}

std::u16string DeviceName::Wide(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp = c;
    size_t n = 1;
    if (c >= 0xF0 && i + 3 < s.size()) {
      cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
      n = 4;
    } else if (c >= 0xE0 && i + 2 < s.size()) {
      cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
      n = 3;
    } else if (c >= 0xC0 && i + 1 < s.size()) {
      cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
      n = 2;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return out;
}
