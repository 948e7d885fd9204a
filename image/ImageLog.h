// printf-style lines on the global log for the image data path; a missing log drops them.
#ifndef CAVIX_IMAGE_IMAGELOG_H
#define CAVIX_IMAGE_IMAGELOG_H

#include <cstdarg>
#include <cstdint>

#include "log/CLog2.h"
#include "log/GlobalLog.h"
#include "log/LogLevels.h"

inline void ImageLogLine(uint32_t level, const char* format, ...) CAVIX_PRINTF_FORMAT(2, 3);
inline void ImageLogLine(uint32_t level, const char* format, ...) {
  CLog2* log = GetGlobalLog();
  if (log == nullptr || !log->Admits(level)) return;
  va_list args;
  va_start(args, format);
  log->vprint(level, true, format, args);
  va_end(args);
}

#endif
