#include "platform/RegistryTree.h"

#include <algorithm>

const char* RegistryRootName(RegistryRoot root) {
  return root == RegistryRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

namespace {
unsigned char Lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }
}  // namespace

int RegistryTree::CompareNames(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = Lower(static_cast<unsigned char>(a[i]));
    unsigned char y = Lower(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool RegistryTree::SplitPath(const std::string& path, std::vector<std::string>* parts) {
  parts->clear();
  size_t begin = path.find_first_not_of('\\');
  if (begin == std::string::npos) return true;
  size_t end = path.find_last_not_of('\\') + 1;
  size_t pos = begin;
  while (true) {
    size_t sep = path.find('\\', pos);
    if (sep == std::string::npos || sep >= end) {
      parts->push_back(path.substr(pos, end - pos));
      return true;
    }
    if (sep == pos) {
      parts->clear();
      return false;
    }
    parts->push_back(path.substr(pos, sep - pos));
    pos = sep + 1;
  }
}

RegistryTree::Node* RegistryTree::Node::FindChild(const std::string& name) const {
  auto it = std::lower_bound(children_.begin(), children_.end(), name,
                             [](const std::unique_ptr<Node>& n, const std::string& key) {
                               return CompareNames(n->name_, key) < 0;
                             });
  if (it != children_.end() && CompareNames((*it)->name_, name) == 0) return it->get();
  return nullptr;
}

RegistryTree::Node* RegistryTree::Node::AddChild(const std::string& name, bool* created) {
  auto it = std::lower_bound(children_.begin(), children_.end(), name,
                             [](const std::unique_ptr<Node>& n, const std::string& key) {
                               return CompareNames(n->name_, key) < 0;
                             });
  if (it != children_.end() && CompareNames((*it)->name_, name) == 0) {
    if (created != nullptr) *created = false;
    return it->get();
  }
  it = children_.insert(it, std::make_unique<Node>(name));
  if (created != nullptr) *created = true;
  return it->get();
}

bool RegistryTree::Node::RemoveChild(const std::string& name) {
  for (auto it = children_.begin(); it != children_.end(); ++it) {
    if (CompareNames((*it)->name_, name) == 0) {
      children_.erase(it);
      return true;
    }
  }
  return false;
}

const RegistryValue* RegistryTree::Node::FindValue(const std::string& name) const {
  for (const RegistryValue& v : values_) {
    if (CompareNames(v.name, name) == 0) return &v;
  }
  return nullptr;
}

void RegistryTree::Node::SetValue(const std::string& name, DWORD type, std::vector<uint8_t> data) {
  for (RegistryValue& v : values_) {
    if (CompareNames(v.name, name) == 0) {
      v.type = type;
      v.data = std::move(data);
      return;
    }
  }
  values_.push_back(RegistryValue{name, type, std::move(data)});
}

bool RegistryTree::Node::RemoveValue(const std::string& name) {
  for (auto it = values_.begin(); it != values_.end(); ++it) {
    if (CompareNames(it->name, name) == 0) {
      values_.erase(it);
      return true;
    }
  }
  return false;
}

RegistryTree::Node* RegistryTree::Find(const std::vector<std::string>& path) {
  Node* node = &root_;
  for (const std::string& part : path) {
    node = node->FindChild(part);
    if (node == nullptr) return nullptr;
  }
  return node;
}

const RegistryTree::Node* RegistryTree::Find(const std::vector<std::string>& path) const {
  return const_cast<RegistryTree*>(this)->Find(path);
}

RegistryTree::Node* RegistryTree::FindOrCreate(const std::vector<std::string>& path, bool* created) {
  Node* node = &root_;
  bool made = false;
  for (const std::string& part : path) node = node->AddChild(part, &made);
  if (created != nullptr) *created = made;
  return node;
}

bool RegistryTree::Remove(const std::vector<std::string>& path) {
  if (path.empty()) return false;
  std::vector<std::string> parent(path.begin(), path.end() - 1);
  Node* node = Find(parent);
  return node != nullptr && node->RemoveChild(path.back());
}
