// A network device's registry settings, through the first key that can be opened: the current
// user's key for the device's MAC address, else the device's driver key. Opened and closed
// around each use.
// Threads: one thread at a time (the owner of the network protocol). Owns the open policy.
#ifndef CAVIX_TRANSPORT_NETWORKREGISTRYSETTINGS_H
#define CAVIX_TRANSPORT_NETWORKREGISTRYSETTINGS_H

#include <memory>
#include <string>

#include "driver/CavixCom.h"
#include "transport/INetworkRegistrySettingsPolicy.h"

class NetworkRegistrySettings {
 public:
  explicit NetworkRegistrySettings(const std::string& networkDeviceId = std::string());
  ~NetworkRegistrySettings();
  NetworkRegistrySettings(const NetworkRegistrySettings&) = delete;
  NetworkRegistrySettings& operator=(const NetworkRegistrySettings&) = delete;

  void SetNetworkDeviceId(const std::string& networkDeviceId) { networkDeviceId_ = networkDeviceId; }
  const std::string& NetworkDeviceId() const { return networkDeviceId_; }

  // Chooses and opens the policy (user key first, then driver key); raises CERR_UNKNOWN when
  // neither opens.
  void Open();
  // Forward to the open policy; false without one.
  bool ReadString(const std::string& valueName, std::string& value);
  bool ReadDword(const std::string& valueName, DWORD& value);
  // Forwards to the open policy (which raises on failure); does nothing without one.
  void WriteString(const std::string& valueName, const std::string& value);
  // Closes and forgets the policy.
  void Close();

  // The open policy, or null.
  INetworkRegistrySettingsPolicy* Policy() const { return policy_.get(); }

 private:
  std::string networkDeviceId_;
  std::unique_ptr<INetworkRegistrySettingsPolicy> policy_;
};

#endif
