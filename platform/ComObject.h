// A COM object class implementing the interfaces I... on top of ComObjectRoot: one final
// IUnknown implementation for all interface bases, delegating to the controlling unknown.
// CreateComObject builds one with the aggregation rules of IClassFactory::CreateInstance.
#ifndef CAVIX_PLATFORM_COMOBJECT_H
#define CAVIX_PLATFORM_COMOBJECT_H

#include <new>
#include <utility>

#include "platform/ComObjectRoot.h"

template <class... Interfaces>
class ComObject : public ComObjectRoot, public Interfaces... {
 public:
  explicit ComObject(IUnknown* outer = nullptr) : ComObjectRoot(outer) {}
  HRESULT QueryInterface(REFIID riid, void** ppv) override { return OuterQueryInterface(riid, ppv); }
  ULONG AddRef() override { return OuterAddRef(); }
  ULONG Release() override { return OuterRelease(); }
};

// Creates a T (derived from ComObjectRoot, constructed as T(outer, args...)) and returns the
// interface riid through *ppv. When aggregated, only IID_IUnknown may be asked for (else
// CLASS_E_NOAGGREGATION) and the inner unknown is returned. The new object is deleted when the
// query fails. A constructor that throws gives E_OUTOFMEMORY (bad_alloc) or E_FAIL.
template <class T, class... Args>
HRESULT CreateComObject(IUnknown* outer, REFIID riid, void** ppv, Args&&... args) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
  T* object = nullptr;
  try {
    object = new T(outer, std::forward<Args>(args)...);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;  // a constructor's failure must not cross the COM boundary
  }
  IUnknown* inner = object->InnerUnknown();
  inner->AddRef();  // hold it across the query
  HRESULT hr = inner->QueryInterface(riid, ppv);
  inner->Release();  // deletes the object when the query failed
  return hr;
}

#endif
