#include "driver/DriverModule.h"

#include <memory>

#include "driver/SessionTable.h"
#include "log/GlobalLog.h"
#include "platform/CCriticalSection2.h"
#include "platform/ComClassFactory.h"
#include "platform/ComObjectRoot.h"

namespace DriverModule {
namespace {

// Set by Load, cleared by Unload; no other thread runs then.
std::unique_ptr<SessionTable> g_sessions;
std::unique_ptr<CCriticalSection2> g_deviceCreationLock;

}  // namespace

void Load() {
  if (g_sessions) return;
  CreateGlobalLog();
  g_sessions.reset(new SessionTable());
  g_deviceCreationLock.reset(new CCriticalSection2());
}

void Unload() {
  if (!g_sessions) return;
  g_sessions->Clear();
  g_sessions.reset();
  g_deviceCreationLock.reset();
  DestroyGlobalLog();
}

bool IsLoaded() { return g_sessions != nullptr; }

SessionTable& Sessions() { return *g_sessions; }

CCriticalSection2& DeviceCreationLock() { return *g_deviceCreationLock; }

HRESULT CanUnloadNow() {
  return ComObjectRoot::LiveObjects() == 0 && ComClassFactory::ServerLocks() == 0 ? S_OK : S_FALSE;
}

}  // namespace DriverModule
