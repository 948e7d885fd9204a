// Failure of the registry store: a malformed file (the message names file and line, as in
// "/etc/cavix/hklm.reg:12: ...") or an I/O failure. code is the Win32 registry result that
// RegistryKey reports for it.
#ifndef CAVIX_PLATFORM_REGISTRYERROR_H
#define CAVIX_PLATFORM_REGISTRYERROR_H

#include <stdexcept>
#include <string>

#include "platform/Win32Constants.h"

class RegistryError : public std::runtime_error {
 public:
  RegistryError(LONG code, const std::string& message) : std::runtime_error(message), code_(code) {}
  LONG Code() const { return code_; }

 private:
  LONG code_;
};

#endif
