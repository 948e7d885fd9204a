#include "platform/ScanError.h"

#include <string.h>

ScanError ScanError::FromErrno(uint32_t code, const char* call, int error) {
  return Failed(code, std::string(call) + ": " + ErrnoText(error));
}

ScanError ScanError::Within(const char* what) const {
  if (text_.empty()) return {kind_, code_, what};
  return {kind_, code_, std::string(what) + ": " + text_};
}

std::string ErrnoText(int error) {
  char buffer[256] = {0};
  // The GNU strerror_r returns its text, which need not be in the buffer.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : "Unknown error " + std::to_string(error);
}
