// Process and system facts in the shape of the Windows calls the module uses. Free functions,
// any thread.
#ifndef CAVIX_PLATFORM_SYSTEMINFO_H
#define CAVIX_PLATFORM_SYSTEMINFO_H

#include <string>

#include "driver/CavixCom.h"

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;      // 1..12
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// Milliseconds of the monotonic clock, truncated to 32 bits (wraps after about 49.7 days).
DWORD GetTickCount();
DWORD GetCurrentProcessId();  // getpid()
DWORD GetCurrentThreadId();   // gettid()
// Local time now (localtime_r) with milliseconds.
void GetLocalTime(SYSTEMTIME* time);
// Sleeps at least ms milliseconds.
void Sleep(DWORD ms);
// Absolute path of the shared object (or executable) that holds address (dladdr); empty if
// unknown.
std::string GetModulePathOf(const void* address);
// Absolute path of the running executable (/proc/self/exe); empty if unknown.
std::string GetExecutablePath();
// Debugger output: the text goes to standard error unchanged (no newline added).
void OutputDebugString(const char* text);

#endif
