// Raising and logging helpers on the global log. Every helper tolerates a missing global log:
// the message is dropped, the rest of the behaviour (return value, exception) is unchanged.
#ifndef CAVIX_LOG_LOGHELPERS_H
#define CAVIX_LOG_LOGHELPERS_H

#include <cstdint>

#include "driver/CavixErrors.h"

// Logs "Exception thrown = <code>" at error level and throws the code as a CAVIX_ERRORS value.
[[noreturn]] void RaiseError(uint32_t code);
// Logs "Exception: <text>" at error level and throws the text pointer (const char*).
[[noreturn]] void RaiseErrorText(const char* text);
// Logs the code's name from the short table (or "error = <code>") at error level; returns it.
uint32_t LogErrorCode(uint32_t code);
// Logs "Error: <text>" at error level; returns false.
bool LogErrorText(const char* text);
// Logs "Error: <text> (<detail>)" at error level: a documented text with what failed beside it
// (the Linux call and errno's text, a library's message); returns false. Allocates nothing.
bool LogErrorTextWith(const char* text, const char* detail);
// Logs the text at information level.
void LogText(const char* text);
// Logs "<text> (<detail>)" at information level, as LogErrorTextWith.
void LogTextWith(const char* text, const char* detail);
// Logs "<name> = <value>" at information level.
void LogNamedValue(const char* name, int value);

#endif
