#include "transport/IpAddressFinder.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "driver/CavixErrors.h"
#include "log/CHRESULT2.h"
#include "log/GlobalLog.h"
#include "log/LogHelpers.h"
#include "transport/DiscoveryLibrary.h"
#include "transport/DriverNetworkRegistrySettings.h"
#include "transport/HostAddress.h"
#include "transport/NetworkDeviceName.h"
#include "transport/TransportLog.h"

namespace {

constexpr uint32_t kAddressBufferSize = 64;

// An address that may not go into an endpoint is treated as no address.
bool Usable(const std::string& address, const char* source) {
  if (HostAddress::IsUsable(address)) return true;
  transportlog::Warning("Ignoring unusable address from %s", source);
  return false;
}

}  // namespace

IpAddressFinder::IpAddressFinder(const std::string& networkDeviceId, DiscoveryLibrary* library)
    : networkDeviceId_(networkDeviceId),
      settings_(networkDeviceId),
      library_(library ? library : &DiscoveryLibrary::Default()) {
  CHRESULT2 hr(GetGlobalLog(), "IpAddressFinder::IpAddressFinder");
  transportlog::Info("networkDeviceId %s", networkDeviceId_.c_str());
  if (GetRediscoveredIpAddressFromRegistry()) {
    transportlog::Info("GetRediscoveredIpAddressFromRegistry succeeded, IP is %s",
                       lastKnownIpAddress_.c_str());
    return;
  }
  if (GetInstalledIpAddressFromRegistry()) {
    transportlog::Info("GetInstalledIpAddressFromRegistry succeeded, IP is %s",
                       lastKnownIpAddress_.c_str());
    return;
  }
  const std::string address = NetworkDeviceName::IpAddress(networkDeviceId_);
  if (!Usable(address, "the device name")) RaiseError(CERR_INVALID_PARAMETER);
  lastKnownIpAddress_ = address;
  transportlog::Info("IpAddressFinder: last known IP address from networkDeviceId is %s",
                     lastKnownIpAddress_.c_str());
}

std::string IpAddressFinder::LastKnownIpAddress() {
  CHRESULT2 hr(GetGlobalLog(), "IpAddressFinder::LastKnownIpAddress");
  transportlog::Info("lastKnownIpAddress_ %s", lastKnownIpAddress_.c_str());
  return lastKnownIpAddress_;
}

bool IpAddressFinder::GetRediscoveredIpAddressFromRegistry() {
  CHRESULT2 hr(GetGlobalLog(), "IpAddressFinder::GetRediscoveredIpAddressFromRegistry");
  std::string address;
  bool found = false;
  try {
    settings_.Open();
    found = settings_.ReadString("IpAddress", address);
    settings_.Close();
  } catch (...) {
    LogText("Registry access failed");
    if (settings_.Policy()) settings_.Close();
    return false;
  }
  if (!found || !Usable(address, "the registry value IpAddress")) return false;
  lastKnownIpAddress_ = address;
  return true;
}

bool IpAddressFinder::GetInstalledIpAddressFromRegistry() {
  CHRESULT2 hr(GetGlobalLog(), "IpAddressFinder::GetInstalledIpAddressFromRegistry");
  try {
    std::unique_ptr<DriverNetworkRegistrySettings> driver(
        new DriverNetworkRegistrySettings(networkDeviceId_));
    if (!driver->Open()) return LogErrorText("Failed to open registry settings");
    std::string address;
    bool found = false;
    try {
      found = driver->ReadString("PortID", address);
    } catch (...) {
      LogErrorText("Registry access failed");
      found = false;
    }
    driver->Close();
    if (!found || !Usable(address, "the registry value PortID")) return false;
    lastKnownIpAddress_ = address;
    return true;
  } catch (const std::bad_alloc&) {
    return LogErrorText("Allocation failed");
  } catch (...) {
    return LogErrorText("Unknown error");
  }
}

bool IpAddressFinder::DiscoverDeviceByMacAddress() {
  CHRESULT2 hr(GetGlobalLog(), "IpAddressFinder::DiscoverDeviceByMacAddress");
  const DiscoveryFunctions* sdi = library_->Functions();
  if (!sdi) return LogErrorText("Discovery library not available");
  const std::string mac = NetworkDeviceName::MacAddress(networkDeviceId_);
  if (mac.empty()) return LogErrorText("Missing MAC address");
  transportlog::Info("macAddress %s", mac.c_str());
  if (sdi->discoverMAC(mac.c_str(), 0, 0, 0) != 0) {
    return LogErrorText("Failed to discover device using MAC address");
  }
  uint32_t count = 0;
  if (sdi->getNumDiscoveredDevices(&count) != 0) {
    return LogErrorText("Failed to get number of discovered devices");
  }
  if (count == 0) return LogErrorText("Failed to discover device");
  if (count > 1) return LogErrorText("Discovered more than one device");
  return true;
}

