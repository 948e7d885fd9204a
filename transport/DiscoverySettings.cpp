#include "transport/DiscoverySettings.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

int DiscoverySettings::GatherMs() const {
  return wsDiscovery || avahi ? std::min(searchMs * 3 / 10, 1000) : 0;
}

bool DiscoverySettings::SetSources(const std::string& list, std::string* error) {
  static const struct {
    const char* name;
    bool DiscoverySettings::*source;
  } kSources[] = {{"wsd", &DiscoverySettings::wsDiscovery},
                  {"avahi", &DiscoverySettings::avahi},
                  {"neighbours", &DiscoverySettings::neighbours}};
  std::string words = list;
  std::replace(words.begin(), words.end(), ',', ' ');
  std::istringstream in(words);
  DiscoverySettings chosen = *this;
  for (const auto& s : kSources) chosen.*s.source = false;
  std::string word;
  bool off = false, named = false;
  while (in >> word) {
    named = true;
    bool known = word == "off";
    off = off || known;
    for (const auto& s : kSources)
      if (word == s.name) chosen.*s.source = known = true;
    if (!known) {
      if (error) *error = "unknown discovery source '" + word + "' (wsd, avahi, neighbours or off)";
      return false;
    }
  }
  if (!named || (off && chosen.Any())) {
    if (error) *error = "discovery takes wsd, avahi, neighbours, any of them, or off";
    return false;
  }
  *this = chosen;
  return true;
}

bool DiscoverySettings::SetSearchMs(const std::string& text, std::string* error) {
  char* end = nullptr;
  const long ms = text.empty() ? -1 : std::strtol(text.c_str(), &end, 10);
  if (ms < 100 || ms > kMaxSearchMs || *end != '\0') {
    if (error) *error = "the discovery time takes milliseconds (100 to 60000), not '" + text + "'";
    return false;
  }
  searchMs = static_cast<int>(ms);
  return true;
}

DiscoverySettings DiscoverySettings::FromEnvironment() {
  DiscoverySettings s;
  // Test settings only: never read on behalf of the caller of a set-user-ID host.
  const char* fixture = secure_getenv("CAVIX_NEIGHBOUR_TABLE");
  if (fixture && *fixture) s.wsDiscovery = s.avahi = false;
  const char* sources = secure_getenv("CAVIX_DISCOVERY");
  if (sources && *sources) s.SetSources(sources, nullptr);
  return s;
}
