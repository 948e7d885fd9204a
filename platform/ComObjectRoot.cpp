#include "platform/ComObjectRoot.h"

namespace {
std::atomic<long> g_liveObjects{0};
}

ComObjectRoot::ComObjectRoot(IUnknown* outer) : inner_(this), outer_(outer != nullptr ? outer : &inner_) {
  g_liveObjects.fetch_add(1, std::memory_order_relaxed);
}

ComObjectRoot::~ComObjectRoot() { g_liveObjects.fetch_sub(1, std::memory_order_relaxed); }

long ComObjectRoot::LiveObjects() { return g_liveObjects.load(std::memory_order_relaxed); }

HRESULT ComObjectRoot::Inner::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown) {
    // The inner unknown answers for identity only when it is the controlling one; an outer
    // object asks the inner unknown for IUnknown to hold it.
    *ppv = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  void* itf = self_->GetInterface(riid);
  if (itf == nullptr) return E_NOINTERFACE;
  // The interface's AddRef goes to the controlling unknown.
  static_cast<IUnknown*>(itf)->AddRef();
  *ppv = itf;
  return S_OK;
}

ULONG ComObjectRoot::Inner::AddRef() { return self_->refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

ULONG ComObjectRoot::Inner::Release() {
  ULONG left = self_->refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete self_;
  return left;
}
