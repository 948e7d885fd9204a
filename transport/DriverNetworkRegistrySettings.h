// The settings in a network device's driver key: the instance of the imaging device class
// (HKLM "SYSTEM\CurrentControlSet\Control\Class\{6BDD1FC6-...}\<nnnn>") whose "DeviceData"
// subkey holds a "NetworkDeviceID" equal to the device name.
// Threads: one thread at a time. Owns the class key while open (closed by Close and by the
// destructor); the data key is opened and closed around each value access.
#ifndef CAVIX_TRANSPORT_DRIVERNETWORKREGISTRYSETTINGS_H
#define CAVIX_TRANSPORT_DRIVERNETWORKREGISTRYSETTINGS_H

#include <string>

#include "platform/RegistryKey.h"
#include "transport/INetworkRegistrySettingsPolicy.h"

class DriverNetworkRegistrySettings : public INetworkRegistrySettingsPolicy {
 public:
  // The imaging device class key under HKEY_LOCAL_MACHINE.
  static const char* const kClassKeyPath;

  explicit DriverNetworkRegistrySettings(const std::string& networkDeviceId);
  ~DriverNetworkRegistrySettings() override;

  // Finds the instance whose DeviceData\NetworkDeviceID equals the device name exactly. False
  // with an empty device name or when no instance matches; raises CERR_UNKNOWN when the class
  // key cannot be opened.
  bool Open() override;
  bool ReadString(const std::string& valueName, std::string& value) override;
  bool ReadDword(const std::string& valueName, DWORD& value) override;
  void WriteString(const std::string& valueName, const std::string& value) override;
  void Close() override;

  // "<instance>\DeviceData" of the matched instance; empty until Open matches.
  const std::string& DataKeyPath() const { return dataKeyPath_; }

 private:
  // Queries a value of the data key into buffer (size bytes); raises CERR_UNKNOWN when the
  // call cannot be made (no name, key not open, no buffer, size 0, no match, data key missing).
  bool ReadData(const std::string& valueName, void* buffer, DWORD size);

  std::string networkDeviceId_;
  std::string dataKeyPath_;
  RegistryKey classKey_;
};

#endif
