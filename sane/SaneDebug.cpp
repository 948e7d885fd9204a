#include "sane/SaneDebug.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

int SaneDebug::Current() {
  // -1: not read yet. Two threads reading it at once both store the same value.
  static std::atomic<int> level{-1};
  int v = level.load(std::memory_order_relaxed);
  if (v < 0) {
    const char* env = std::getenv("SANE_DEBUG_CAVIX");
    char* end = nullptr;
    const long n = env && *env ? std::strtol(env, &end, 10) : 0;
    v = env && *env && *end == 0 && n > 0 ? static_cast<int>(n > 255 ? 255 : n) : 0;
    level.store(v, std::memory_order_relaxed);
  }
  return v;
}

void SaneDebug::Print(int level, const char* format, ...) {
  if (!On(level)) return;
  char line[1024];
  int n = std::snprintf(line, sizeof line, "[cavix] ");
  va_list args;
  va_start(args, format);
  const int body = std::vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, format, args);
  va_end(args);
  if (body > 0) n += body;
  // A cut line still ends with its newline; one write keeps lines of two threads apart.
  if (n > static_cast<int>(sizeof line) - 2) n = static_cast<int>(sizeof line) - 2;
  line[n++] = '\n';
  ssize_t ignored = ::write(STDERR_FILENO, line, static_cast<size_t>(n));
  (void)ignored;
}
