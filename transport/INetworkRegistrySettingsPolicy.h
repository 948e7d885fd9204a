// Access to the registry key that holds a network device's settings ("IpAddress",
// "ConnectionTimeout", ...): the device's driver key or a key of the current user.
// Threads: one thread at a time (the one that owns the network protocol).
// Ownership: an implementation owns the key it opened and closes it when destroyed.
#ifndef CAVIX_TRANSPORT_INETWORKREGISTRYSETTINGSPOLICY_H
#define CAVIX_TRANSPORT_INETWORKREGISTRYSETTINGSPOLICY_H

#include <string>

#include "driver/CavixCom.h"

class INetworkRegistrySettingsPolicy {
 public:
  // Closes the key if still open.
  virtual ~INetworkRegistrySettingsPolicy() = default;
  // Opens the key for this device name; false (logged) if it cannot.
  virtual bool Open() = 0;
  // Reads a string value; false when it cannot be read.
  virtual bool ReadString(const std::string& valueName, std::string& value) = 0;
  // Reads a 32-bit value; false when it cannot be read.
  virtual bool ReadDword(const std::string& valueName, DWORD& value) = 0;
  // Writes a string value; raises a CAVIX_ERRORS value on failure.
  virtual void WriteString(const std::string& valueName, const std::string& value) = 0;
  // Closes the key; harmless when not open.
  virtual void Close() = 0;

 protected:
  INetworkRegistrySettingsPolicy() = default;
  INetworkRegistrySettingsPolicy(const INetworkRegistrySettingsPolicy&) = delete;
  INetworkRegistrySettingsPolicy& operator=(const INetworkRegistrySettingsPolicy&) = delete;
};

#endif
