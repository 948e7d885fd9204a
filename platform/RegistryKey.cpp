#include "platform/RegistryKey.h"

#include <cstring>
#include <new>

#include "platform/RegFileFormat.h"
#include "platform/RegistryError.h"
#include "platform/RegistryStore.h"

namespace {

// Control characters (tab aside) would break the file's line structure.
bool ValidName(const std::string& name) {
  for (char c : name) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && u != '\t') || u == 0x7F) return false;
  }
  return true;
}

bool SplitValid(const std::string& subKey, std::vector<std::string>* parts) {
  if (!RegistryTree::SplitPath(subKey, parts)) return false;
  for (const std::string& p : *parts) {
    if (!ValidName(p)) return false;
  }
  return true;
}

std::vector<std::string> Join(const std::vector<std::string>& a, const std::vector<std::string>& b) {
  std::vector<std::string> out(a);
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

// UTF-16LE strings (REG_EXPAND_SZ, REG_MULTI_SZ) to UTF-8, keeping the NUL separators.
bool WideToNarrow(const std::vector<uint8_t>& wide, std::string* narrow) {
  if (wide.size() % 2 != 0) return false;
  std::string out;
  size_t start = 0;
  for (size_t i = 0; i <= wide.size(); i += 2) {
    bool end = i == wide.size();
    if (end || (wide[i] == 0 && wide[i + 1] == 0)) {
      std::string part;
      if (!RegFileFormat::Utf16LeToUtf8(std::vector<uint8_t>(wide.begin() + start, wide.begin() + i), &part)) {
        return false;
      }
      out += part;
      if (end) break;
      out += '\0';
      start = i + 2;
    }
  }
  *narrow = std::move(out);
  return true;
}

// Runs op, turning store failures into Win32 results and a text.
template <class Op>
LONG Guarded(std::string* lastError, Op op) {
  lastError->clear();
  try {
    return op();
  } catch (const RegistryError& e) {
    *lastError = e.what();
    return e.Code();
  } catch (const std::bad_alloc&) {
    *lastError = "out of memory";
    return ERROR_OUTOFMEMORY;
  } catch (const std::exception& e) {
    *lastError = e.what();
    return ERROR_CANTREAD;
  }
}

}  // namespace

RegistryKey::RegistryKey(RegistryKey&& other) noexcept
    : open_(other.open_),
      root_(other.root_),
      file_(std::move(other.file_)),
      path_(std::move(other.path_)),
      lastError_(std::move(other.lastError_)) {
  other.open_ = false;
}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
  if (this != &other) {
    open_ = other.open_;
    root_ = other.root_;
    file_ = std::move(other.file_);
    path_ = std::move(other.path_);
    lastError_ = std::move(other.lastError_);
    other.open_ = false;
  }
  return *this;
}

LONG RegistryKey::Open(RegistryRoot root, const std::string& subKey) {
  return OpenAt(root, RegistryStore::DefaultFilePath(root), {}, subKey, false, nullptr);
}

LONG RegistryKey::Open(const RegistryKey& parent, const std::string& subKey) {
  if (!parent.open_) return ERROR_INVALID_HANDLE;
  RegistryRoot root = parent.root_;
  std::string file = parent.file_;
  std::vector<std::string> base = parent.path_;  // copies: parent may be *this
  return OpenAt(root, file, base, subKey, false, nullptr);
}

LONG RegistryKey::Create(RegistryRoot root, const std::string& subKey, bool* created) {
  return OpenAt(root, RegistryStore::DefaultFilePath(root), {}, subKey, true, created);
}

LONG RegistryKey::Create(const RegistryKey& parent, const std::string& subKey, bool* created) {
  if (!parent.open_) return ERROR_INVALID_HANDLE;
  RegistryRoot root = parent.root_;
  std::string file = parent.file_;
  std::vector<std::string> base = parent.path_;
  return OpenAt(root, file, base, subKey, true, created);
}

