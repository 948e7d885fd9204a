#include "service/SoapResult.h"

#include <stdsoap2.h>

#include <limits>

int SoapResultOf(const ScanError& error, size_t chunkLength) {
  static const struct {
    ScanError::Kind kind;
    int code;
  } kCodes[] = {
      {ScanError::Kind::None, SOAP_OK},
      {ScanError::Kind::EndOfData, SOAP_EOF},
      {ScanError::Kind::Failed, SOAP_FATAL_ERROR},
  };
  if (error.GetKind() == ScanError::Kind::Declined) {
    const size_t largest = static_cast<size_t>(std::numeric_limits<int>::max());
    return chunkLength > largest ? std::numeric_limits<int>::max() : static_cast<int>(chunkLength);
  }
  for (const auto& entry : kCodes)
    if (entry.kind == error.GetKind()) return entry.code;
  return SOAP_FATAL_ERROR;
}
