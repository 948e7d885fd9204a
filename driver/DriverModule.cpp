#include "driver/DriverModule.h"

#include "driver/SessionTable.h"
#include "log/GlobalLog.h"
#include "platform/CCriticalSection2.h"
#include "platform/ComClassFactory.h"
#include "platform/ComObjectRoot.h"

namespace DriverModule {
namespace {

// Set by Load, cleared by Unload; no other thread runs then. Plain pointers: they must not have
// destructors of their own, since the module's unload may run after this file's static objects
// are gone.
SessionTable* g_sessions = nullptr;
CCriticalSection2* g_deviceCreationLock = nullptr;

}  // namespace

void Load() {
  if (g_sessions) return;
  CreateGlobalLog();
  g_sessions = new SessionTable();
  g_deviceCreationLock = new CCriticalSection2();
}

void Unload() {
  if (!g_sessions) return;
  g_sessions->Clear();
  delete g_sessions;
  g_sessions = nullptr;
  delete g_deviceCreationLock;
  g_deviceCreationLock = nullptr;
  DestroyGlobalLog();
}

bool IsLoaded() { return g_sessions != nullptr; }

SessionTable& Sessions() { return *g_sessions; }

CCriticalSection2& DeviceCreationLock() { return *g_deviceCreationLock; }

HRESULT CanUnloadNow() {
  return ComObjectRoot::LiveObjects() == 0 && ComClassFactory::ServerLocks() == 0 ? S_OK : S_FALSE;
}

}  // namespace DriverModule
