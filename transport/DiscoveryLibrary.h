// The discovery library libzkdisc01.so, bound on first use: looked for beside the module that
// contains this code (the driver), then on the loader's search path. When it cannot be loaded
// the functions are absent and discovery fails; the host goes on. A later use tries again.
// Threads: any thread; Functions() is guarded by loadLock_. The library stays loaded until
// this object is destroyed (the default one at module unload).
#ifndef CAVIX_TRANSPORT_DISCOVERYLIBRARY_H
#define CAVIX_TRANSPORT_DISCOVERYLIBRARY_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Mutex.h"
#include "platform/ScanError.h"

// The seven functions, bound.
struct DiscoveryFunctions {
  int32_t (*startup)(uint8_t);
  int32_t (*setLoggingLevel)(int32_t);
  int32_t (*discoverMAC)(const char*, uint32_t, uint32_t, uint32_t);
  int32_t (*getNumDiscoveredDevices)(uint32_t*);
  int32_t (*getIPAddress)(uint32_t, char*, uint32_t, uint32_t*);
  int32_t (*getIPv6Addresses)(uint32_t, char*, uint32_t, uint32_t*, uint32_t*);
  int32_t (*shutdown)(uint8_t);
};

class DiscoveryLibrary {
 public:
  static const char* const kFileName;  // "libzkdisc01.so"

  // Tries each candidate in order (a path, or a bare name for the loader's search path).
  explicit DiscoveryLibrary(std::vector<std::string> candidates);
  ~DiscoveryLibrary();
  DiscoveryLibrary(const DiscoveryLibrary&) = delete;
  DiscoveryLibrary& operator=(const DiscoveryLibrary&) = delete;

  // The process's library: beside this module first, then the search path.
  static DiscoveryLibrary& Default();

  // The bound functions, loading the library on first use; null when it cannot be loaded or
  // lacks one of the seven, and then `failure` (if given) says why for each candidate.
  const DiscoveryFunctions* Functions(ScanError* failure = nullptr);

 private:
  Mutex loadLock_;
  std::vector<std::string> candidates_;  // fixed at construction
  void* handle_ GUARDED_BY(loadLock_) = nullptr;
  // Valid while handle_ is set, and then never changed: the callers of Functions read it
  // through the pointer they got, without the lock.
  DiscoveryFunctions functions_ GUARDED_BY(loadLock_) = {};
};

#endif
