#include "transport/HostAddress.h"

#include <cctype>

#include "transport/IpLiteral.h"

namespace {

bool IsHostName(const std::string& name) {
  if (name.empty() || name.size() > 253) return false;
  bool lastLabelAllDigits = false;
  std::size_t labelStart = 0;
  for (;;) {
    auto labelEnd = name.find('.', labelStart);
    if (labelEnd == std::string::npos) labelEnd = name.size();
    const std::size_t length = labelEnd - labelStart;
    if (length == 0 || length > 63) return false;
    if (name[labelStart] == '-' || name[labelEnd - 1] == '-') return false;
    bool allDigits = true;
    for (std::size_t i = labelStart; i < labelEnd; ++i) {
      const unsigned char c = static_cast<unsigned char>(name[i]);
      if (!std::isalnum(c) && c != '-') return false;
      if (!std::isdigit(c)) allDigits = false;
    }
    lastLabelAllDigits = allDigits;
    if (labelEnd == name.size()) break;
    labelStart = labelEnd + 1;
  }
  // "1.2.3.999" is neither a valid dotted quad nor a host name.
  return !lastLabelAllDigits;
}

}  // namespace

bool HostAddress::IsUsable(const std::string& address) {
  // The endpoint goes on as a C string: a NUL would end it early, after a valid address but
  // before the port ("127.0.0.2\0x" would send the request to port 80); neither a literal nor
  // a host name takes one.
  if (IpLiteral::IsIpv6(address)) return IpLiteral::IsLiteral(address);
  return IpLiteral::IsLiteral(address) || IsHostName(address);
}

std::string HostAddress::Endpoint(const std::string& address) {
  if (!IsUsable(address)) return "";
  std::string endpoint = "http://";
  if (address.find(':') != std::string::npos) {
    endpoint += "[" + address + "]";
  } else {
    endpoint += address;
  }
  return endpoint + ":" + std::to_string(kScanServicePort);
}
