// A class factory whose CreateInstance calls a creation function. Static instances are fine:
// AddRef/Release do not delete it; LockServer counts module locks (for DllCanUnloadNow).
// Any thread may call it.
#ifndef CAVIX_PLATFORM_COMCLASSFACTORY_H
#define CAVIX_PLATFORM_COMCLASSFACTORY_H

#include <atomic>

#include "driver/CavixCom.h"

class ComClassFactory : public IClassFactory {
 public:
  typedef HRESULT (*CreateFn)(IUnknown* outer, REFIID riid, void** ppv);
  explicit ComClassFactory(CreateFn create) : create_(create) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT LockServer(BOOL lock) override;

  // Module locks taken through LockServer by all factories of this module.
  static long ServerLocks();

 private:
  CreateFn create_;
  std::atomic<ULONG> refs_{1};  // informational only; the factory is not deleted by Release
};

#endif
