// The backend's process-wide state between sane_init and sane_exit: the configuration, the
// device list handed to frontends (the configured devices, then the scanners discovery finds
// on the local network, searched again at every sane_get_devices), the driver module (created at the first sane_open) and the
// embedded simulated scanners started for "simulator" entries. SANE frontends call the
// backend from one thread; sane_cancel may come from a signal handler and only touches a
// handle.
#ifndef CAVIX_SANE_SANEBACKEND_H
#define CAVIX_SANE_SANEBACKEND_H

#include <sane/sane.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sane/SaneConfig.h"
#include "sane/SaneScanHandle.h"
#include "tools/EmbeddedScanner.h"
#include "tools/ScannerModule.h"

class SaneBackend {
 public:
  explicit SaneBackend(SaneConfig config);
  ~SaneBackend();

  const SANE_Device** Devices();
  SANE_Status Open(const std::string& name, SaneScanHandle** handle);
  void Close(SaneScanHandle* handle);

  // Directory of this backend's shared object (to find the driver module beside it).
  static std::string OwnDirectory();

 private:
  SANE_Status EnsureModule();
  // The entry for a device name: configured, discovered, or a network device name as such.
  bool FindEntry(const std::string& name, SaneDeviceEntry* entry) const;

  SaneConfig config_;
  std::vector<SaneDeviceEntry> discovered_;
  std::vector<std::string> models_;  // SANE_Device::model texts of the list
  std::vector<SANE_Device> devices_;
  std::vector<const SANE_Device*> deviceList_;
  ScannerModule module_;
  bool moduleReady_ = false;
  std::map<std::string, std::unique_ptr<EmbeddedScanner>> simulators_;
  std::vector<std::unique_ptr<SaneScanHandle>> handles_;
};

#endif
