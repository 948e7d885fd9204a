// The fields of a network device name, as in
//   \\?\cavixnet#\macaddr:00:1B:78:AA:BB:CC\port1\ipaddr:127.0.0.2\guid{...}
// the MAC address between "\macaddr:" and the next "\port", the address between "\ipaddr:"
// and the next "\guid". Stateless; any thread.
#ifndef CAVIX_TRANSPORT_NETWORKDEVICENAME_H
#define CAVIX_TRANSPORT_NETWORKDEVICENAME_H

#include <string>

class NetworkDeviceName {
 public:
  // The text between the first `start` and the first `end` after it (may be empty). A missing
  // marker raises CERR_INVALID_PARAMETER.
  static std::string CutField(const std::string& name, const std::string& start,
                              const std::string& end);
  // The MAC address field, unchanged.
  static std::string MacAddress(const std::string& name);
  // The address field; of a list of IPv6 addresses separated by blanks, the first.
  static std::string IpAddress(const std::string& name);
};

#endif
