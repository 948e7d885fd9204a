#include "sane/SaneBackend.h"

#include <dlfcn.h>
#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "sane/SaneDebug.h"

SaneBackend::SaneBackend(SaneConfig config) : config_(std::move(config)) {
  for (const std::string& p : config_.problems)
    std::fprintf(stderr, "[cavix] %s: %s\n", config_.path.c_str(), p.c_str());
  for (const std::string& i : config_.ignored)
    CAVIX_SANE_DEBUG(SaneDebug::kError, "%s: ignored %s", config_.path.c_str(), i.c_str());
  CAVIX_SANE_DEBUG(SaneDebug::kInfo, "configuration %s: %zu devices, module %s, discovery %s",
                   config_.path.empty() ? "(none)" : config_.path.c_str(), config_.devices.size(),
                   config_.module.empty() ? "(registered)" : config_.module.c_str(), config_.discovery ? "on" : "off");
  for (const SaneDeviceEntry& e : config_.devices) {
    SANE_Device d;
    d.name = e.name.c_str();
    d.vendor = "Cavix";
    d.model = e.simulator ? "vqm440 (simulated)" : "vqm440";
    // The scanner of a multifunction printer, simulated or not (frontends skip virtual devices).
    d.type = "multi-function peripheral";
    devices_.push_back(d);
  }
  for (const SANE_Device& d : devices_) deviceList_.push_back(&d);
  deviceList_.push_back(nullptr);
}

SaneBackend::~SaneBackend() {
  handles_.clear();
  simulators_.clear();
}

std::string SaneBackend::OwnDirectory() {
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&SaneBackend::OwnDirectory), &info) == 0 || !info.dli_fname) return ".";
  std::string path(info.dli_fname);
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

const SANE_Device** SaneBackend::Devices() {
  // The configured devices as the constructor listed them, then the scanners found on the
  // network that are not configured already (by their address).
  devices_.resize(config_.devices.size());
  discovered_.clear();
  if (config_.discovery) {
    std::vector<std::string> configured;
    for (const SaneDeviceEntry& e : config_.devices) {
      DeviceTarget target;
      std::string error;
      if (!e.simulator && DeviceName::Resolve(e.device, e.mac, &target, &error))
        configured.push_back(DeviceName::AddressOf(target.name));
    }
    for (const FoundScanner& f : ScannerDiscovery::Find(config_.search)) {
      if (std::find(configured.begin(), configured.end(), f.address) != configured.end()) continue;
      SaneDeviceEntry e;
      e.name = e.device = f.deviceName;
      e.model = f.model.empty() ? "scanner" : f.model;
      discovered_.push_back(e);
    }
  }
  for (const SaneDeviceEntry& e : discovered_) {
    SANE_Device d;
    d.name = e.name.c_str();
    d.vendor = "Cavix";
    d.model = e.model.c_str();
    d.type = "multi-function peripheral";
    devices_.push_back(d);
  }
  deviceList_.clear();
  for (const SANE_Device& d : devices_) deviceList_.push_back(&d);
  deviceList_.push_back(nullptr);
  return deviceList_.data();
}

bool SaneBackend::ServesRemoteClients() {
  // saned by name, or a process whose standard input is a network connection (saned started by
  // inetd or by a socket unit, which hand it the client's connection there).
  if (std::strcmp(program_invocation_short_name, "saned") == 0) return true;
  struct stat st = {};
  return ::fstat(STDIN_FILENO, &st) == 0 && S_ISSOCK(st.st_mode);
}

bool SaneBackend::OtherEntry(const std::string& name, SaneDeviceEntry* entry) const {
  for (const SaneDeviceEntry& e : discovered_)
    if (name.empty() || e.name == name) {
      *entry = e;
      return true;
    }
  // A network device name is a direct form for the local user only: through saned a client
  // would choose the address reached and the name of the lock file left behind.
  if (name.find("\\macaddr:") == std::string::npos || ServesRemoteClients()) return false;
  entry->name = entry->device = name;
  return true;
}

