// The address a network device should be reached at. At construction: the address found by
// an earlier rediscovery (registry "IpAddress"), else the address recorded at installation
// (driver key "PortID"), else the address in the device name. After a transport failure,
// DiscoverCurrentIp finds the device again by MAC address through the discovery library and
// remembers the new address in the registry.
// Threads: one thread at a time (the owner of the network protocol). Owns its settings; the
// discovery library is shared (DiscoveryLibrary::Default() unless one is given).
#ifndef CAVIX_TRANSPORT_IPADDRESSFINDER_H
#define CAVIX_TRANSPORT_IPADDRESSFINDER_H

#include <string>

#include "transport/NetworkRegistrySettings.h"

class DiscoveryLibrary;

class IpAddressFinder {
 public:
  // Settles the last known address; raises CERR_INVALID_PARAMETER when neither the registry
  // nor the device name gives a usable one.
  explicit IpAddressFinder(const std::string& networkDeviceId, DiscoveryLibrary* library = nullptr);
  IpAddressFinder(const IpAddressFinder&) = delete;
  IpAddressFinder& operator=(const IpAddressFinder&) = delete;

  // A copy of the last known address (logged).
  std::string LastKnownIpAddress();

  // One discovery session: startup, search by MAC address, address query, shutdown. On
  // success the new address is the last known one and is remembered in the registry. Raises
  // CERR_INVALID_PARAMETER when the device name has no MAC field.
  bool DiscoverCurrentIp();

  bool DiscoverDeviceByMacAddress();
  bool GetIPAddress();
  bool GetRediscoveredIpAddressFromRegistry();
  bool GetInstalledIpAddressFromRegistry();

 private:
  std::string networkDeviceId_;
  std::string lastKnownIpAddress_;
  NetworkRegistrySettings settings_;
  DiscoveryLibrary* library_;
};

#endif
