// cavix-scan: scans from a Cavix scanner (or the embedded simulated one) through the driver
// module, and manages the module's registration and log switches.
#include <signal.h>

#include <cstdio>

#include "tools/ErrorCatalog.h"
#include "tools/ScanCommandLine.h"
#include "tools/ScanTool.h"

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  ParsedCommandLine parsed = ScanCommandLine::Parse(argc, argv);
  if (!parsed.ok) {
    std::fprintf(stderr, "cavix-scan: %s\nTry 'cavix-scan --help'.\n", parsed.error.c_str());
    return kExitUsage;
  }
  ScanTool tool(stdout, stderr);
  return tool.Run(parsed.options);
}
