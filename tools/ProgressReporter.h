// Progress of a scan on standard error: on a terminal a bar redrawn in place (percent of the
// page's expected bytes, bytes so far, rate, page k of n); otherwise plain lines, one at the
// start of a page, one at each further tenth of it and one at its end; nothing when quiet.
// Used by the scanning thread only.
#ifndef CAVIX_TOOLS_PROGRESSREPORTER_H
#define CAVIX_TOOLS_PROGRESSREPORTER_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/ScanOptions.h"

class ProgressReporter {
 public:
  // Auto becomes Bar when `out` is a terminal, else Lines.
  ProgressReporter(ProgressStyle style, FILE* out);

  ProgressStyle Style() const { return style_; }
  // pages 0: the number of pages is not known in advance.
  void BeginPage(unsigned page, unsigned pages, uint64_t expectedBytes);
  void Update(uint64_t bytes);
  void EndPage(uint64_t bytes, const std::string& file);
  // A message that must not be torn by the bar (the bar line is ended first).
  void Note(const std::string& text);

  // "  42% 3.1 MiB of 7.4 MiB  1.2 MiB/s  page 2 of 6" (the text after the bar).
  static std::string Status(uint64_t bytes, uint64_t expected, double bytesPerSecond, unsigned page, unsigned pages);
  // "[########            ]" for a fraction 0..1 in `width` cells.
  static std::string Bar(double fraction, int width);
  static std::string Bytes(uint64_t n);

 private:
  void Draw(bool force);

  ProgressStyle style_;
  FILE* out_;
  unsigned page_ = 0;
  unsigned pages_ = 0;
  uint64_t expected_ = 0;
  uint64_t bytes_ = 0;
  int lastTenth_ = -1;
  int lastPercent_ = -1;
  bool barShown_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

#endif
