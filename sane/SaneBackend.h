// The backend's process-wide state between sane_init and sane_exit: the configuration, the
// device list handed to frontends (the configured devices, then the scanners discovery finds
// on the local network, searched again at every sane_get_devices), the driver module (created
// at the first sane_open) and the embedded simulated scanners started for "simulator" entries.
// SANE frontends call the backend from one thread; sane_cancel may come from a signal handler
// and only touches a handle.
#ifndef CAVIX_SANE_SANEBACKEND_H
#define CAVIX_SANE_SANEBACKEND_H

#include <sane/sane.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sane/SaneConfig.h"
#include "sane/SaneDeviceSession.h"
#include "sane/SaneScanHandle.h"
#include "tools/EmbeddedScanner.h"
#include "tools/ScannerModule.h"
#include "tools/ScannerDiscovery.h"

class SaneBackend {
 public:
  explicit SaneBackend(SaneConfig config);
  ~SaneBackend();

  const SANE_Device** Devices();
  SANE_Status Open(const std::string& name, SaneScanHandle** handle);
  void Close(SaneScanHandle* handle);

  // Directory of this backend's shared object (to find the driver module beside it).
  static std::string OwnDirectory();
  // True in saned (or a process serving a network client): names a client could choose are
  // refused.
  static bool ServesRemoteClients();
  // How long an occupied simulator address is tried before the device is called busy.
  static constexpr std::chrono::milliseconds kAddressWait{2000};

 private:
  SANE_Status EnsureModule();
  SANE_Status StartSimulator(const SaneDeviceEntry& entry, std::unique_ptr<EmbeddedScanner>* sim);

  SaneConfig config_;
  std::vector<SANE_Device> devices_;
  std::vector<const SANE_Device*> deviceList_;
  ScannerModule module_;
  bool moduleReady_ = false;
  std::map<std::string, std::unique_ptr<EmbeddedScanner>> simulators_;
  std::map<std::string, std::weak_ptr<SaneDeviceSession>> sessions_;  // by driver device name
  std::vector<std::unique_ptr<SaneScanHandle>> handles_;

  // The entry of a scanner the last search found, or of a network device name given as such
  // (frontends open a remembered name without listing the devices first).
  bool OtherEntry(const std::string& name, SaneDeviceEntry* entry) const;
  // The last search's scanners, listed after the configured devices.
  std::vector<SaneDeviceEntry> discovered_;
};

#endif
