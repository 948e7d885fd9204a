// Names of the error codes and extended HRESULTs as the log shows them.
#ifndef CAVIX_LOG_ERRORNAMES_H
#define CAVIX_LOG_ERRORNAMES_H

#include <cstdint>

#include "driver/CavixCom.h"
#include "driver/CavixErrors.h"

struct ErrorNameEntry {
  uint32_t code;
  const char* name;
};

// End marker of g_cavixErrorNames.
constexpr uint32_t ERROR_NAMES_END = 0xFFFF;

// The exit line's table of CAVIX_ERRORS names, in its fixed order, ended by ERROR_NAMES_END.
extern const ErrorNameEntry g_cavixErrorNames[];

struct ExtendedResultEntry {
  HRESULT hr;
  const char* name;
};
extern const ExtendedResultEntry g_extendedResultNames[];
extern const unsigned g_extendedResultNameCount;

// Walks g_cavixErrorNames from the start; the first match wins. nullptr when not listed.
const char* LookUpErrorName(uint32_t code);
// The name of an extended HRESULT (facility 4), nullptr for any other value.
const char* LookUpExtendedResultName(HRESULT hr);
// The short table of LogErrorCode ("CERR_NONE" for 0); nullptr when not listed.
const char* LookUpShortErrorName(uint32_t code);

#endif
