// Reading the driver's log file in tests: the line prefix (date, time, tick, process, thread)
// is taken off so that lines compare exactly, and elapsed times are masked.
#ifndef CAVIX_TESTS_DRIVER_LOGLINES_H
#define CAVIX_TESTS_DRIVER_LOGLINES_H

#include <cctype>
#include <string>

// "MM/DD/YYYY HH:MM:SS.mmm TTTTTTTTTT  [P:<pid>] [T:<tid>] " off the front of a log line; a line
// without that prefix (the later lines of a dump) comes back unchanged.
inline std::string WithoutLogPrefix(const std::string& line) {
  static const char kShape[] = "dd/dd/dddd dd:dd:dd.ddd dddddddddd  [P:";
  const size_t shapeLength = sizeof kShape - 1;
  if (line.size() < shapeLength) return line;
  for (size_t i = 0; i < shapeLength; ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(line[i])) != 0;
    if (kShape[i] == 'd' ? !digit : line[i] != kShape[i]) return line;
  }
  const size_t thread = line.find("] [T:", shapeLength);
  if (thread == std::string::npos) return line;
  const size_t end = line.find("] ", thread + 5);
  return end == std::string::npos ? line : line.substr(end + 2);
}

// "Elapsed: <n>ms" at the end of a line becomes "Elapsed: Nms".
inline std::string WithoutElapsed(const std::string& line) {
  const size_t at = line.rfind("Elapsed: ");
  if (at == std::string::npos || line.size() < at + 11 || line.compare(line.size() - 2, 2, "ms") != 0) return line;
  for (size_t i = at + 9; i < line.size() - 2; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) return line;
  }
  return line.substr(0, at) + "Elapsed: Nms";
}

#endif
