// Turns what a person types after --device (or writes in cavix.conf) into a device name and
// I/O type for OpenScannerSession: a network device name is taken as it is, an IPv4 address
// becomes a network device name with that address, a path is a USB device. Stateless.
// A name built here carries a GUID derived from the scanner's identity (its MAC address when
// given, else its address): the driver's scanner lock is named after that GUID, so every
// scanner has a lock of its own, the same in every process. A USB path names its own lock.
#ifndef CAVIX_TOOLS_DEVICENAME_H
#define CAVIX_TOOLS_DEVICENAME_H

#include <string>

#include "driver/CavixScanner.h"

struct DeviceTarget {
  std::string name;                   // as passed to OpenScannerSession (UTF-8)
  DWORD ioType = C_IOTYPE_NETWORK;
};

class DeviceName {
 public:
  static bool Resolve(const std::string& given, const std::string& mac, DeviceTarget* target, std::string* error);
  // "\\?\cavixnet#\macaddr:MAC\port1\ipaddr:ADDRESS\guid{...}", the GUID derived from the identity.
  static std::string Network(const std::string& address, const std::string& mac);
  // "macaddr:MAC" (upper case, colons) when a MAC address is given, else "ipaddr:ADDRESS".
  static std::string Identity(const std::string& address, const std::string& mac);
  // The name-based (version 5, SHA-1) GUID of an identity in this tool's namespace,
  // "{XXXXXXXX-XXXX-5XXX-XXXX-XXXXXXXXXXXX}".
  static std::string NameBasedGuid(const std::string& identity);
  static bool IsIPv4(const std::string& text);
  static bool IsMac(const std::string& text);
  // The address between "\ipaddr:" and "\guid" of a network name; empty when there is none.
  static std::string AddressOf(const std::string& networkName);
  // UTF-8 to the driver's wide text.
  static std::u16string Wide(const std::string& utf8);
};

#endif
