// Reads cavix-scan's command line into ScanOptions and checks it: every option's value, the
// combinations (feeder-only options on the platen, resolutions the source cannot give, a
// region outside the source), the output name. Wrong options give a message for the usage
// error (exit status 2). Stateless: any thread.
#ifndef CAVIX_TOOLS_SCANCOMMANDLINE_H
#define CAVIX_TOOLS_SCANCOMMANDLINE_H

#include <string>

#include "tools/ScanOptions.h"

struct ParsedCommandLine {
  bool ok = true;
  std::string error;  // when !ok: what is wrong, naming the option
  ScanOptions options;
};

class ScanCommandLine {
 public:
  static ParsedCommandLine Parse(int argc, const char* const* argv);
  static std::string UsageText();

  // A page size name (A4, A5, letter, legal; any letter case) in millimetres.
  static bool PageSize(const std::string& name, RegionMm* region);
  // The largest area of a source in millimetres (the platen's glass, the feeder's longest sheet);
  // ScanParameterMapping's, for the command line's callers.
  static RegionMm SourceArea(ScanSource source);
  // Millimetres to the driver's unit, 1/300 inch (rounded down, so that a full page stays within
  // the source's area).
  static uint32_t MmToUnits(double mm);
};

#endif
