#include "tools/DeviceName.h"

#include <arpa/inet.h>

#include <cctype>

namespace {
// Fixed identity of names this tool builds; the driver reads only the MAC and address fields.
const char* const kGuid = "{5C3A6E0F-2B41-4D7A-9E53-1F0C7B2D8A64}";
const char* const kNoMac = "00:00:00:00:00:00";
}  // namespace

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
         "\\guid" + kGuid;
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
  if (IsIPv4(given)) {
    *target = DeviceTarget{Network(given, mac), C_IOTYPE_NETWORK};
    return true;
  }
  if (!given.empty() && given[0] == '/') {
    *target = DeviceTarget{given, C_IOTYPE_USB};
    return true;
  }
  *error = "'" + given + "' is neither a network device name, an IPv4 address nor a USB device path";
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
