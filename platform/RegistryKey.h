// An open registry key, used like the Windows registry calls: every operation returns a Win32
// result (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_NO_MORE_ITEMS, ERROR_MORE_DATA, ...) and
// never throws. A malformed or unreadable store gives ERROR_REGISTRY_CORRUPT / ERROR_CANTREAD /
// ERROR_CANTWRITE with the reason (naming file and line) in LastErrorText(). A key is a name:
// each operation reads (or changes) the store file under its lock, so other processes' changes
// are seen at once. Operations on a key deleted since it was opened give ERROR_KEY_DELETED.
// One thread at a time per object; different objects may be used concurrently.
#ifndef CAVIX_PLATFORM_REGISTRYKEY_H
#define CAVIX_PLATFORM_REGISTRYKEY_H

#include <string>
#include <vector>

#include "platform/RegistryTree.h"

class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() = default;
  RegistryKey(RegistryKey&& other) noexcept;
  RegistryKey& operator=(RegistryKey&& other) noexcept;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // Opens an existing key ("" = the root itself); ERROR_FILE_NOT_FOUND when missing. The root's
  // file is chosen now (RegistryStore::DefaultFilePath). Whatever the object held before is
  // closed; on failure it stays closed. The parent may be this object itself.
  LONG Open(RegistryRoot root, const std::string& subKey);
  LONG Open(const RegistryKey& parent, const std::string& subKey);
  // Opens the key, creating it and any missing keys on the way.
  LONG Create(RegistryRoot root, const std::string& subKey, bool* created = nullptr);
  LONG Create(const RegistryKey& parent, const std::string& subKey, bool* created = nullptr);
  // ERROR_INVALID_HANDLE when not open.
  LONG Close();
  bool IsOpen() const { return open_; }

  // Name of the subkey at index (alphabetical); ERROR_NO_MORE_ITEMS past the end.
  LONG EnumSubKey(DWORD index, std::string* name) const;

  // REG_DWORD (or 4-byte binary) value; ERROR_DATATYPE_MISMATCH for other types.
  LONG QueryDword(const std::string& name, DWORD* value) const;
  // REG_SZ or REG_EXPAND_SZ value as UTF-8 text; ERROR_DATATYPE_MISMATCH for other types.
  LONG QueryString(const std::string& name, std::string* value) const;
  // RegQueryValueExA: type, bytes (strings as UTF-8 with a terminating NUL) and size. data null
  // -> *size gets the size needed; *size too small -> ERROR_MORE_DATA with *size = the size
  // needed. type and data may be null; size may be null only when data is.
  LONG QueryValue(const std::string& name, DWORD* type, void* data, DWORD* size) const;

  LONG SetDword(const std::string& name, DWORD value);
  // Any bytes; text holding line breaks or other control characters must be valid UTF-8
  // (else ERROR_INVALID_PARAMETER), as it is stored as UTF-16.
  LONG SetString(const std::string& name, const std::string& value);
  // ERROR_FILE_NOT_FOUND when the value is missing.
  LONG DeleteValue(const std::string& name);
  // Deletes subKey with all its subkeys; ERROR_FILE_NOT_FOUND when missing; "" is refused.
  LONG DeleteSubKey(const std::string& subKey);

  // Why the last failing operation failed (file and line for a malformed store); empty when it
  // had no more to say than its result.
  const std::string& LastErrorText() const { return lastError_; }
  // "HKEY_LOCAL_MACHINE\path" of the open key.
  std::string FullName() const;

 private:
  LONG OpenAt(RegistryRoot root, const std::string& file, const std::vector<std::string>& base,
              const std::string& subKey, bool create, bool* created);

  bool open_ = false;
  RegistryRoot root_ = RegistryRoot::LocalMachine;
  std::string file_;
  std::vector<std::string> path_;
  mutable std::string lastError_;
};

#endif
