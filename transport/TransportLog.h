// printf-style lines on the global log for the transport classes, at the three message
// levels. A missing global log drops the line. Any thread.
#ifndef CAVIX_TRANSPORT_TRANSPORTLOG_H
#define CAVIX_TRANSPORT_TRANSPORTLOG_H

#include <cstdarg>

#include "log/CLog2.h"
#include "log/GlobalLog.h"
#include "log/LogLevels.h"

namespace transportlog {

inline void Print(uint32_t level, const char* format, va_list args) {
  CLog2* log = GetGlobalLog();
  if (log && log->Admits(level)) log->vprint(level, true, format, args);
}

// Information level (0x10000008).
inline void Info(const char* format, ...) CAVIX_PRINTF_FORMAT(1, 2);
inline void Info(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Print(LOG_INFO_MSG, format, args);
  va_end(args);
}

// Warning level (0x20000008).
inline void Warning(const char* format, ...) CAVIX_PRINTF_FORMAT(1, 2);
inline void Warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Print(LOG_WARNING_MSG, format, args);
  va_end(args);
}

// Error level (0x80000008), the format as given (LogErrorText adds "Error: ").
inline void Error(const char* format, ...) CAVIX_PRINTF_FORMAT(1, 2);
inline void Error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Print(LOG_ERROR_MSG, format, args);
  va_end(args);
}

}  // namespace transportlog

#endif
