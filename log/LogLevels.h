// Message levels of the diagnostic log. A level is a 32-bit word: the top four bits are the
// severity, the low 28 bits the categories. The log's LogLevel mask decides which pass.
#ifndef CAVIX_LOG_LOGLEVELS_H
#define CAVIX_LOG_LOGLEVELS_H

#include <cstdint>

// Severity bits.
constexpr uint32_t LOG_SEVERITY_MASK = 0xF0000000u;
constexpr uint32_t LOG_ERROR = 0x80000000u;
constexpr uint32_t LOG_WARNING = 0x20000000u;
constexpr uint32_t LOG_INFO = 0x10000000u;

// Category bits.
constexpr uint32_t LOG_CATEGORY_MASK = 0x0FFFFFFFu;
constexpr uint32_t LOG_CAT_TRACE = 0x2;      // operation entry and exit lines
constexpr uint32_t LOG_CAT_LOCK = 0x4;       // scanner lock
constexpr uint32_t LOG_CAT_GENERAL = 0x8;    // general messages
constexpr uint32_t LOG_CAT_DUMP = 0x10;      // diagnostic dumps of records
constexpr uint32_t LOG_CAT_LOCKNAME = 0x40;  // the scanner lock's semaphore-name line

// Levels in use.
constexpr uint32_t LOG_INFO_MSG = LOG_INFO | LOG_CAT_GENERAL;        // 0x10000008
constexpr uint32_t LOG_WARNING_MSG = LOG_WARNING | LOG_CAT_GENERAL;  // 0x20000008
constexpr uint32_t LOG_ERROR_MSG = LOG_ERROR | LOG_CAT_GENERAL;      // 0x80000008
constexpr uint32_t LOG_TRACE_INFO = LOG_INFO | LOG_CAT_TRACE;        // 0x10000002
constexpr uint32_t LOG_TRACE_ERROR = LOG_ERROR | LOG_CAT_TRACE;      // 0x80000002

#endif
