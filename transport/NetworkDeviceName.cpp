#include "transport/NetworkDeviceName.h"

#include "driver/CavixErrors.h"
#include "log/LogHelpers.h"

std::string NetworkDeviceName::CutField(const std::string& name, const std::string& start,
                                        const std::string& end) {
  const auto from = name.find(start);
  if (from == std::string::npos) RaiseError(CERR_INVALID_PARAMETER);
  const auto fieldStart = from + start.size();
  const auto to = name.find(end, fieldStart);
  if (to == std::string::npos) RaiseError(CERR_INVALID_PARAMETER);
  return name.substr(fieldStart, to - fieldStart);
}

std::string NetworkDeviceName::MacAddress(const std::string& name) {
  return CutField(name, "\\macaddr:", "\\port");
}

std::string NetworkDeviceName::IpAddress(const std::string& name) {
  std::string address = CutField(name, "\\ipaddr:", "\\guid");
  if (address.find(':') != std::string::npos) {
    const auto blank = address.find(' ');
    if (blank != std::string::npos) address.erase(blank);
  }
  return address;
}
