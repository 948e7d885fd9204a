#include "transport/DriverNetworkRegistrySettings.h"

#include <cstring>

#include "driver/CavixErrors.h"
#include "log/CHRESULT2.h"
#include "log/GlobalLog.h"
#include "log/LogHelpers.h"
#include "transport/TransportLog.h"

const char* const DriverNetworkRegistrySettings::kClassKeyPath =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";

namespace {
// The string buffer of the ANSI registry call: values up to 259 characters and their NUL.
constexpr DWORD kStringBufferSize = 260;
}  // namespace

DriverNetworkRegistrySettings::DriverNetworkRegistrySettings(const std::string& networkDeviceId)
    : networkDeviceId_(networkDeviceId) {}

DriverNetworkRegistrySettings::~DriverNetworkRegistrySettings() { Close(); }

bool DriverNetworkRegistrySettings::Open() {
  CHRESULT2 hr(GetGlobalLog(), "DriverNetworkRegistrySettings::Open");
  if (networkDeviceId_.empty()) return LogErrorText("Missing networkDeviceId_");
  if (classKey_.IsOpen()) classKey_.Close();
  if (classKey_.Open(RegistryRoot::LocalMachine, kClassKeyPath) != ERROR_SUCCESS) {
    RaiseError(CERR_UNKNOWN);
  }
  dataKeyPath_.clear();
  for (DWORD index = 0;; ++index) {
    std::string instance;
    if (classKey_.EnumSubKey(index, &instance) != ERROR_SUCCESS) {
      dataKeyPath_.clear();
      if (classKey_.Close() != ERROR_SUCCESS) RaiseError(CERR_UNKNOWN);
      return LogErrorText("Failed to open registry key");
    }
    dataKeyPath_ = instance + "\\DeviceData";
    std::string id;
    try {
      if (!ReadString("NetworkDeviceID", id)) id.clear();
    } catch (...) {
      LogText("Registry read failed unexpectedly");
      id.clear();
    }
    if (id == networkDeviceId_) return true;
  }
}

bool DriverNetworkRegistrySettings::ReadString(const std::string& valueName, std::string& value) {
  CHRESULT2 hr(GetGlobalLog(), "DriverNetworkRegistrySettings::ReadString");
  char buffer[kStringBufferSize];
  std::memset(buffer, 0, sizeof buffer);
  if (!ReadData(valueName, buffer, kStringBufferSize)) return LogErrorText("ReadData() failed");
  // The value's type is not checked: data without a terminating NUL ends at the buffer's end.
  value.assign(buffer, strnlen(buffer, sizeof buffer));
  transportlog::Info("valueName = %s, value = %s", valueName.c_str(), value.c_str());
  return true;
}

bool DriverNetworkRegistrySettings::ReadDword(const std::string& valueName, DWORD& value) {
  CHRESULT2 hr(GetGlobalLog(), "DriverNetworkRegistrySettings::ReadDword");
  DWORD data = 0;
  if (!ReadData(valueName, &data, sizeof data)) return false;
  value = data;
  return true;
}

bool DriverNetworkRegistrySettings::ReadData(const std::string& valueName, void* buffer,
                                             DWORD size) {
  CHRESULT2 hr(GetGlobalLog(), "DriverNetworkRegistrySettings::ReadData");
  if (valueName.empty() || !classKey_.IsOpen() || !buffer || size == 0 || dataKeyPath_.empty()) {
    RaiseError(CERR_UNKNOWN);
  }
  RegistryKey dataKey;
  if (dataKey.Open(classKey_, dataKeyPath_) != ERROR_SUCCESS) RaiseError(CERR_UNKNOWN);
  DWORD length = size;
  const LONG result = dataKey.QueryValue(valueName, nullptr, buffer, &length);
  dataKey.Close();
  return result == ERROR_SUCCESS;
}

void DriverNetworkRegistrySettings::WriteString(const std::string& valueName,
                                                const std::string& value) {
  CHRESULT2 hr(GetGlobalLog(), "DriverNetworkRegistrySettings::WriteString");
  if (valueName.empty() || value.empty() || !classKey_.IsOpen() || dataKeyPath_.empty()) {
    RaiseError(CERR_UNKNOWN);
  }
  RegistryKey dataKey;
  if (dataKey.Open(classKey_, dataKeyPath_) != ERROR_SUCCESS) RaiseError(CERR_UNKNOWN);
  if (dataKey.SetString(valueName, value) != ERROR_SUCCESS) RaiseError(CERR_UNKNOWN);
  if (dataKey.Close() != ERROR_SUCCESS) RaiseError(CERR_UNKNOWN);
  transportlog::Info("StringName=%s, StringVal=%s", valueName.c_str(), value.c_str());
}

void DriverNetworkRegistrySettings::Close() {
  CHRESULT2 hr(GetGlobalLog(), "DriverNetworkRegistrySettings::Close");
  if (!classKey_.IsOpen()) return;
  if (classKey_.Close() != ERROR_SUCCESS) LogText("Warning: RegCloseKey() failed unexpectedly");
  // Marked closed either way: the key is a name, nothing is held.
  if (classKey_.IsOpen()) classKey_ = RegistryKey();
}
