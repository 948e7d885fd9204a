// The SOAP I/O protocol of a network device: the SOAP library's own HTTP over TCP to
// "http://<address>:8289". Sets the context's time-outs (receive and send 240 s; connect from
// the registry value "ConnectionTimeout", else 20 s), computes the endpoint from the device
// name through IpAddressFinder and the registry settings, and finds the device again by MAC
// address after a TCP failure.
//
// Threads: used by the thread that owns its context (the host thread during the device's
// Init, the scan thread afterwards; a twin by the cancel thread). RediscoverDevice changes
// the endpoint of the installed protocol only; a twin keeps the endpoint it was cloned with.
// Ownership: owns its IpAddressFinder (none in a twin) and its settings; not the context.
// The installed protocol does not register itself in its context's pointer map; a twin is
// registered in the clone context under "NetworkProtocol" and deleted by DestroyClone.
#ifndef CAVIX_TRANSPORT_NETWORKPROTOCOL_H
#define CAVIX_TRANSPORT_NETWORKPROTOCOL_H

#include <memory>
#include <string>

#include "transport/ISoapIoProtocol.h"
#include "transport/IpAddressFinder.h"
#include "transport/NetworkRegistrySettings.h"

class DiscoveryLibrary;

class NetworkProtocol : public ISoapIoProtocol {
 public:
  static const char* const kPointerMapKey;         // "NetworkProtocol"
  static constexpr int kDefaultTimeoutSeconds = 240;
  static constexpr int kShortTimeoutSeconds = 20;
  static constexpr int kConnectTimeoutSeconds = 20;  // without a registry value

  // library: the discovery library the finder uses; null for DiscoveryLibrary::Default().
  explicit NetworkProtocol(struct soap* soap, DiscoveryLibrary* library = nullptr);
  ~NetworkProtocol() override;
  NetworkProtocol(const NetworkProtocol&) = delete;
  NetworkProtocol& operator=(const NetworkProtocol&) = delete;

  // Reads the connect time-out, makes the address finder and sets the endpoint. Raises
  // CERR_INVALID_PARAMETER for a null name or when no usable address can be found.
  void Install(const char* deviceName) override;
  bool Flush() override;
  bool IsConnectionless() override;
  const char* GetEndpoint() override;
  ISoapIoProtocol* CloneInSoapPointerMap(struct soap* cloneSoap) override;
  void DestroyClone(struct soap* cloneSoap) override;
  bool RediscoverDevice() override;
  void EnableDefaultTimeout() override;
  void EnableShortTimeout() override;
  void Cancel() override;
  void Reset() override;
  void EnableCancelableIo(bool enable) override;

 private:
  struct soap* soap_;
  std::string webServiceAddress_;
  std::unique_ptr<IpAddressFinder> finder_;
  NetworkRegistrySettings settings_;
  DiscoveryLibrary* library_;
};

#endif
