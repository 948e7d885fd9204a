// Avahi's client library (libavahi-client.so.3 and libavahi-common.so.3, the mDNS daemon's
// D-Bus client) loaded at run time, so that nothing depends on it being installed: the few
// functions and types of its public API that browsing, resolving and publishing a service need.
// The libraries are loaded once per process and never unloaded (the D-Bus library they pull in
// does not survive being unloaded).
//
// Threads: Get may be called from any thread (loaded once, under a once-flag); the table it
// returns is read-only afterwards. Each Avahi object is used by the one thread that runs its
// poll loop, as the library requires.
#ifndef CAVIX_TRANSPORT_AVAHILIBRARY_H
#define CAVIX_TRANSPORT_AVAHILIBRARY_H

#include <cstddef>
#include <cstdint>

struct AvahiLibrary {
  // Opaque objects of the library.
  struct Client;
  struct Poll;          // AvahiPoll, the event loop abstraction a client runs on
  struct SimplePoll;
  struct ThreadedPoll;
  struct ServiceBrowser;
  struct ServiceResolver;
  struct EntryGroup;
  struct StringList;

  // AvahiAddress: the protocol, then the address bytes (IPv4 in network order, or IPv6).
  struct Address {
    int32_t proto;
    alignas(4) uint8_t data[16];
  };

  static constexpr int kIfUnspec = -1;
  static constexpr int kProtoInet = 0;
  static constexpr int kProtoInet6 = 1;
  static constexpr int kProtoUnspec = -1;
  static constexpr std::size_t kAddressTextMax = 40;  // AVAHI_ADDRESS_STR_MAX
  // AvahiClientState
  static constexpr int kClientRegistering = 1;
  static constexpr int kClientRunning = 2;
  static constexpr int kClientCollision = 3;
  static constexpr int kClientFailure = 100;
  // AvahiBrowserEvent
  static constexpr int kBrowserNew = 0;
  static constexpr int kBrowserAllForNow = 3;
  static constexpr int kBrowserFailure = 4;
  // AvahiResolverEvent
  static constexpr int kResolverFound = 0;
  // AvahiEntryGroupState
  static constexpr int kGroupEstablished = 2;
  static constexpr int kGroupCollision = 3;
  static constexpr int kGroupFailure = 4;

  using ClientCallback = void (*)(Client*, int state, void* user);
  using BrowserCallback = void (*)(ServiceBrowser*, int interface, int protocol, int event, const char* name,
                                   const char* type, const char* domain, int flags, void* user);
  using ResolverCallback = void (*)(ServiceResolver*, int interface, int protocol, int event, const char* name,
                                    const char* type, const char* domain, const char* hostName,
                                    const Address* address, uint16_t port, StringList* txt, int flags, void* user);
  using GroupCallback = void (*)(EntryGroup*, int state, void* user);

  // libavahi-common
  SimplePoll* (*simple_poll_new)();
  const Poll* (*simple_poll_get)(SimplePoll*);
  int (*simple_poll_iterate)(SimplePoll*, int sleepMs);
  void (*simple_poll_free)(SimplePoll*);
  ThreadedPoll* (*threaded_poll_new)();
  const Poll* (*threaded_poll_get)(ThreadedPoll*);
  int (*threaded_poll_start)(ThreadedPoll*);
  int (*threaded_poll_stop)(ThreadedPoll*);
  void (*threaded_poll_free)(ThreadedPoll*);
  void (*threaded_poll_lock)(ThreadedPoll*);
  void (*threaded_poll_unlock)(ThreadedPoll*);
  char* (*address_snprint)(char* text, std::size_t length, const Address*);
  Address* (*address_parse)(const char* text, int protocol, Address*);
  const char* (*strerror)(int error);
  // libavahi-client
  Client* (*client_new)(const Poll*, int flags, ClientCallback, void* user, int* error);
  void (*client_free)(Client*);
  int (*client_errno)(Client*);
  ServiceBrowser* (*service_browser_new)(Client*, int interface, int protocol, const char* type, const char* domain,
                                         int flags, BrowserCallback, void* user);
  ServiceResolver* (*service_resolver_new)(Client*, int interface, int protocol, const char* name, const char* type,
                                           const char* domain, int addressProtocol, int flags, ResolverCallback,
                                           void* user);
  int (*service_resolver_free)(ServiceResolver*);
  EntryGroup* (*entry_group_new)(Client*, GroupCallback, void* user);
  int (*entry_group_free)(EntryGroup*);
  int (*entry_group_commit)(EntryGroup*);
  int (*entry_group_reset)(EntryGroup*);
  int (*entry_group_add_address)(EntryGroup*, int interface, int protocol, int flags, const char* name,
                                 const Address*);
  // Variadic: the TXT record's strings, ended by a null pointer.
  int (*entry_group_add_service)(EntryGroup*, int interface, int protocol, int flags, const char* name,
                                 const char* type, const char* domain, const char* host, uint16_t port, ...);

  // The loaded library; null when it is not installed (or lacks a function named here).
  static const AvahiLibrary* Get();
};

#endif
