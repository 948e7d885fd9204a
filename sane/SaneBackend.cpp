#include "sane/SaneBackend.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>

#include "tools/ScannerDiscovery.h"

SaneBackend::SaneBackend(SaneConfig config) : config_(std::move(config)) {
  for (const std::string& p : config_.problems)
    std::fprintf(stderr, "[cavix] %s: %s\n", config_.path.c_str(), p.c_str());
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
  // Configured devices first; then the scanners found on the network that are not already
  // configured by their address.
  discovered_.clear();
  if (config_.discovery) {
    std::vector<std::string> configured;
    for (const SaneDeviceEntry& e : config_.devices) {
      DeviceTarget target;
      std::string error;
      if (!e.simulator && DeviceName::Resolve(e.device, e.mac, &target, &error))
        configured.push_back(DeviceName::AddressOf(target.name));
    }
    for (const FoundScanner& f : ScannerDiscovery::Find()) {
      if (std::find(configured.begin(), configured.end(), f.address) != configured.end()) continue;
      SaneDeviceEntry e;
      e.name = f.deviceName;
      e.device = f.deviceName;
      e.model = f.model.empty() ? "scanner" : f.model;
      discovered_.push_back(e);
    }
  }
  devices_.clear();
  deviceList_.clear();
  auto add = [this](const SaneDeviceEntry& e, const char* model, const char* type) {
    SANE_Device d;
    d.name = e.name.c_str();
    d.vendor = "Cavix";
    d.model = model;
    d.type = type;
    devices_.push_back(d);
  };
  for (const SaneDeviceEntry& e : config_.devices)
    add(e, e.simulator ? "vqm440 (simulated)" : "vqm440", e.simulator ? "virtual device" : "flatbed scanner");
  for (const SaneDeviceEntry& e : discovered_) add(e, e.model.c_str(), "flatbed scanner");
  for (const SANE_Device& d : devices_) deviceList_.push_back(&d);
  deviceList_.push_back(nullptr);
  return deviceList_.data();
}

bool SaneBackend::FindEntry(const std::string& name, SaneDeviceEntry* entry) const {
  for (const auto* list : {&config_.devices, &discovered_})
    for (const SaneDeviceEntry& e : *list)
      if (name.empty() || e.name == name) {
        *entry = e;
        return true;
      }
  // A network device name (as discovery lists it) opens without being listed first:
  // frontends open a remembered name straight away.
  if (name.find("\\macaddr:") == std::string::npos) return false;
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

SANE_Status SaneBackend::Open(const std::string& name, SaneScanHandle** handle) {
  SaneDeviceEntry found;
  if (!FindEntry(name, &found)) return SANE_STATUS_INVAL;
  const SaneDeviceEntry* entry = &found;
  SANE_Status s = EnsureModule();
  if (s != SANE_STATUS_GOOD) return s;
  DeviceTarget target;
  std::string error;
  if (entry->simulator) {
    auto& sim = simulators_[entry->name];
    if (!sim) {
      sim = std::make_unique<EmbeddedScanner>();
      if (!sim->Start(entry->simulatorUsb, entry->sheets, &error, entry->simulatorAddress)) {
        std::fprintf(stderr, "[cavix] cannot start the simulated scanner: %s\n", error.c_str());
        sim.reset();
        return SANE_STATUS_IO_ERROR;
      }
    }
    target = sim->Target();
  } else if (!DeviceName::Resolve(entry->device, entry->mac, &target, &error)) {
    return SANE_STATUS_INVAL;
  }
  auto h = std::make_unique<SaneScanHandle>(module_.Scanner(), module_.Adf());
  s = h->Open(target);
  if (s != SANE_STATUS_GOOD) return s;
  *handle = h.get();
  handles_.push_back(std::move(h));
  return SANE_STATUS_GOOD;
}

void SaneBackend::Close(SaneScanHandle* handle) {
  handles_.erase(std::remove_if(handles_.begin(), handles_.end(),
                                [handle](const std::unique_ptr<SaneScanHandle>& h) { return h.get() == handle; }),
                 handles_.end());
}