SANE_Status SaneBackend::EnsureModule() {
  if (moduleReady_) return SANE_STATUS_GOOD;
  std::string error;
  if (!module_.Create(config_.module, {OwnDirectory(), ScannerModule::ProgramDirectory()}, &error)) {
    std::fprintf(stderr, "[cavix] %s\n", error.c_str());
    return SANE_STATUS_IO_ERROR;
  }
  moduleReady_ = true;
  return SANE_STATUS_GOOD;
}

SANE_Status SaneBackend::StartSimulator(const SaneDeviceEntry& entry, std::unique_ptr<EmbeddedScanner>* sim) {
  // A fixed address that another process serves is a busy scanner; a session that has just
  // ended in another process may still be letting it go, so it is asked for a little while.
  const std::string inUse = std::strerror(EADDRINUSE);
  const auto giveUp = std::chrono::steady_clock::now() + kAddressWait;
  for (;;) {
    std::string error;
    auto started = std::make_unique<EmbeddedScanner>();
    if (started->Start(entry.simulatorUsb, entry.sheets, &error, entry.simulatorAddress)) {
      *sim = std::move(started);
      return SANE_STATUS_GOOD;
    }
    const bool busy = !entry.simulatorAddress.empty() && error.find(inUse) != std::string::npos;
    if (busy && std::chrono::steady_clock::now() < giveUp) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    std::fprintf(stderr, "[cavix] cannot start the simulated scanner: %s\n", error.c_str());
    return busy ? SANE_STATUS_DEVICE_BUSY : SANE_STATUS_IO_ERROR;
  }
}

SANE_Status SaneBackend::Open(const std::string& name, SaneScanHandle** handle) {
  const SaneDeviceEntry* entry = nullptr;
  for (const SaneDeviceEntry& e : config_.devices)
    if (name.empty() || e.name == name) {
      entry = &e;
      break;
    }
  SaneDeviceEntry other;
  if (!entry && OtherEntry(name, &other)) entry = &other;
  if (!entry) {
    CAVIX_SANE_DEBUG(SaneDebug::kError, "sane_open: \"%s\" is neither listed nor configured", name.c_str());
    return SANE_STATUS_INVAL;
  }
  SANE_Status s = EnsureModule();
  if (s != SANE_STATUS_GOOD) return s;
  DeviceTarget target;
  std::string error;
  if (entry->simulator) {
    auto& sim = simulators_[entry->name];
    if (!sim) {
      s = StartSimulator(*entry, &sim);
      if (s != SANE_STATUS_GOOD) return s;
    }
    target = sim->Target();
  } else if (!DeviceName::Resolve(entry->device, entry->mac, &target, &error)) {
    return SANE_STATUS_INVAL;
  }
  // Handles on one device share its driver session.
  std::shared_ptr<SaneDeviceSession> device = sessions_[target.name].lock();
  if (!device) {
    device = std::make_shared<SaneDeviceSession>(module_.Scanner());
    HRESULT hr = S_OK;
    DWORD code = 0;
    if (!device->Open(target, &hr, &code)) {
      s = SaneScanHandle::StatusFor(hr, code);
      CAVIX_SANE_DEBUG(SaneDebug::kError, "sane_open \"%s\": the session did not open (0x%08X, code %u): status %d",
                       name.c_str(), static_cast<unsigned>(hr), static_cast<unsigned>(code), static_cast<int>(s));
      return s;
    }
    sessions_[target.name] = device;
  }
  auto h = std::make_unique<SaneScanHandle>(module_.Scanner(), module_.Adf());
  s = h->Open(std::move(device));
  if (s != SANE_STATUS_GOOD) return s;
  *handle = h.get();
  handles_.push_back(std::move(h));
  CAVIX_SANE_DEBUG(SaneDebug::kInfo, "sane_open \"%s\": device %s, handle %p", name.c_str(), target.name.c_str(),
                   static_cast<void*>(*handle));
  return SANE_STATUS_GOOD;
}

void SaneBackend::Close(SaneScanHandle* handle) {
  handles_.erase(std::remove_if(handles_.begin(), handles_.end(),
                                [handle](const std::unique_ptr<SaneScanHandle>& h) { return h.get() == handle; }),
                 handles_.end());
}
