// The registry editor's export format ("Windows Registry Editor Version 5.00") for one root.
//
// Reading accepts what the Windows registry editor exports and people write by hand: UTF-8
// (with or without BOM) or UTF-16LE with BOM, LF or CRLF line ends, ';' comments, blank lines,
// [KEY] sections, [-KEY] key deletions, "Name"=- value deletions, @ for the default value,
// "text" strings with \\ and \" escapes, dword:XXXXXXXX, and hex:/hex(N): byte lists with "\"
// line continuations (kept as raw bytes and written back unchanged). Every key must lie under
// the file's root. Anything else is a RegistryError "file:line: reason".
//
// Writing produces UTF-8 with LF line ends: the header, a blank line, then each key (depth
// first, subkeys in order) as "[ROOT\path]", its values, and a blank line. Strings that hold
// control characters (other than tab) are written as hex(1) (UTF-16LE) so that they survive a
// round trip; such strings must be valid UTF-8 (RegistryKey refuses others).
// Stateless; any thread.
#ifndef CAVIX_PLATFORM_REGFILEFORMAT_H
#define CAVIX_PLATFORM_REGFILEFORMAT_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/RegistryTree.h"

class RegFileFormat {
 public:
  static constexpr const char* kHeader = "Windows Registry Editor Version 5.00";

  // Parses text into *tree (which should be empty). fileName only names the file in messages.
  // An empty text (0 bytes) is an empty root. Throws RegistryError(ERROR_REGISTRY_CORRUPT).
  static void Parse(const std::string& text, const std::string& fileName, RegistryRoot root, RegistryTree* tree);

  static std::string Format(const RegistryTree& tree, RegistryRoot root);

  // UTF-16LE bytes (as in hex(1)/hex(2) values) to UTF-8; stops at the first NUL unit unless
  // stopAtNul is false (NULs are then kept). false for an odd byte count or broken surrogates.
  static bool Utf16LeToUtf8(const std::vector<uint8_t>& bytes, std::string* text, bool stopAtNul = true);
  // UTF-8 to UTF-16LE bytes with a terminating NUL unit. false for invalid UTF-8.
  static bool Utf8ToUtf16Le(const std::string& text, std::vector<uint8_t>* bytes);
};

#endif
