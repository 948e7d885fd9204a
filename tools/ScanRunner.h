// One scan from an open, locked session into the output files: feeder options, parameters,
// buffer geometry, then page by page StartScan, ReadScanEx until the page is complete (its
// expected bytes, or a short read with CERR_SCANNER_END_OF_PAGE), StopScan. A feeder job goes
// on while the feeder reports paper (or until --pages), and an early stop cancels the rest of
// the job on the device. Runs on the calling thread; the cancellation may come from another.
#ifndef CAVIX_TOOLS_SCANRUNNER_H
#define CAVIX_TOOLS_SCANRUNNER_H

#include <string>
#include <vector>

#include "driver/CavixScanner.h"
#include "tools/ErrorCatalog.h"
#include "tools/ProgressReporter.h"
#include "tools/ScanCancellation.h"
#include "tools/ScanOptions.h"

struct ScanOutcome {
  ExitStatus exit = kExitOk;
  std::string message;             // why it failed (empty on success)
  std::vector<std::string> files;  // complete files written
  unsigned pages = 0;              // complete pages
  std::vector<std::string> removed;  // names whose part page was dropped, left as they were
};

class ScanRunner {
 public:
  ScanRunner(IScanner* scanner, IADF2* adf, DWORD session, const ScanOptions& options,
             ProgressReporter& progress, ScanCancellation& cancel);

  ScanOutcome Run();

  // The parameters record for the options (ScanParameterMapping::Parameters).
  static SCANNER_PARAMETERS Parameters(const ScanOptions& options);
  // How many bytes one ReadScanEx asks for at most.
  static constexpr DWORD kChunk = 64 * 1024;

 private:
  ScanOutcome Fail(ScanOutcome& o, const std::string& call, HRESULT hr, DWORD code);
  bool ReadPage(uint64_t expected, std::vector<uint8_t>& buffer, ScanOutcome& o, class OutputTarget& out);
  void CancelRestOfJob();

  IScanner* scanner_;
  IADF2* adf_;
  DWORD session_;
  const ScanOptions& options_;
  ProgressReporter& progress_;
  ScanCancellation& cancel_;
};

#endif
