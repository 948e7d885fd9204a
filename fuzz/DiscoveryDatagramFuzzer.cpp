// Fuzzes what discovery takes from the network: a WS-Discovery datagram as any host on the link
// may send it (WsDiscovery::Parse), the hosts of its transport addresses (HostOf), and the
// cleaning of a text before it is kept, logged or printed (NetworkText::Clean).
//
// Checks beyond the sanitizers: every text kept from a datagram is at most WsDiscovery::kMaxText
// bytes and there are at most 16 transport addresses; a host is empty or an address literal; the
// Resolve written for the endpoint read (as for a ProbeMatch without XAddrs) reads back as a
// Resolve of that same endpoint, or of none when it grew too long; a cleaned text is valid
// UTF-8 without control characters and at most 256 characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/NetworkText.h"
#include "transport/WsDiscovery.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Characters of valid UTF-8 without C0, DEL or C1 controls; -1 when it is not such a text.
long CleanCharacters(const std::string& text) {
  long characters = 0;
  for (size_t i = 0; i < text.size(); ++characters) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    size_t n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > text.size() || b < 0x20 || b == 0x7F) return -1;
    if (b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) return -1;  // C1
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return -1;
    i += n;
  }
  return characters;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  WsDiscovery::Message m;
  WsDiscovery::Parse(text, size, &m);
  for (const std::string* kept : {&m.action, &m.messageId, &m.relatesTo, &m.endpoint})
    Check(kept->size() <= WsDiscovery::kMaxText);
  Check(m.xaddrs.size() <= 16);
  for (const std::string& x : m.xaddrs) {
    const std::string host = WsDiscovery::HostOf(x);
    Check(host.find_first_of("/[]@ ") == std::string::npos);
  }
  if (!m.endpoint.empty()) {
    const std::string resolve = WsDiscovery::Resolve("urn:uuid:1", m.endpoint);
    WsDiscovery::Message back;
    Check(WsDiscovery::Parse(resolve.data(), resolve.size(), &back) && back.action == "Resolve");
    Check(back.endpoint == m.endpoint || back.endpoint.empty());
  }
  const std::string clean = NetworkText::Clean(text, size, NetworkText::kMaxCharacters);
  const long characters = CleanCharacters(clean);
  Check(characters >= 0 && characters <= static_cast<long>(NetworkText::kMaxCharacters));
  return 0;
}
