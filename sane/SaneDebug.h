// The backend's debug output on standard error, by SANE's convention for every backend:
// SANE_DEBUG_CAVIX=N prints the messages of level N and below, each line led by "[cavix] ".
// Levels: 1 errors and ignored configuration, 2 what was opened and each start, page end and
// cancel with its status and time, 3 each option set and the value written back, 4 the handle's
// state transitions, 5 each read. The level is read once, at the first message or Level().
// Any thread (a line is one write); never called from a signal handler.
#ifndef CAVIX_SANE_SANEDEBUG_H
#define CAVIX_SANE_SANEDEBUG_H

class SaneDebug {
 public:
  enum Level { kError = 1, kInfo = 2, kOption = 3, kState = 4, kRead = 5 };

  // The level SANE_DEBUG_CAVIX asks for (0 without it or for a value that is not a number).
  static int Current();
  static bool On(int level) { return level <= Current(); }
  // printf-style; nothing above the current level.
  static void Print(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
};

#define CAVIX_SANE_DEBUG(level, ...)                                     \
  do {                                                                   \
    if (SaneDebug::On(level)) SaneDebug::Print(level, __VA_ARGS__);      \
  } while (0)

#endif
