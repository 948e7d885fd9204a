#include "log/ResultHelpers.h"

#include <new>

#include "log/CHRESULT2.h"
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

DWORD ErrorCodeFromCurrentException() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return CERR_OUT_OF_MEMORY;
  } catch (CAVIX_ERRORS code) {
    return code;
  } catch (...) {
    return CERR_UNKNOWN;
  }
}
