// The statuses this module gives a SOAP exchange beside the library's own, named once. The
// library's codes end at SOAP_ERR (99) and it passes HTTP statuses on from 200, so 100 to 199
// are free; none of the library's own codes is given another meaning here.
// The scan device maps each of them to a driver error (device/DeviceStatusMapping.cpp); the
// exchange guard (transport/ExchangeGuard) ends exchanges with the three marked "guard".
// Threads: any; constants only.
#ifndef CAVIX_SERVICE_EXCHANGESTATUS_H
#define CAVIX_SERVICE_EXCHANGESTATUS_H

enum ExchangeStatus : int {
  kExchangeScannerNotIdle = 100,  // the scanner did not become idle within the polling rounds
  kExchangeNotCompleted = 101,    // this side could not complete it: the transport's flush before
                                  // it failed, its answer could not be copied, or it had no job
  kExchangeTimedOut = 120,        // guard: the deadline or the image progress limit passed
  kExchangeTooLarge = 121,        // guard: the response or one of its texts was over its limit
  kExchangeAborted = 122,         // guard: another thread aborted it
};

struct ExchangeStatusInfo {
  int status;
  const char* name;
  bool endedByGuard;
};

// The one table of these statuses.
inline constexpr ExchangeStatusInfo kExchangeStatuses[] = {
    {kExchangeScannerNotIdle, "ScannerNotIdle", false},
    {kExchangeNotCompleted, "NotCompleted", false},
    {kExchangeTimedOut, "TimedOut", true},
    {kExchangeTooLarge, "TooLarge", true},
    {kExchangeAborted, "Aborted", true},
};

// Whether the exchange guard ended the exchange with this status.
constexpr bool IsGuardStatus(int status) {
  for (const ExchangeStatusInfo& entry : kExchangeStatuses) {
    if (entry.status == status) return entry.endedByGuard;
  }
  return false;
}

#endif
