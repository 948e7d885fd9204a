// Texts and exit statuses for the driver's error codes: the code's name, what it means for the
// person at the scanner, what to do, and the class of failure that decides cavix-scan's exit
// status. Read-only tables: any thread.
#ifndef CAVIX_TOOLS_ERRORCATALOG_H
#define CAVIX_TOOLS_ERRORCATALOG_H

#include <cstdint>
#include <string>

#include "driver/CavixCom.h"

// cavix-scan's exit statuses, one per class of failure.
enum ExitStatus : int {
  kExitOk = 0,
  kExitFailure = 1,
  kExitUsage = 2,
  kExitUnreachable = 3,
  kExitBusy = 4,
  kExitPaper = 5,
  kExitRefused = 6,
  kExitOutput = 7,
  kExitModule = 8,
  kExitCancelled = 130,
};

struct ErrorText {
  const char* name;     // "CERR_ADF_JAMMED"
  const char* meaning;  // "paper jam in the document feeder"
  const char* advice;   // "open the feeder, remove the sheet and scan again"
  ExitStatus exit;
};

class ErrorCatalog {
 public:
  // The entry of a CAVIX_ERRORS code; an unlisted code gets a generic entry (name "error N").
  static ErrorText Lookup(uint32_t code);
  // The name alone ("CERR_ADF_EMPTY", or "error 4711").
  static std::string Name(uint32_t code);
  // One line for the user: "paper jam in the document feeder (CERR_ADF_JAMMED, code 100):
  // open the feeder, remove the sheet and scan again". A busy HRESULT (CAVIX_E_SCONF_BUSY) is
  // reported as busy whatever the code says.
  static std::string Describe(HRESULT hr, uint32_t code);
  static ExitStatus ExitFor(HRESULT hr, uint32_t code);
};

#endif
