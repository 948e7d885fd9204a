#include "transport/NetworkProtocol.h"

#include <stdsoap2.h>

#include <climits>

#include "driver/CavixErrors.h"
#include "log/CHRESULT2.h"
#include "log/GlobalLog.h"
#include "log/LogHelpers.h"
#include "service/SoapPointerMap.h"
#include "transport/HostAddress.h"
#include "transport/TransportLog.h"

const char* const NetworkProtocol::kPointerMapKey = "NetworkProtocol";

NetworkProtocol::NetworkProtocol(struct soap* soap, DiscoveryLibrary* library)
    : soap_(soap), library_(library) {
  EnableDefaultTimeout();
}

NetworkProtocol::~NetworkProtocol() = default;

void NetworkProtocol::Install(const char* deviceName) {
  CHRESULT2 hr(GetGlobalLog(), "NetworkProtocol::Install");
  if (!deviceName) RaiseError(CERR_INVALID_PARAMETER);
  settings_.SetNetworkDeviceId(deviceName);

  int connectTimeout = kConnectTimeoutSeconds;
  try {
    settings_.Open();
    DWORD value = 0;
    // 0 stays 0: the library's blocking connect. A value beyond the field's range is the
    // longest wait it can hold, never a negative (microsecond) time-out.
    if (settings_.ReadDword("ConnectionTimeout", value)) {
      connectTimeout = value > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(value);
    }
    settings_.Close();
  } catch (...) {
    LogText("Failed to access registry");
    if (settings_.Policy()) settings_.Close();
    connectTimeout = kConnectTimeoutSeconds;
  }
  if (soap_) soap_->connect_timeout = connectTimeout;

  finder_.reset();
  finder_.reset(new IpAddressFinder(deviceName, library_));
  const std::string endpoint = HostAddress::Endpoint(finder_->LastKnownIpAddress());
  if (endpoint.empty()) RaiseError(CERR_INVALID_PARAMETER);
  webServiceAddress_ = endpoint;
}

bool NetworkProtocol::Flush() { return true; }

bool NetworkProtocol::IsConnectionless() { return false; }

const char* NetworkProtocol::GetEndpoint() {
  transportlog::Info("webServiceAddress_ %s", webServiceAddress_.c_str());
  return webServiceAddress_.c_str();
}

ISoapIoProtocol* NetworkProtocol::CloneInSoapPointerMap(struct soap* cloneSoap) {
  std::unique_ptr<NetworkProtocol> twin(new NetworkProtocol(cloneSoap, library_));
  twin->webServiceAddress_ = webServiceAddress_;
  SoapPointerMap::Register(cloneSoap, kPointerMapKey, twin.get());
  return twin.release();
}

void NetworkProtocol::DestroyClone(struct soap* cloneSoap) {
  if (!SoapPointerMap::Of(cloneSoap)) return;
  delete static_cast<NetworkProtocol*>(SoapPointerMap::Lookup(cloneSoap, kPointerMapKey));
  SoapPointerMap::Register(cloneSoap, kPointerMapKey, nullptr);
}

bool NetworkProtocol::RediscoverDevice() {
  CHRESULT2 hr(GetGlobalLog(), "NetworkProtocol::RediscoverDevice");
  if (!finder_) return LogErrorText("protocol needs initialization");
  if (!finder_->DiscoverCurrentIp()) return LogErrorText("Failed to rediscover device");
  const std::string endpoint = HostAddress::Endpoint(finder_->LastKnownIpAddress());
  if (endpoint.empty()) return LogErrorText("Failed to rediscover device");
  webServiceAddress_ = endpoint;
  return true;
}

void NetworkProtocol::EnableDefaultTimeout() {
  CHRESULT2 hr(GetGlobalLog(), "NetworkProtocol::EnableDefaultTimeout");
  if (!soap_) return;
  soap_->recv_timeout = kDefaultTimeoutSeconds;
  soap_->send_timeout = kDefaultTimeoutSeconds;
}

void NetworkProtocol::EnableShortTimeout() {
  CHRESULT2 hr(GetGlobalLog(), "NetworkProtocol::EnableShortTimeout");
  if (!soap_) return;
  soap_->recv_timeout = kShortTimeoutSeconds;
  soap_->send_timeout = kShortTimeoutSeconds;
}

void NetworkProtocol::Cancel() {}

void NetworkProtocol::Reset() {}

void NetworkProtocol::EnableCancelableIo(bool) {}
