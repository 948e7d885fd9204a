// Result helpers: store an error code through a caller's pdwErrorCode and give the matching
// HRESULT, each inside a "SetError" trace scope on the global log; and the conversion of a
// thrown failure into a CAVIX_ERRORS code at an operation's boundary.
// A null error-code pointer is skipped silently by every helper (the scope is still logged).
#ifndef CAVIX_LOG_RESULTHELPERS_H
#define CAVIX_LOG_RESULTHELPERS_H

#include <cstdint>

#include "driver/CavixCom.h"
#include "driver/CavixErrors.h"
#include "platform/ScanError.h"

enum class ResultOutcome {
  InvalidPointer,    // code 2, E_POINTER
  InvalidParameter,  // code 2, E_FAIL
  Unknown,           // code 9, E_FAIL
  LockFailed,        // code 5, E_FAIL
  Success,           // code 0, S_OK
  EndOfPage,         // code 15, S_OK
};

// Stores the outcome's code and returns its HRESULT.
HRESULT SetResult(ResultOutcome outcome, DWORD* pdwErrorCode);
// Stores `code`; returns true.
bool SetError(DWORD* pdwErrorCode, DWORD code);

inline HRESULT SetInvalidPointer(DWORD* e) { return SetResult(ResultOutcome::InvalidPointer, e); }
inline HRESULT SetInvalidParameter(DWORD* e) { return SetResult(ResultOutcome::InvalidParameter, e); }
inline HRESULT SetUnknownError(DWORD* e) { return SetResult(ResultOutcome::Unknown, e); }
inline HRESULT SetLockFailed(DWORD* e) { return SetResult(ResultOutcome::LockFailed, e); }
inline HRESULT SetSuccess(DWORD* e) { return SetResult(ResultOutcome::Success, e); }
inline HRESULT SetEndOfPage(DWORD* e) { return SetResult(ResultOutcome::EndOfPage, e); }

// Call only inside a catch handler: classifies the exception being handled in this order:
// std::bad_alloc -> CERR_OUT_OF_MEMORY, a CAVIX_ERRORS value -> that value, anything else ->
// CERR_UNKNOWN.
DWORD ErrorCodeFromCurrentException() noexcept;
// The same, as the error value: the code above with the exception's own text (what(), a thrown
// text, or the code's name).
ScanError ErrorFromCurrentException() noexcept;

// Runs `body` (returning bool); a thrown failure is converted as above, stored in `error` and
// gives false.
template <class Body>
bool CallConvertingErrors(DWORD& error, Body&& body) {
  try {
    return body();
  } catch (...) {
    error = ErrorCodeFromCurrentException();
    return false;
  }
}

#endif