LONG RegistryKey::OpenAt(RegistryRoot root, const std::string& file, const std::vector<std::string>& base,
                         const std::string& subKey, bool create, bool* created) {
  std::vector<std::string> parts;
  if (!SplitValid(subKey, &parts)) {
    Close();
    return ERROR_INVALID_PARAMETER;
  }
  std::vector<std::string> path = Join(base, parts);
  LONG rc = Guarded(&lastError_, [&]() -> LONG {
    RegistryStore store(root, file);
    if (!create) {
      RegistryTree tree = store.Read();
      if (tree.Find(path) != nullptr) return ERROR_SUCCESS;
      return tree.Find(base) == nullptr ? ERROR_KEY_DELETED : ERROR_FILE_NOT_FOUND;
    }
    LONG result = ERROR_SUCCESS;
    bool made = false;
    store.Modify([&](RegistryTree& tree) {
      if (tree.Find(base) == nullptr) {  // the parent went away
        result = ERROR_KEY_DELETED;
        return false;
      }
      tree.FindOrCreate(path, &made);
      return made;
    });
    if (created != nullptr) *created = made;
    return result;
  });
  if (rc != ERROR_SUCCESS) {
    Close();
    return rc;
  }
  open_ = true;
  root_ = root;
  file_ = file;
  path_ = std::move(path);
  return ERROR_SUCCESS;
}

LONG RegistryKey::Close() {
  if (!open_) return ERROR_INVALID_HANDLE;
  open_ = false;
  path_.clear();
  file_.clear();
  return ERROR_SUCCESS;
}

std::string RegistryKey::FullName() const {
  std::string name = RegistryRootName(root_);
  for (const std::string& p : path_) name += "\\" + p;
  return name;
}

LONG RegistryKey::EnumSubKey(DWORD index, std::string* name) const {
  if (!open_) return ERROR_INVALID_HANDLE;
  if (name == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded(&lastError_, [&]() -> LONG {
    RegistryTree tree = RegistryStore(root_, file_).Read();
    const RegistryTree::Node* node = tree.Find(path_);
    if (node == nullptr) return ERROR_KEY_DELETED;
    if (index >= node->Children().size()) return ERROR_NO_MORE_ITEMS;
    *name = node->Children()[index]->Name();
    return ERROR_SUCCESS;
  });
}

LONG RegistryKey::QueryValue(const std::string& name, DWORD* type, void* data, DWORD* size) const {
  if (!open_) return ERROR_INVALID_HANDLE;
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded(&lastError_, [&]() -> LONG {
    RegistryTree tree = RegistryStore(root_, file_).Read();
    const RegistryTree::Node* node = tree.Find(path_);
    if (node == nullptr) return ERROR_KEY_DELETED;
    const RegistryValue* value = node->FindValue(name);
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    // The narrow form a Windows ...A call returns: strings in UTF-8 with their NUL.
    std::vector<uint8_t> bytes = value->data;
    if (value->type == REG_SZ) {
      bytes.push_back(0);
    } else if (value->type == REG_EXPAND_SZ || value->type == REG_MULTI_SZ) {
      std::string narrow;
      if (WideToNarrow(value->data, &narrow)) {
        bytes.assign(narrow.begin(), narrow.end());
        if (bytes.empty() || bytes.back() != 0) bytes.push_back(0);
      }
    }
    if (type != nullptr) *type = value->type;
    if (size == nullptr) return ERROR_SUCCESS;
    DWORD needed = static_cast<DWORD>(bytes.size());
    if (data == nullptr) {
      *size = needed;
      return ERROR_SUCCESS;
    }
    if (*size < needed) {
      *size = needed;
      return ERROR_MORE_DATA;
    }
    if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    *size = needed;
    return ERROR_SUCCESS;
  });
}

LONG RegistryKey::QueryDword(const std::string& name, DWORD* value) const {
  if (value == nullptr) return ERROR_INVALID_PARAMETER;
  DWORD type = REG_NONE;
  uint8_t bytes[4];
  DWORD size = sizeof bytes;
  LONG rc = QueryValue(name, &type, bytes, &size);
  if (rc == ERROR_MORE_DATA) return ERROR_DATATYPE_MISMATCH;
  if (rc != ERROR_SUCCESS) return rc;
  if ((type != REG_DWORD && type != REG_BINARY) || size != 4) return ERROR_DATATYPE_MISMATCH;
  *value = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<DWORD>(bytes[3]) << 24);
  return ERROR_SUCCESS;
}

