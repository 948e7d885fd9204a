// The simulated scanner run inside the host program when no device is named: it listens on the
// first loopback address 127.0.0.2 ... 127.0.0.254 whose port 8289 is free (or on a
// pseudo-terminal), with its feeder loaded as asked. Started and stopped by one thread; the
// simulator serves on threads of its own.
#ifndef CAVIX_TOOLS_EMBEDDEDSCANNER_H
#define CAVIX_TOOLS_EMBEDDEDSCANNER_H

#include <memory>
#include <string>

#include "sim/DeviceSimulator.h"
#include "tools/DeviceName.h"

class EmbeddedScanner {
 public:
  EmbeddedScanner() = default;
  ~EmbeddedScanner() { Stop(); }
  EmbeddedScanner(const EmbeddedScanner&) = delete;
  EmbeddedScanner& operator=(const EmbeddedScanner&) = delete;

  // `address` empty: the first free loopback address from 127.0.0.2.
  bool Start(bool usb, int adfSheets, std::string* error, const std::string& address = "");
  void Stop();
  // The device name and I/O type the driver is to open.
  const DeviceTarget& Target() const { return target_; }
  // "127.0.0.2:8289" or the pseudo-terminal's path.
  std::string Where() const;
  cavixsim::DeviceSimulator* Simulator() const { return sim_.get(); }

 private:
  std::unique_ptr<cavixsim::DeviceSimulator> sim_;
  DeviceTarget target_;
};

#endif
