#include "platform/ComClassFactory.h"

namespace {
std::atomic<long> g_serverLocks{0};
}

HRESULT ComClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IClassFactory) {
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

ULONG ComClassFactory::AddRef() { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG ComClassFactory::Release() { return refs_.fetch_sub(1, std::memory_order_relaxed) - 1; }

HRESULT ComClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (create_ == nullptr) return E_UNEXPECTED;
  return create_(outer, riid, ppv);
}

HRESULT ComClassFactory::LockServer(BOOL lock) {
  if (lock) {
    g_serverLocks.fetch_add(1, std::memory_order_relaxed);
  } else if (g_serverLocks.fetch_sub(1, std::memory_order_relaxed) <= 0) {
    // More unlocks than locks: undo and refuse rather than go negative.
    g_serverLocks.fetch_add(1, std::memory_order_relaxed);
    return E_UNEXPECTED;
  }
  return S_OK;
}

long ComClassFactory::ServerLocks() { return g_serverLocks.load(std::memory_order_relaxed); }