LONG RegistryKey::QueryString(const std::string& name, std::string* value) const {
  if (!open_) return ERROR_INVALID_HANDLE;
  if (value == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded(&lastError_, [&]() -> LONG {
    RegistryTree tree = RegistryStore(root_, file_).Read();
    const RegistryTree::Node* node = tree.Find(path_);
    if (node == nullptr) return ERROR_KEY_DELETED;
    const RegistryValue* v = node->FindValue(name);
    if (v == nullptr) return ERROR_FILE_NOT_FOUND;
    if (v->type == REG_SZ) {
      value->assign(v->data.begin(), v->data.end());
      return ERROR_SUCCESS;
    }
    if (v->type == REG_EXPAND_SZ && RegFileFormat::Utf16LeToUtf8(v->data, value)) return ERROR_SUCCESS;
    return ERROR_DATATYPE_MISMATCH;
  });
}

namespace {

// Changes the key at path; ERROR_KEY_DELETED when it is gone.
template <class Edit>
LONG ModifyKey(RegistryRoot root, const std::string& file, const std::vector<std::string>& path,
               std::string* lastError, Edit edit) {
  return Guarded(lastError, [&]() -> LONG {
    LONG result = ERROR_SUCCESS;
    RegistryStore(root, file).Modify([&](RegistryTree& tree) {
      RegistryTree::Node* node = tree.Find(path);
      if (node == nullptr) {
        result = ERROR_KEY_DELETED;
        return false;
      }
      return edit(tree, *node, &result);
    });
    return result;
  });
}

}  // namespace

LONG RegistryKey::SetDword(const std::string& name, DWORD value) {
  if (!open_) return ERROR_INVALID_HANDLE;
  if (!ValidName(name)) return ERROR_INVALID_PARAMETER;
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return ModifyKey(root_, file_, path_, &lastError_, [&](RegistryTree&, RegistryTree::Node& node, LONG*) {
    node.SetValue(name, REG_DWORD, bytes);
    return true;
  });
}

LONG RegistryKey::SetString(const std::string& name, const std::string& value) {
  if (!open_) return ERROR_INVALID_HANDLE;
  if (!ValidName(name)) return ERROR_INVALID_PARAMETER;
  // Text with line breaks or other control characters is stored as UTF-16 (hex(1)), which
  // only valid UTF-8 converts to without loss.
  std::vector<uint8_t> wide;
  if (!ValidName(value) && !RegFileFormat::Utf8ToUtf16Le(value, &wide)) return ERROR_INVALID_PARAMETER;
  return ModifyKey(root_, file_, path_, &lastError_, [&](RegistryTree&, RegistryTree::Node& node, LONG*) {
    node.SetValue(name, REG_SZ, std::vector<uint8_t>(value.begin(), value.end()));
    return true;
  });
}

LONG RegistryKey::DeleteValue(const std::string& name) {
  if (!open_) return ERROR_INVALID_HANDLE;
  return ModifyKey(root_, file_, path_, &lastError_, [&](RegistryTree&, RegistryTree::Node& node, LONG* result) {
    if (node.RemoveValue(name)) return true;
    *result = ERROR_FILE_NOT_FOUND;
    return false;
  });
}

LONG RegistryKey::DeleteSubKey(const std::string& subKey) {
  if (!open_) return ERROR_INVALID_HANDLE;
  std::vector<std::string> parts;
  if (!SplitValid(subKey, &parts) || parts.empty()) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> target = Join(path_, parts);
  return ModifyKey(root_, file_, path_, &lastError_, [&](RegistryTree& tree, RegistryTree::Node&, LONG* result) {
    if (tree.Remove(target)) return true;
    *result = ERROR_FILE_NOT_FOUND;
    return false;
  });
}
