#include "transport/NetworkRegistrySettings.h"

#include "driver/CavixErrors.h"
#include "log/LogHelpers.h"
#include "transport/DriverNetworkRegistrySettings.h"
#include "transport/UserNetworkRegistrySettings.h"

namespace {

// Opens a new policy; null when it returns false or raises (the policy is deleted).
template <class Policy>
std::unique_ptr<INetworkRegistrySettingsPolicy> TryOpen(const std::string& networkDeviceId) {
  std::unique_ptr<INetworkRegistrySettingsPolicy> policy(new Policy(networkDeviceId));
  try {
    if (policy->Open()) return policy;
  } catch (...) {
    LogText("Unable to open user registry settings");
  }
  return nullptr;
}

}  // namespace

NetworkRegistrySettings::NetworkRegistrySettings(const std::string& networkDeviceId)
    : networkDeviceId_(networkDeviceId) {}

NetworkRegistrySettings::~NetworkRegistrySettings() { Close(); }

void NetworkRegistrySettings::Open() {
  if (policy_) {
    policy_->Close();
    policy_.reset();
  }
  policy_ = TryOpen<UserNetworkRegistrySettings>(networkDeviceId_);
  if (policy_) {
    LogText("Created user policy");
    return;
  }
  LogErrorText("Failed to create opened policy");
  policy_ = TryOpen<DriverNetworkRegistrySettings>(networkDeviceId_);
  if (policy_) {
    LogText("Created driver policy");
    return;
  }
  LogErrorText("Failed to create opened policy");
  RaiseError(CERR_UNKNOWN);
}

bool NetworkRegistrySettings::ReadString(const std::string& valueName, std::string& value) {
  if (!policy_) return LogErrorText("Open() must succeed before calling me");
  return policy_->ReadString(valueName, value);
}

bool NetworkRegistrySettings::ReadDword(const std::string& valueName, DWORD& value) {
  if (!policy_) return LogErrorText("Open() must succeed before calling me");
  return policy_->ReadDword(valueName, value);
}

void NetworkRegistrySettings::WriteString(const std::string& valueName, const std::string& value) {
  if (!policy_) {
    LogText("Open() must succeed before calling me");
    return;
  }
  policy_->WriteString(valueName, value);
}

void NetworkRegistrySettings::Close() {
  if (!policy_) {
    LogText("Close() attempted, but was not needed");
    return;
  }
  policy_->Close();
  policy_.reset();
}
