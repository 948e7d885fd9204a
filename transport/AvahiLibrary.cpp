#include "transport/AvahiLibrary.h"

#include <dlfcn.h>

#include <mutex>

namespace {

// Fills `slot` from `library`; false when the symbol is missing.
template <typename F>
bool Bind(void* library, const char* name, F*& slot) {
  slot = reinterpret_cast<F*>(dlsym(library, name));
  return slot != nullptr;
}

bool Load(AvahiLibrary& a) {
  const int mode = RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE;
  void* common = dlopen("libavahi-common.so.3", mode);
  void* client = common ? dlopen("libavahi-client.so.3", mode) : nullptr;
  if (!client) return false;
  return Bind(common, "avahi_simple_poll_new", a.simple_poll_new) &&
         Bind(common, "avahi_simple_poll_get", a.simple_poll_get) &&
         Bind(common, "avahi_simple_poll_iterate", a.simple_poll_iterate) &&
         Bind(common, "avahi_simple_poll_free", a.simple_poll_free) &&
         Bind(common, "avahi_threaded_poll_new", a.threaded_poll_new) &&
         Bind(common, "avahi_threaded_poll_get", a.threaded_poll_get) &&
         Bind(common, "avahi_threaded_poll_start", a.threaded_poll_start) &&
         Bind(common, "avahi_threaded_poll_stop", a.threaded_poll_stop) &&
         Bind(common, "avahi_threaded_poll_free", a.threaded_poll_free) &&
         Bind(common, "avahi_threaded_poll_lock", a.threaded_poll_lock) &&
         Bind(common, "avahi_threaded_poll_unlock", a.threaded_poll_unlock) &&
         Bind(common, "avahi_address_snprint", a.address_snprint) &&
         Bind(common, "avahi_address_parse", a.address_parse) &&
         Bind(common, "avahi_strerror", a.strerror) &&
         Bind(client, "avahi_client_new", a.client_new) && Bind(client, "avahi_client_free", a.client_free) &&
         Bind(client, "avahi_client_errno", a.client_errno) &&
         Bind(client, "avahi_service_browser_new", a.service_browser_new) &&
         Bind(client, "avahi_service_resolver_new", a.service_resolver_new) &&
         Bind(client, "avahi_service_resolver_free", a.service_resolver_free) &&
         Bind(client, "avahi_entry_group_new", a.entry_group_new) &&
         Bind(client, "avahi_entry_group_free", a.entry_group_free) &&
         Bind(client, "avahi_entry_group_commit", a.entry_group_commit) &&
         Bind(client, "avahi_entry_group_reset", a.entry_group_reset) &&
         Bind(client, "avahi_entry_group_add_address", a.entry_group_add_address) &&
         Bind(client, "avahi_entry_group_add_service", a.entry_group_add_service);
}

}  // namespace

const AvahiLibrary* AvahiLibrary::Get() {
  static AvahiLibrary library;
  static bool loaded = false;
  static std::once_flag once;
  std::call_once(once, [] { loaded = Load(library); });
  return loaded ? &library : nullptr;
}
