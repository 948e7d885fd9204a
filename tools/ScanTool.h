// cavix-scan as a whole: runs one parsed command (scan, caps, status, list, register,
// unregister, log, help) and returns its exit status. Creates the driver module, starts the embedded
// simulated scanner when no device is named, opens and locks the session, and prints results
// to `out` and messages to `err`. Runs on the main thread; the Ctrl-C watcher runs on its own.
#ifndef CAVIX_TOOLS_SCANTOOL_H
#define CAVIX_TOOLS_SCANTOOL_H

#include <cstdio>
#include <memory>
#include <string>

#include "tools/ScanOptions.h"

class ScannerModule;
class ScannerSession;
class EmbeddedScanner;

class ScanTool {
 public:
  ScanTool(FILE* out, FILE* err) : out_(out), err_(err) {}
  int Run(const ScanOptions& options);

  // Readable tables of the three capability records.
  static std::string CapabilitiesText(const struct SCANNER_CAPABILITIES& platen, const struct ADF2_CAPABILITIES& adf);

 private:
  int Register(const ScanOptions& o, bool registering);
  int Log(const ScanOptions& o);
  // Creates the driver, the embedded scanner when needed, and an open, locked session.
  int Connect(const ScanOptions& o, ScannerModule& module, EmbeddedScanner& sim,
              std::unique_ptr<ScannerSession>& session);
  int Caps(const ScanOptions& o);
  int Status(const ScanOptions& o);
  int List(const ScanOptions& o);
  int Scan(const ScanOptions& o);
  void Error(const std::string& text);
  void Info(const ScanOptions& o, const std::string& text);

  FILE* out_;
  FILE* err_;
};

#endif
