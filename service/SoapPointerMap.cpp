#include "service/SoapPointerMap.h"

#include <stdsoap2.h>

void SoapPointerMap::Set(const std::string& key, void* object) { entries_[key] = object; }

void* SoapPointerMap::Get(const std::string& key) const {
  auto it = entries_.find(key);
  return it == entries_.end() ? nullptr : it->second;
}

void SoapPointerMap::Remove(const std::string& key) { entries_.erase(key); }

void SoapPointerMap::Clear() { entries_.clear(); }

std::size_t SoapPointerMap::Size() const { return entries_.size(); }

void SoapPointerMap::Attach(struct soap* soap, SoapPointerMap* map) {
  if (map) map->Clear();
  if (soap) soap->user = map;
}

SoapPointerMap* SoapPointerMap::Of(struct soap* soap) {
  return soap ? static_cast<SoapPointerMap*>(soap->user) : nullptr;
}

void SoapPointerMap::Register(struct soap* soap, const std::string& key, void* object) {
  if (SoapPointerMap* map = Of(soap)) map->Set(key, object);
}

void* SoapPointerMap::Lookup(struct soap* soap, const std::string& key) {
  SoapPointerMap* map = Of(soap);
  return map ? map->Get(key) : nullptr;
}

void SoapPointerMap::Unregister(struct soap* soap, const std::string& key) {
  if (SoapPointerMap* map = Of(soap)) map->Remove(key);
}

void SoapPointerMap::ClearOf(struct soap* soap) {
  if (SoapPointerMap* map = Of(soap)) map->Clear();
}