bool IpAddressFinder::GetIPAddress() {
  CHRESULT2 hr(GetGlobalLog(), "IpAddressFinder::GetIPAddress");
  const DiscoveryFunctions* sdi = library_->Functions();
  if (!sdi) return LogErrorText("Discovery library not available");
  char buffer[kAddressBufferSize];
  std::memset(buffer, 0, sizeof buffer);
  uint32_t ignored = 0;
  int32_t status = sdi->getIPAddress(0, buffer, kAddressBufferSize, &ignored);
  if (status != 0) {
    transportlog::Warning("SDI_getIPAddress failed with code %d", status);
    return false;
  }
  // An answer that fills the whole buffer has lost its end: refused, not cut short.
  if (std::memchr(buffer, 0, sizeof buffer) == nullptr) {
    transportlog::Warning("SDI_getIPAddress answer does not fit %u bytes", kAddressBufferSize);
    return false;
  }
  std::string address = buffer;
  bool noAddress = false;
  if (address.compare(0, 7, "0.0.0.0") == 0) {
    transportlog::Warning("SDI_getIPAddress is NO_IPV4_ADDRESS");
    uint32_t count = 0;
    uint32_t length = 0;
    status = sdi->getIPv6Addresses(0, nullptr, 0, &count, &length);
    if (status == 0 && length != 0) {
      std::vector<char> list(static_cast<std::size_t>(length) + 1, '\0');
      uint32_t written = 0;
      status = sdi->getIPv6Addresses(0, list.data(), length, &count, &written);
      if (status == 0) {
        list[length] = '\0';  // the library's text ends within the length it asked for
        const std::string text = list.data();
        if (count == 0 || count == 1) {
          transportlog::Info("IPv6 address list of 1: %s", text.c_str());
          address = text;
        } else {
          transportlog::Info("IPv6 address list is %s, using 1st in list", text.c_str());
          address = text.substr(0, text.find(' '));
        }
      }
    } else if (status == 0) {
      // Neither an IPv4 nor an IPv6 address: the device cannot be reached.
      noAddress = true;
    }
    if (status != 0) {
      transportlog::Error("SDI_getIPv6Address() failed %d", status);
      return false;
    }
  }
  if (noAddress) return LogErrorText("Discovered device has no address");
  if (!Usable(address, "the discovery library")) return false;
  lastKnownIpAddress_ = address;
  transportlog::Info("discovered ipAddress %s", lastKnownIpAddress_.c_str());
  return true;
}

bool IpAddressFinder::DiscoverCurrentIp() {
  CHRESULT2 hr(GetGlobalLog(), "IpAddressFinder::DiscoverCurrentIp");
  ScanError failure;
  const DiscoveryFunctions* sdi = library_->Functions(&failure);
  if (!sdi) {
    transportlog::Error("DiscoverCurrentIp: cannot load %s: %s", DiscoveryLibrary::kFileName, failure.Text().c_str());
    return false;
  }
  const int32_t started = sdi->startup(1);
  if (started != 0) {
    transportlog::Error("DiscoverCurrentIp: Failed in SDI_startup() %d", started);
    return false;
  }
  CLog2* log = GetGlobalLog();
  if (log && log->Admits(LOG_INFO_MSG)) sdi->setLoggingLevel(2);

  bool found = false;
  try {
    found = DiscoverDeviceByMacAddress();
  } catch (...) {
    // A device name without the MAC field (or no memory): the session ends before the
    // failure leaves, so that the next discovery on this thread can start one.
    sdi->shutdown(1);
    throw;
  }
  if (!found) {
    sdi->shutdown(1);
    return LogErrorText("DiscoverDeviceByMacAddress() failed unexpectedly");
  }
  bool obtained = false;
  try {
    obtained = GetIPAddress();
  } catch (...) {
    sdi->shutdown(1);
    throw;
  }
  if (!obtained) {
    sdi->shutdown(1);
    return LogErrorText("Failed to obtain IP address");
  }
  try {
    settings_.Open();
    settings_.WriteString("IpAddress", lastKnownIpAddress_);
    settings_.Close();
  } catch (...) {
    LogText("Warning: Registry operations failed unexpectedly");
    if (settings_.Policy()) settings_.Close();
  }
  const int32_t ended = sdi->shutdown(1);
  if (ended != 0) {
    transportlog::Error("DiscoverCurrentIp: Failed in SDI_shutdown() %d", ended);
    return false;
  }
  return true;
}
