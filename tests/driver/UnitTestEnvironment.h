// The environment of the in-process driver tests: a temporary directory with the HKLM store,
// the lock directory and a log file that the scanner locks of the "LockTests" configuration
// write to; the driver module state is loaded for the whole run.
#ifndef CAVIX_TESTS_DRIVER_UNITTESTENVIRONMENT_H
#define CAVIX_TESTS_DRIVER_UNITTESTENVIRONMENT_H

#include <string>
#include <vector>

#include "tests/driver/LogLines.h"

// Name of the log configuration whose lines go to LockLogFile().
constexpr const char* kLockTestLogName = "LockTests";

const std::string& LockLogFile();
// Lines of the lock log from byte `offset` on, each without its date/tick/process/thread prefix.
std::vector<std::string> LockLogLinesFrom(size_t offset);
size_t LockLogSize();

#endif
