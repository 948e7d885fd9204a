#include "log/GlobalLog.h"

#include <atomic>

#include "driver/CavixScanner.h"
#include "log/CLog2.h"

namespace {
// No lock: an atomic, set while the module loads and cleared while it unloads.
std::atomic<CLog2*> g_globalLog{nullptr};
}

CLog2* GetGlobalLog() { return g_globalLog.load(std::memory_order_acquire); }

CLog2* CreateGlobalLog() {
  if (CLog2* existing = GetGlobalLog()) return existing;
  CLog2* log = new CLog2(CLSID_CavixScanner);
  CLog2* expected = nullptr;
  if (!g_globalLog.compare_exchange_strong(expected, log, std::memory_order_acq_rel)) {
    delete log;  // another caller was first
    return expected;
  }
  return log;
}

void DestroyGlobalLog() { delete g_globalLog.exchange(nullptr, std::memory_order_acq_rel); }
