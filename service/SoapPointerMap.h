// The name-to-object table that a SOAP context carries in its user-data pointer, through which
// callbacks that the SOAP library invokes with nothing but the context (DIME hooks, transport
// hooks) find the object that serves them. Keys are role names such as "DimeDataSource",
// "NetworkProtocol" and "UsbProtocol"; values are untyped pointers the map never owns.
//
// Threads: a map is used only by the thread that owns its context (no lock of its own).
// Ownership: the map owns its entries, not the objects they point to. Whoever attaches a map to
// a context keeps it alive while the context may call back.
#ifndef CAVIX_SERVICE_SOAPPOINTERMAP_H
#define CAVIX_SERVICE_SOAPPOINTERMAP_H

#include <cstddef>
#include <map>
#include <string>

struct soap;

class SoapPointerMap {
 public:
  SoapPointerMap() = default;
  SoapPointerMap(const SoapPointerMap&) = delete;
  SoapPointerMap& operator=(const SoapPointerMap&) = delete;

  // Stores object under key, replacing an earlier entry.
  void Set(const std::string& key, void* object);
  // The object stored under key, or null when there is none.
  void* Get(const std::string& key) const;
  // Removes the entry under key, if any.
  void Remove(const std::string& key);
  void Clear();
  std::size_t Size() const;

  // Empties map and makes it the one soap carries (soap->user). A null map detaches.
  static void Attach(struct soap* soap, SoapPointerMap* map);
  // The map soap carries, or null for a null context or a context without a map.
  static SoapPointerMap* Of(struct soap* soap);
  // map[key] = object on soap's map; does nothing for a null context or one without a map.
  static void Register(struct soap* soap, const std::string& key, void* object);
  // The object registered under key on soap's map; null when the context, its map or the key
  // is missing. A caller that gets null reports its own failure.
  static void* Lookup(struct soap* soap, const std::string& key);
  // Removes key from soap's map; does nothing without a map.
  static void Unregister(struct soap* soap, const std::string& key);
  // Empties soap's map (the map stays attached); does nothing without a map.
  static void ClearOf(struct soap* soap);

 private:
  std::map<std::string, void*> entries_;
};

#endif
