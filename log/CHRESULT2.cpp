#include "log/CHRESULT2.h"

#include <cstdarg>
#include <cstdio>
#include <memory>

#include "log/ErrorNames.h"
#include "platform/SystemInfo.h"

namespace {

// Scopes with a log open in this thread.
thread_local int32_t t_traceDepth = 0;

void AppendHex(std::string& out, uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", value);
  out += buf;
}

void AppendDecimal(std::string& out, uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u", value);
  out += buf;
}

}  // namespace

int32_t CHRESULT2::Depth() { return t_traceDepth; }

CHRESULT2::CHRESULT2(CLog2* log, const char* name, DWORD session, DWORD* errorCode,
                     uint32_t level)
    : name_(name), session_(session), errorCode_(errorCode), level_(level), log_(log) {
  Open();
  if (log_ != nullptr) {
    if (log_->Admits(LOG_TRACE_INFO | level_)) {
      try {
        WriteEntryLine();
      } catch (...) {
        // The trace never changes the operation's outcome.
      }
    }
    ++t_traceDepth;
  }
}

CHRESULT2::CHRESULT2(CLog2* log, const char* name, DWORD session, DWORD* errorCode,
                     uint32_t level, const char* format, ...)
    : name_(name), session_(session), errorCode_(errorCode), level_(level), log_(log) {
  Open();
  if (log_ != nullptr) {
    if (log_->Admits(LOG_TRACE_INFO | level_)) {
      va_list args;
      va_start(args, format);
      try {
        OpenWithArguments(format, args);
      } catch (...) {
      }
      va_end(args);
    }
    ++t_traceDepth;
  }
}

CHRESULT2::~CHRESULT2() {
  if (log_ == nullptr) return;
  // Decrement first, so that the exit line is indented like its entry line.
  --t_traceDepth;
  try {
    WriteExitLine();
  } catch (...) {
  }
}

void CHRESULT2::Open() {
  // The start tick matters only when one of the two lines can be written; a log that refuses
  // both costs no clock read.
  if (log_ != nullptr &&
      (log_->Admits(LOG_TRACE_INFO | level_) || log_->Admits(LOG_TRACE_ERROR | level_))) {
    startTick_ = GetTickCount();
  }
}

void CHRESULT2::OpenWithArguments(const char* format, va_list args) {
  // Formatted per call, so concurrent scopes never share a buffer. vsnprintf cuts texts longer
  // than LOG_FORMAT_BUFFER_SIZE - 1 (16 383) characters.
  std::unique_ptr<char[]> buffer(new char[LOG_FORMAT_BUFFER_SIZE]);
  std::vsnprintf(buffer.get(), LOG_FORMAT_BUFFER_SIZE, format ? format : "", args);
  WriteEntryLine(buffer.get());
}

std::string CHRESULT2::FormatEntryLine(const char* name, const char* args, DWORD session) {
  std::string text = "+++";
  text += name ? name : "";
  if (args != nullptr) {
    text += '(';
    text += args;
    text += "): ";
  } else {
    text += ": ";
  }
  if (session != 0) {
    text += "SessionID=0x";
    AppendHex(text, session);
  }
  text += '\n';
  return text;
}

std::string CHRESULT2::FormatExitLine(const char* name, DWORD session, HRESULT result,
                                      const DWORD* errorCode, uint32_t elapsedMs) {
  std::string text = "---";
  text += name ? name : "";
  text += ": ";
  if (session != 0) {
    // The session runs straight into what follows, without a blank.
    text += "SessionID=0x: ";
    AppendHex(text, session);
  }
  if (result != 0) text += "ERROR: ";
  text += "hr=0x";
  AppendHex(text, static_cast<uint32_t>(result));
  if (errorCode != nullptr) {
    if (session != 0) {
      if (result != E_FAIL) {
        if (const char* hrName = LookUpExtendedResultName(result)) {
          text += " (";
          text += hrName;
          text += ')';
        }
      }
      text += ", CavixError=";
      const char* codeName = LookUpErrorName(*errorCode);
      text += codeName ? codeName : "error string not defined";
      text += " (";
      AppendDecimal(text, *errorCode);
      text += ')';
    } else {
      text += ", extended error=(";
      AppendDecimal(text, *errorCode);
      text += ')';
    }
  }
  text += ", Elapsed: ";
  AppendDecimal(text, elapsedMs);
  text += "ms\n";
  return text;
}

uint32_t CHRESULT2::ExitLevel(HRESULT result, const DWORD* errorCode, uint32_t level) {
  const bool failed = result < 0 || (errorCode != nullptr && *errorCode != 0);
  return (failed ? LOG_TRACE_ERROR : LOG_TRACE_INFO) | level;
}

void CHRESULT2::WriteEntryLine(const char* args) {
  if (CLog2::Line* line = log_->BeginLine(LOG_TRACE_INFO | level_, true)) {
    line->text << FormatEntryLine(name_, args, session_);
    log_->WriteLine(line);
  }
}

void CHRESULT2::WriteEntryLine() { WriteEntryLine(nullptr); }

void CHRESULT2::WriteExitLine() {
  const uint32_t level = ExitLevel(result_, errorCode_, level_);
  if (!log_->Admits(level)) return;
  if (CLog2::Line* line = log_->BeginLine(level, true)) {
    const uint32_t elapsed = GetTickCount() - startTick_;
    line->text << FormatExitLine(name_, session_, result_, errorCode_, elapsed);
    log_->WriteLine(line);
  }
}
