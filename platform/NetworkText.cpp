#include "platform/NetworkText.h"

#include <cstdint>
#include <cstring>

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the valid UTF-8 sequence at p (n bytes left), 0 when it is not one. Overlong
// forms, surrogates and code points above U+10FFFF are invalid.
std::size_t SequenceLength(const unsigned char* p, std::size_t n, uint32_t* codePoint) {
  const unsigned char b = p[0];
  if (b < 0x80) return *codePoint = b, 1;
  std::size_t length;
  uint32_t cp, min;
  if ((b & 0xE0) == 0xC0) length = 2, cp = b & 0x1F, min = 0x80;
  else if ((b & 0xF0) == 0xE0) length = 3, cp = b & 0x0F, min = 0x800;
  else if ((b & 0xF8) == 0xF0) length = 4, cp = b & 0x07, min = 0x10000;
  else return 0;
  if (length > n) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  *codePoint = cp;
  return length;
}

bool IsControl(uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

}  // namespace

std::string NetworkText::Clean(const char* raw, std::size_t length, std::size_t cap) {
  std::string out;
  const auto* p = reinterpret_cast<const unsigned char*>(raw);
  std::size_t characters = 0;
  for (std::size_t i = 0; i < length && characters < cap; ++characters) {
    uint32_t cp = 0;
    const std::size_t n = SequenceLength(p + i, length - i, &cp);
    if (n == 0 || IsControl(cp)) {
      out += kReplacement;
      i += n == 0 ? 1 : n;
    } else {
      out.append(raw + i, n);
      i += n;
    }
  }
  return out;
}

std::string NetworkText::FromC(const char* raw, std::size_t cap) {
  return raw ? Clean(raw, std::strlen(raw), cap) : std::string();
}
