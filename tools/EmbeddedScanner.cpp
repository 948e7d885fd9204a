#include "tools/EmbeddedScanner.h"

#include <cstdio>

bool EmbeddedScanner::Start(bool usb, int adfSheets, std::string* error, const std::string& address) {
  Stop();
  cavixsim::SimConfig config;
  config.adfSheets = adfSheets;
  if (usb) {
    config.usb = true;
    sim_ = std::make_unique<cavixsim::DeviceSimulator>(config);
    if (!sim_->Start(error)) {
      sim_.reset();
      return false;
    }
    target_ = DeviceTarget{sim_->PtyPath(), C_IOTYPE_USB};
    return true;
  }
  std::string lastError;
  const int first = address.empty() ? 2 : 0, last = address.empty() ? 254 : 0;
  for (int host = first; host <= last; ++host) {
    config.listenAddress = address.empty() ? "127.0.0." + std::to_string(host) : address;
    auto sim = std::make_unique<cavixsim::DeviceSimulator>(config);
    if (!sim->Start(&lastError)) continue;  // taken by another simulated scanner, try the next
    sim_ = std::move(sim);
    // A locally administered MAC address of its own per address keeps remembered addresses apart.
    unsigned a = 0, b = 0, c = 0, d = 0;
    std::sscanf(config.listenAddress.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
    char mac[32];
    std::snprintf(mac, sizeof mac, "02:00:7F:%02X:%02X:%02X", b & 0xFF, c & 0xFF, d & 0xFF);
    target_ = DeviceTarget{DeviceName::Network(config.listenAddress, mac), C_IOTYPE_NETWORK};
    return true;
  }
  *error = address.empty() ? "no loopback address 127.0.0.2-254 has port 8289 free (" + lastError + ")" : lastError;
  return false;
}

void EmbeddedScanner::Stop() {
  if (sim_) sim_->Stop();
  sim_.reset();
}

std::string EmbeddedScanner::Where() const {
  if (!sim_) return "";
  if (target_.ioType == C_IOTYPE_USB) return sim_->PtyPath();
  return DeviceName::AddressOf(target_.name) + ":8289";
}
