// In-memory registry tree of one root: keys with case-insensitive names (the case first written
// is kept), subkeys in case-insensitive alphabetical order (as Windows enumerates them), values
// in the order they were first set. Plain data: the owner serialises access.
#ifndef CAVIX_PLATFORM_REGISTRYTREE_H
#define CAVIX_PLATFORM_REGISTRYTREE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Win32Constants.h"

enum class RegistryRoot { LocalMachine, CurrentUser };

// "HKEY_LOCAL_MACHINE" or "HKEY_CURRENT_USER".
const char* RegistryRootName(RegistryRoot root);

// One value. REG_SZ data is the UTF-8 text without a terminating NUL; REG_DWORD data is 4 bytes,
// little-endian; any other type holds its bytes as in a hex(...) line of a .reg file.
struct RegistryValue {
  std::string name;  // empty for the default value
  DWORD type = REG_NONE;
  std::vector<uint8_t> data;
};

class RegistryTree {
 public:
  class Node {
   public:
    explicit Node(std::string name) : name_(std::move(name)) {}
    const std::string& Name() const { return name_; }

    Node* FindChild(const std::string& name) const;
    // Returns the existing child (any case) or inserts a new one in order.
    Node* AddChild(const std::string& name, bool* created = nullptr);
    bool RemoveChild(const std::string& name);  // with its subtree
    const std::vector<std::unique_ptr<Node>>& Children() const { return children_; }

    const RegistryValue* FindValue(const std::string& name) const;
    // Replaces the value's type and data; a new value keeps the name's case and goes last.
    void SetValue(const std::string& name, DWORD type, std::vector<uint8_t> data);
    bool RemoveValue(const std::string& name);
    const std::vector<RegistryValue>& Values() const { return values_; }

   private:
    std::string name_;
    std::vector<std::unique_ptr<Node>> children_;
    std::vector<RegistryValue> values_;
  };

  RegistryTree() : root_("") {}
  Node& Root() { return root_; }
  const Node& Root() const { return root_; }

  // Path components relative to the root; null when a key on the way is missing.
  Node* Find(const std::vector<std::string>& path);
  const Node* Find(const std::vector<std::string>& path) const;
  // Creates the missing keys on the way; *created tells whether the last one was new.
  Node* FindOrCreate(const std::vector<std::string>& path, bool* created = nullptr);
  // Removes the key and its subtree; false when missing. The root itself cannot be removed.
  bool Remove(const std::vector<std::string>& path);

  // Splits "A\B\C" into components; leading and trailing backslashes are ignored. Returns false
  // for an empty component in the middle ("A\\B").
  static bool SplitPath(const std::string& path, std::vector<std::string>* parts);
  // Case-insensitive (ASCII letters) comparison of key and value names: <0, 0, >0.
  static int CompareNames(const std::string& a, const std::string& b);

 private:
  Node root_;
};

#endif
