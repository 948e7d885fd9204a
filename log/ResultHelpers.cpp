#include "log/ResultHelpers.h"

#include <exception>
#include <new>

#include "log/CHRESULT2.h"
#include "log/ErrorNames.h"
#include "log/GlobalLog.h"

namespace {

struct OutcomeEntry {
  DWORD code;
  HRESULT hr;
};

// Indexed by ResultOutcome.
const OutcomeEntry kOutcomes[] = {
    {CERR_INVALID_PARAMETER, E_POINTER},  // InvalidPointer
    {CERR_INVALID_PARAMETER, E_FAIL},     // InvalidParameter
    {CERR_UNKNOWN, E_FAIL},               // Unknown
    {CERR_SCANNER_LOCK_FAILED, E_FAIL},   // LockFailed
    {CERR_NONE, S_OK},                    // Success
    {CERR_SCANNER_END_OF_PAGE, S_OK},     // EndOfPage
};

void StoreInScope(DWORD* pdwErrorCode, DWORD code) {
  { CHRESULT2 scope(GetGlobalLog(), "SetError"); }
  if (pdwErrorCode != nullptr) *pdwErrorCode = code;
}

}  // namespace

HRESULT SetResult(ResultOutcome outcome, DWORD* pdwErrorCode) {
  const OutcomeEntry& entry = kOutcomes[static_cast<int>(outcome)];
  StoreInScope(pdwErrorCode, entry.code);
  return entry.hr;
}

bool SetError(DWORD* pdwErrorCode, DWORD code) {
  StoreInScope(pdwErrorCode, code);
  return true;
}

DWORD ErrorCodeFromCurrentException() noexcept { return ErrorFromCurrentException().Code(); }

ScanError ErrorFromCurrentException() noexcept {
  uint32_t code = CERR_UNKNOWN;
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      code = CERR_OUT_OF_MEMORY;
      return ScanError::Failed(code, "out of memory");
    } catch (CAVIX_ERRORS thrown) {
      code = thrown;
      const char* name = LookUpErrorName(code);
      return ScanError::Failed(code, name != nullptr ? name : "error " + std::to_string(code));
    } catch (const std::exception& e) {
      return ScanError::Failed(code, e.what());
    } catch (const char* text) {
      return ScanError::Failed(code, text != nullptr ? text : "");
    } catch (...) {
      return ScanError::Failed(code, "unknown exception");
    }
  } catch (...) {
    // No memory for the text: the code alone.
    return ScanError(ScanError::Kind::Failed, code, std::string());
  }
}
