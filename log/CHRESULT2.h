// CHRESULT2: the scoped result of one operation. Writes a "+++" line when the operation starts
// and a "---" line with the HRESULT, the error code and the elapsed time when it ends, and
// carries the HRESULT in between:
//
//   HRESULT CavixDriver::StartScan(DWORD hSession, DWORD* pdwErrorCode) {
//     *pdwErrorCode = 0;
//     CHRESULT2 hr(GetGlobalLog(), "CavixDriver::StartScan", hSession, pdwErrorCode);
//     ...
//     hr = E_FAIL;
//     return hr;
//   }
//
// Threads: a scope lives on its caller's stack and is used by that thread only. The depth
// counter that gives the log its indentation is kept per thread, so a line is indented by the
// scopes open in the thread that writes it and concurrent scopes do not shift each other.
// Cost with a log that refuses the levels: the filter test and the depth counter; no allocation,
// no lock, no system call. A null log means no lines and no depth counting.
#ifndef CAVIX_LOG_CHRESULT2_H
#define CAVIX_LOG_CHRESULT2_H

#include <cstdint>
#include <string>

#include "driver/CavixCom.h"
#include "driver/CavixErrors.h"
#include "log/CLog2.h"

class CHRESULT2 {
 public:
  // Records the fields and the start tick and writes the entry line.
  CHRESULT2(CLog2* log, const char* name, DWORD session = 0, DWORD* errorCode = nullptr,
            uint32_t level = 0);
  // The same with printf-style arguments shown in parentheses after the name (formatted only
  // when the entry line is written; texts over 16 383 characters are truncated).
  CHRESULT2(CLog2* log, const char* name, DWORD session, DWORD* errorCode, uint32_t level,
            const char* format, ...) CAVIX_PRINTF_FORMAT(7, 8);
  // Writes the exit line.
  virtual ~CHRESULT2();

  CHRESULT2(const CHRESULT2&) = delete;
  CHRESULT2& operator=(const CHRESULT2&) = delete;

  CHRESULT2& operator=(HRESULT hr) {
    result_ = hr;
    return *this;
  }
  operator HRESULT() const { return result_; }

  // The text of the entry line after the prefix, line break included; `args` null for the
  // plain form.
  static std::string FormatEntryLine(const char* name, const char* args, DWORD session);
  // The text of the exit line after the prefix, line break included.
  static std::string FormatExitLine(const char* name, DWORD session, HRESULT result,
                                    const DWORD* errorCode, uint32_t elapsedMs);
  // The level of the exit line: error when the result is negative or the code is nonzero.
  static uint32_t ExitLevel(HRESULT result, const DWORD* errorCode, uint32_t level);

  // Scopes with a log open in the calling thread.
  static int32_t Depth();

 protected:
  virtual void WriteEntryLine(const char* args);
  virtual void WriteEntryLine();
  virtual void WriteExitLine();

 private:
  void Open();
  void OpenWithArguments(const char* format, va_list args);

  HRESULT result_ = S_OK;
  const char* name_;
  uint32_t startTick_ = 0;
  DWORD session_;
  DWORD* errorCode_;
  uint32_t level_;
  CLog2* log_;
};

#endif
