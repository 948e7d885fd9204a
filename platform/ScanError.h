// One failure as it is handed up through the layers: the driver's error code (a CAVIX_ERRORS
// value), the text of what failed (libjpeg's formatted message, errno's text, a SOAP fault
// string), and what it means to a SOAP exchange that is delivering data to us. The default
// value is success. It becomes an HRESULT and a host's error code only at the driver's
// interface, and a SOAP runtime code only in the hooks the SOAP runtime calls
// (service/SoapResult.h).
// Making or copying one never throws: without memory for its text, the value keeps its kind
// and code and as much of the text as it has (failure paths run inside the SOAP runtime's
// hooks and on worker threads).
// Threads: a plain value, copied between threads, never shared.
#ifndef CAVIX_PLATFORM_SCANERROR_H
#define CAVIX_PLATFORM_SCANERROR_H

#include <cstdint>
#include <string>
#include <utility>

#include "driver/CavixErrors.h"

class ScanError {
 public:
  enum class Kind : uint8_t {
    None,       // success
    Failed,     // the operation failed: an exchange delivering data fails
    EndOfData,  // the page was ended or cancelled under its writer: the exchange stops reading
    Declined,   // the data is not wanted: reception stops at this chunk
  };

  ScanError() = default;
  ScanError(Kind kind, uint32_t code, const char* text) noexcept;
  ScanError(Kind kind, uint32_t code, std::string text) noexcept : kind_(kind), code_(code), text_(std::move(text)) {}
  ScanError(const ScanError& other) noexcept;
  ScanError& operator=(const ScanError& other) noexcept;
  ScanError(ScanError&&) noexcept = default;
  ScanError& operator=(ScanError&&) noexcept = default;

  static ScanError Failed(uint32_t code, const char* text) noexcept { return {Kind::Failed, code, text}; }
  static ScanError Failed(uint32_t code, std::string text) noexcept { return {Kind::Failed, code, std::move(text)}; }
  static ScanError EndOfData(uint32_t code, const char* text) noexcept { return {Kind::EndOfData, code, text}; }
  static ScanError Declined() noexcept { return {Kind::Declined, CERR_NONE, "data not wanted"}; }
  // A failed system call: the text is "<call>: <errno's text>".
  static ScanError FromErrno(uint32_t code, const char* call, int error) noexcept;

  bool Ok() const { return kind_ == Kind::None; }
  Kind GetKind() const { return kind_; }
  uint32_t Code() const { return code_; }
  const std::string& Text() const { return text_; }

  // The same failure seen from a step above: "<what>: <text>", kind and code unchanged.
  ScanError Within(const char* what) const noexcept;

 private:
  Kind kind_ = Kind::None;
  uint32_t code_ = CERR_NONE;
  std::string text_;
};

// errno's text for `error` ("Unknown error N" for a value the system does not name).
std::string ErrnoText(int error);

#endif
