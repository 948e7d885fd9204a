#include "transport/AvahiBrowser.h"

#include <net/if.h>

#include <algorithm>

#include "transport/AvahiLibrary.h"

const char* const AvahiBrowser::kServiceTypes[5] = {"_uscan._tcp", "_scanner._tcp", "_ipp._tcp", "_printer._tcp",
                                                    "_pdl-datastream._tcp"};

namespace {

using Clock = std::chrono::steady_clock;

// One search's state, reached from the library's callbacks on the searching thread.
struct Search {
  const AvahiLibrary* avahi = nullptr;
  AvahiLibrary::Client* client = nullptr;
  bool failed = false;
  size_t browsersDone = 0;
  size_t resolversStarted = 0;
  size_t resolversPending = 0;
  std::vector<std::string> hosts;
};

void ClientChanged(AvahiLibrary::Client*, int state, void* user) {
  if (state == AvahiLibrary::kClientFailure) static_cast<Search*>(user)->failed = true;
}

// The address as a literal; a link-local IPv6 one with the name of the interface it was seen on.
std::string Literal(const AvahiLibrary& avahi, const AvahiLibrary::Address& address, int interface) {
  char text[AvahiLibrary::kAddressTextMax + 1] = {};
  if (!avahi.address_snprint(text, sizeof text, &address)) return "";
  std::string literal = text;
  const bool linkLocal = address.proto == AvahiLibrary::kProtoInet6 && address.data[0] == 0xfe &&
                         (address.data[1] & 0xc0) == 0x80;
  if (linkLocal) {
    char name[IF_NAMESIZE] = {};
    if (interface < 0 || !if_indextoname(static_cast<unsigned>(interface), name)) return "";
    literal += "%" + std::string(name);
  }
  return literal;
}

void Resolved(AvahiLibrary::ServiceResolver* resolver, int interface, int, int event, const char*, const char*,
              const char*, const char*, const AvahiLibrary::Address* address, uint16_t, AvahiLibrary::StringList*,
              int, void* user) {
  Search& s = *static_cast<Search*>(user);
  if (event == AvahiLibrary::kResolverFound && address && s.hosts.size() < AvahiBrowser::kMaxHosts) {
    const std::string host = Literal(*s.avahi, *address, interface);
    if (!host.empty() && std::find(s.hosts.begin(), s.hosts.end(), host) == s.hosts.end()) s.hosts.push_back(host);
  }
  --s.resolversPending;
  s.avahi->service_resolver_free(resolver);
}

void Browsed(AvahiLibrary::ServiceBrowser*, int interface, int protocol, int event, const char* name,
             const char* type, const char* domain, int, void* user) {
  Search& s = *static_cast<Search*>(user);
  if (event == AvahiLibrary::kBrowserAllForNow || event == AvahiLibrary::kBrowserFailure) ++s.browsersDone;
  if (event != AvahiLibrary::kBrowserNew || s.resolversStarted >= AvahiBrowser::kMaxResolvers) return;
  ++s.resolversStarted;
  if (s.avahi->service_resolver_new(s.client, interface, protocol, name, type, domain, AvahiLibrary::kProtoUnspec, 0,
                                    Resolved, &s))
    ++s.resolversPending;
}

}  // namespace

std::vector<std::string> AvahiBrowser::Search(Clock::time_point deadline) {
  const AvahiLibrary* avahi = AvahiLibrary::Get();
  if (!avahi || Clock::now() >= deadline) return {};
  AvahiLibrary::SimplePoll* poll = avahi->simple_poll_new();
  if (!poll) return {};
  ::Search s;
  s.avahi = avahi;
  int error = 0;
  // Without AVAHI_CLIENT_NO_FAIL: no daemon, no client, at once.
  s.client = avahi->client_new(avahi->simple_poll_get(poll), 0, ClientChanged, &s, &error);
  size_t browsers = 0;
  for (const char* type : kServiceTypes)
    if (s.client && avahi->service_browser_new(s.client, AvahiLibrary::kIfUnspec, AvahiLibrary::kProtoUnspec, type,
                                               nullptr, 0, Browsed, &s))
      ++browsers;
  while (browsers > 0 && !s.failed && (s.browsersDone < browsers || s.resolversPending > 0)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || avahi->simple_poll_iterate(poll, static_cast<int>(left)) != 0) break;
  }
  // Freeing the client frees its browsers and the resolvers still pending.
  if (s.client) avahi->client_free(s.client);
  avahi->simple_poll_free(poll);
  return s.hosts;
}
