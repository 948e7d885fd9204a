#include "transport/UserNetworkRegistrySettings.h"

#include <cstring>

#include "driver/CavixErrors.h"
#include "log/LogHelpers.h"
#include "transport/NetworkDeviceName.h"

const char* const UserNetworkRegistrySettings::kScannersKeyPath =
    "SOFTWARE\\Quenterra\\Lumetrix\\NetworkScanners\\";

namespace {
// The string buffer: values up to 255 characters and their NUL.
constexpr DWORD kStringBufferSize = 256;
}  // namespace

UserNetworkRegistrySettings::UserNetworkRegistrySettings(const std::string& networkDeviceId)
    : networkDeviceId_(networkDeviceId) {}

UserNetworkRegistrySettings::~UserNetworkRegistrySettings() { Close(); }

bool UserNetworkRegistrySettings::Open() {
  Close();
  RegistryKey currentUser;
  if (currentUser.Open(RegistryRoot::CurrentUser, "") != ERROR_SUCCESS) {
    return LogErrorText("Failed to open HKEY_CURRENT_USER");
  }
  const std::string mac = NetworkDeviceName::MacAddress(networkDeviceId_);
  // The MAC field names one key below NetworkScanners: an empty field, or one with a key
  // separator, would name the parent or a key elsewhere.
  if (mac.empty() || mac.find('\\') != std::string::npos ||
      userKey_.Create(currentUser, kScannersKeyPath + mac) != ERROR_SUCCESS) {
    currentUser.Close();
    return LogErrorText("Failed to create user registry key");
  }
  currentUser.Close();
  return true;
}

bool UserNetworkRegistrySettings::ReadData(const std::string& valueName, void* buffer,
                                           DWORD size) {
  DWORD length = size;
  const LONG result = userKey_.QueryValue(valueName, nullptr, buffer, &length);
  if (result == ERROR_SUCCESS) return true;
  if (result == ERROR_FILE_NOT_FOUND) {
    LogText("Value not found in registry");
    return false;
  }
  LogNamedValue("result", result);
  RaiseError(CERR_UNKNOWN);
}

bool UserNetworkRegistrySettings::ReadString(const std::string& valueName, std::string& value) {
  char buffer[kStringBufferSize];
  std::memset(buffer, 0, sizeof buffer);
  if (!ReadData(valueName, buffer, kStringBufferSize)) return false;
  value.assign(buffer, strnlen(buffer, sizeof buffer));
  return true;
}

bool UserNetworkRegistrySettings::ReadDword(const std::string& valueName, DWORD& value) {
  DWORD data = 0;
  if (!ReadData(valueName, &data, sizeof data)) return false;
  value = data;
  return true;
}

void UserNetworkRegistrySettings::WriteString(const std::string& valueName,
                                              const std::string& value) {
  const LONG result = userKey_.SetString(valueName, value);
  if (result != ERROR_SUCCESS) {
    LogNamedValue("result", result);
    RaiseError(CERR_UNKNOWN);
  }
}

void UserNetworkRegistrySettings::Close() {
  if (!userKey_.IsOpen()) return;
  const LONG result = userKey_.Close();
  if (result != ERROR_SUCCESS) LogNamedValue("result", result);
  if (userKey_.IsOpen()) userKey_ = RegistryKey();
}
