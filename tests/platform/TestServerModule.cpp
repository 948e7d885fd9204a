// An in-process server for the creation helpers' tests: serves TestCounter.
#include "platform/ComClassFactory.h"
#include "tests/platform/TestInterfaces.h"

namespace {

HRESULT CreateCounter(IUnknown* outer, REFIID riid, void** ppv) {
  return CreateComObject<TestCounter>(outer, riid, ppv);
}

ComClassFactory g_factory(&CreateCounter);

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (clsid != CLSID_TestCounter) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}
