#include "sane/SaneBackend.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>

SaneBackend::SaneBackend(SaneConfig config) : config_(std::move(config)) {
  for (const std::string& p : config_.problems)
    std::fprintf(stderr, "[cavix] %s: %s\n", config_.path.c_str(), p.c_str());
  for (const SaneDeviceEntry& e : config_.devices) {
    SANE_Device d;
    d.name = e.name.c_str();
    d.vendor = "Cavix";
    d.model = e.simulator ? "vqm440 (simulated)" : "vqm440";
    d.type = e.simulator ? "virtual device" : "flatbed scanner";
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

const SANE_Device** SaneBackend::Devices() { return deviceList_.data(); }

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
  const SaneDeviceEntry* entry = nullptr;
  for (const SaneDeviceEntry& e : config_.devices)
    if (name.empty() || e.name == name) {
      entry = &e;
      break;
    }
  if (!entry) return SANE_STATUS_INVAL;
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
