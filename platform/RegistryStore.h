// The file that persists one registry root. Every read holds a shared flock on the file, every
// change an exclusive one across the whole read-modify-write, so that writers in several
// processes (and threads: each call opens the file anew) lose nothing. A change is written to a
// temporary file in the same directory and renamed over the old one; a failed or refused change
// leaves the file as it was; the temporary files of a writer killed meanwhile are removed by the
// next writer of the store. A missing (or empty) file is an empty root. Any thread.
#ifndef CAVIX_PLATFORM_REGISTRYSTORE_H
#define CAVIX_PLATFORM_REGISTRYSTORE_H

#include <functional>
#include <string>

#include "platform/RegistryError.h"
#include "platform/RegistryTree.h"

class RegistryStore {
 public:
  RegistryStore(RegistryRoot root, std::string filePath);
  // The file named by CAVIX_REGISTRY_HKLM / CAVIX_REGISTRY_HKCU, else the default
  // (/etc/cavix/hklm.reg; $XDG_CONFIG_HOME/cavix/hkcu.reg else ~/.config/cavix/hkcu.reg).
  explicit RegistryStore(RegistryRoot root);
  static std::string DefaultFilePath(RegistryRoot root);

  RegistryRoot Root() const { return root_; }
  const std::string& FilePath() const { return filePath_; }

  // Reads the whole root. Throws RegistryError (malformed file, unreadable file).
  RegistryTree Read() const;

  // Reads the root, lets change edit it, and writes it back when change returns true (false =
  // nothing changed, no write). The directory is created when missing. Throws RegistryError;
  // exceptions from change propagate and nothing is written.
  void Modify(const std::function<bool(RegistryTree&)>& change);

  // A store that cannot be read as a registry file (ERROR_REGISTRY_CORRUPT) is moved aside,
  // under the writers' lock, to "<file>.broken-<seconds since 1970>", so that the next change
  // starts a fresh one. Returns the copy's name and sets `why` to what was wrong; "" when the
  // store was readable or missing. Throws RegistryError when it cannot be moved.
  std::string SetAsideIfBroken(std::string* why);

 private:
  RegistryRoot root_;
  std::string filePath_;
};

#endif
