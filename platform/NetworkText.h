// Texts taken from the network (a scanner's model, friendly name, manufacturer, job token,
// fault texts) made safe to store, log and print: at most kMaxCharacters characters, every
// control character (C0, DEL, C1) and every byte that is not part of valid UTF-8 replaced by
// U+FFFD, so that no text can move a terminal's cursor, set its title or forge a line.
//
// Threads: stateless; any thread.
#ifndef CAVIX_PLATFORM_NETWORKTEXT_H
#define CAVIX_PLATFORM_NETWORKTEXT_H

#include <cstddef>
#include <string>

class NetworkText {
 public:
  static constexpr std::size_t kMaxCharacters = 256;

  // The safe form of `raw`: control characters and invalid UTF-8 replaced, cut after `cap`
  // characters (a whole character is never split).
  static std::string Clean(const char* raw, std::size_t length, std::size_t cap);
  static std::string Clean(const std::string& raw, std::size_t cap = kMaxCharacters) {
    return Clean(raw.data(), raw.size(), cap);
  }
  // The same for a C string; a null one is empty.
  static std::string FromC(const char* raw, std::size_t cap = kMaxCharacters);
};

#endif
