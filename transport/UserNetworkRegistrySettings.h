// The settings in the current user's key for a network device:
// HKCU "SOFTWARE\Quenterra\Lumetrix\NetworkScanners\<MAC address>", the MAC address being the
// device name's field unchanged. Open creates the key when it is missing.
// Threads: one thread at a time. Owns the user key while open (closed by Close and by the
// destructor).
#ifndef CAVIX_TRANSPORT_USERNETWORKREGISTRYSETTINGS_H
#define CAVIX_TRANSPORT_USERNETWORKREGISTRYSETTINGS_H

#include <string>

#include "platform/RegistryKey.h"
#include "transport/INetworkRegistrySettingsPolicy.h"

class UserNetworkRegistrySettings : public INetworkRegistrySettingsPolicy {
 public:
  // The parent of the per-device keys under HKEY_CURRENT_USER.
  static const char* const kScannersKeyPath;

  explicit UserNetworkRegistrySettings(const std::string& networkDeviceId);
  ~UserNetworkRegistrySettings() override;

  // Creates or opens the device's user key. False (logged) when the user's root or the key
  // cannot be opened; raises CERR_INVALID_PARAMETER when the device name has no MAC field.
  bool Open() override;
  // A missing value: false. Any other failure raises CERR_UNKNOWN.
  bool ReadString(const std::string& valueName, std::string& value) override;
  bool ReadDword(const std::string& valueName, DWORD& value) override;
  void WriteString(const std::string& valueName, const std::string& value) override;
  void Close() override;

 private:
  // Queries a value into buffer; false when it is missing, raises on any other failure.
  bool ReadData(const std::string& valueName, void* buffer, DWORD size);

  std::string networkDeviceId_;
  RegistryKey userKey_;
};

#endif
