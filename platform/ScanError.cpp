#include "platform/ScanError.h"

#include <string.h>

ScanError::ScanError(Kind kind, uint32_t code, const char* text) noexcept : kind_(kind), code_(code) {
  try {
    if (text != nullptr) text_ = text;
  } catch (...) {
    // No memory for the text: the kind and the code still tell the failure.
  }
}

ScanError::ScanError(const ScanError& other) noexcept : kind_(other.kind_), code_(other.code_) {
  try {
    text_ = other.text_;
  } catch (...) {
    // The kind and the code alone.
  }
}

ScanError& ScanError::operator=(const ScanError& other) noexcept {
  if (this == &other) return *this;
  kind_ = other.kind_;
  code_ = other.code_;
  try {
    text_ = other.text_;
  } catch (...) {
    text_.clear();
  }
  return *this;
}

ScanError ScanError::FromErrno(uint32_t code, const char* call, int error) noexcept {
  ScanError failure(Kind::Failed, code, call);
  try {
    failure.text_ += ": " + ErrnoText(error);
  } catch (...) {
    // The call's name alone.
  }
  return failure;
}

ScanError ScanError::Within(const char* what) const noexcept {
  ScanError outer(kind_, code_, what);
  try {
    if (!text_.empty()) outer.text_ += ": " + text_;
  } catch (...) {
    // The step's name alone.
  }
  return outer;
}

std::string ErrnoText(int error) {
  char buffer[256] = {0};
  // The GNU strerror_r returns its text, which need not be in the buffer.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : "Unknown error " + std::to_string(error);
}
