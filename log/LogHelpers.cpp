#include "log/LogHelpers.h"

#include "log/CLog2.h"
#include "log/ErrorNames.h"
#include "log/GlobalLog.h"

void RaiseError(uint32_t code) {
  if (CLog2* log = GetGlobalLog()) log->print(LOG_ERROR_MSG, "Exception thrown = %d", static_cast<int>(code));
  throw static_cast<CAVIX_ERRORS>(code);
}

void RaiseErrorText(const char* text) {
  if (CLog2* log = GetGlobalLog()) log->print(LOG_ERROR_MSG, "Exception: %s", text ? text : "");
  throw text;
}

uint32_t LogErrorCode(uint32_t code) {
  if (CLog2* log = GetGlobalLog()) {
    if (const char* name = LookUpShortErrorName(code)) {
      log->print(LOG_ERROR_MSG, "%s", name);
    } else {
      log->print(LOG_ERROR_MSG, "error = %d", static_cast<int>(code));
    }
  }
  return code;
}

bool LogErrorText(const char* text) {
  if (CLog2* log = GetGlobalLog()) log->print(LOG_ERROR_MSG, "Error: %s", text ? text : "");
  return false;
}

bool LogErrorTextWith(const char* text, const char* detail) {
  if (CLog2* log = GetGlobalLog()) log->print(LOG_ERROR_MSG, "Error: %s (%s)", text ? text : "", detail ? detail : "");
  return false;
}

void LogText(const char* text) {
  if (CLog2* log = GetGlobalLog()) log->print(LOG_INFO_MSG, "%s", text ? text : "");
}

void LogTextWith(const char* text, const char* detail) {
  if (CLog2* log = GetGlobalLog()) log->print(LOG_INFO_MSG, "%s (%s)", text ? text : "", detail ? detail : "");
}

void LogNamedValue(const char* name, int value) {
  if (CLog2* log = GetGlobalLog()) log->print(LOG_INFO_MSG, "%s = %d", name ? name : "", value);
}
