// Reference counting and QueryInterface for a COM object that implements one or more interfaces
// and may be aggregated. The object keeps a non-delegating inner IUnknown; its interfaces'
// IUnknown methods delegate to the controlling unknown: the outer object when aggregated, else
// the inner unknown. Counting is atomic, so any thread may AddRef/Release. The object is deleted
// when the inner count drops to 0.
//
// Usage: derive through ComObject<I1, I2, ...> (platform/ComObject.h), override GetInterface to
// map IIDs to interface pointers (IID_IUnknown is handled here), and create with CreateComObject.
#ifndef CAVIX_PLATFORM_COMOBJECTROOT_H
#define CAVIX_PLATFORM_COMOBJECTROOT_H

#include <atomic>

#include "driver/CavixCom.h"

class ComObjectRoot {
 public:
  // outer: the controlling unknown when aggregated, else null. Not AddRef'd (aggregation rule).
  explicit ComObjectRoot(IUnknown* outer = nullptr);
  virtual ~ComObjectRoot();
  ComObjectRoot(const ComObjectRoot&) = delete;
  ComObjectRoot& operator=(const ComObjectRoot&) = delete;

  // The non-delegating unknown: what an aggregating outer object holds.
  IUnknown* InnerUnknown() { return &inner_; }
  // The controlling unknown: the outer object when aggregated, else the inner unknown.
  IUnknown* ControllingUnknown() { return outer_; }
  bool IsAggregated() const { return outer_ != &inner_; }

  // Delegating IUnknown for the interfaces' implementations.
  HRESULT OuterQueryInterface(REFIID riid, void** ppv) { return outer_->QueryInterface(riid, ppv); }
  ULONG OuterAddRef() { return outer_->AddRef(); }
  ULONG OuterRelease() { return outer_->Release(); }

  // Number of ComObjectRoot objects alive in this module (for DllCanUnloadNow).
  static long LiveObjects();

 protected:
  // Maps an IID (other than IID_IUnknown) to an interface pointer of this object, or null.
  // Must not AddRef.
  virtual void* GetInterface(REFIID riid) = 0;

 private:
  class Inner : public IUnknown {
   public:
    explicit Inner(ComObjectRoot* self) : self_(self) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

   private:
    ComObjectRoot* self_;
  };

  Inner inner_;
  IUnknown* outer_;            // set once in the constructor
  std::atomic<ULONG> refs_{0};  // inner reference count
};

#endif
