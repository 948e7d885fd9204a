// Reference counting, QueryInterface and aggregation of COM objects, and the class factory.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <thread>

#include "platform/ComClassFactory.h"
#include "tests/platform/TestInterfaces.h"

namespace {

TEST(ComObjectTest, InterfacesShareOneIdentityAndOneCount) {
  int live = 0;
  ICounter* counter = nullptr;
  ASSERT_EQ(CreateComObject<TestCounter>(nullptr, IID_ICounter, reinterpret_cast<void**>(&counter), &live), S_OK);
  ASSERT_NE(counter, nullptr);
  EXPECT_EQ(live, 1);
  EXPECT_EQ(counter->Next(), 1);

  INamed* named = nullptr;
  ASSERT_EQ(counter->QueryInterface(IID_INamed, reinterpret_cast<void**>(&named)), S_OK);
  EXPECT_STREQ(named->Name(), "counter");
  IUnknown* id1 = nullptr;
  IUnknown* id2 = nullptr;
  ASSERT_EQ(counter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&id1)), S_OK);
  ASSERT_EQ(named->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&id2)), S_OK);
  EXPECT_EQ(id1, id2) << "IUnknown is the object's identity";
  ICounter* again = nullptr;
  ASSERT_EQ(named->QueryInterface(IID_ICounter, reinterpret_cast<void**>(&again)), S_OK);
  EXPECT_EQ(again, counter);
  EXPECT_EQ(again->Next(), 2) << "the same object";

  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(counter->QueryInterface(IID_IMissing, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(counter->QueryInterface(IID_ICounter, nullptr), E_POINTER);

  // Five references now: counter, named, id1, id2, again.
  EXPECT_EQ(counter->AddRef(), 6u);
  EXPECT_EQ(counter->Release(), 5u);
  id1->Release();
  id2->Release();
  again->Release();
  named->Release();
  EXPECT_EQ(live, 1);
  EXPECT_EQ(counter->Release(), 0u);
  EXPECT_EQ(live, 0) << "deleted with the last reference";
}

class ThrowingObject : public ComObject<ICounter> {
 public:
  ThrowingObject(IUnknown* outer, bool outOfMemory) : ComObject(outer) {
    if (outOfMemory) throw std::bad_alloc();
    throw std::runtime_error("device missing");
  }
  int Next() override { return 0; }

 protected:
  void* GetInterface(REFIID) override { return nullptr; }
};

TEST(ComObjectTest, FailedCreationLeavesNoObject) {
  int live = 0;
  long before = ComObjectRoot::LiveObjects();
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(CreateComObject<TestCounter>(nullptr, IID_IMissing, &p, &live), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(live, 0);
  p = reinterpret_cast<void*>(1);
  EXPECT_EQ(CreateComObject<ThrowingObject>(nullptr, IID_IUnknown, &p, true), E_OUTOFMEMORY);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(CreateComObject<ThrowingObject>(nullptr, IID_IUnknown, &p, false), E_FAIL);
  EXPECT_EQ(ComObjectRoot::LiveObjects(), before);
}

// An outer object that aggregates a TestCounter and exposes its ICounter as its own.
class Outer final : public IUnknown {
 public:
  explicit Outer(int* live) {
    HRESULT hr = CreateComObject<TestCounter>(this, IID_IUnknown, reinterpret_cast<void**>(&inner_), live);
    EXPECT_EQ(hr, S_OK);
  }
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    if (riid == IID_ICounter) return inner_->QueryInterface(riid, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) {
      inner_->Release();
      delete this;
    }
    return left;
  }
  ULONG Refs() const { return refs_; }

 private:
  ~Outer() = default;
  std::atomic<ULONG> refs_{1};
  IUnknown* inner_ = nullptr;
};

TEST(ComObjectTest, AggregatedObjectDelegatesToTheOuterUnknown) {
  int live = 0;
  Outer* outer = new Outer(&live);
  EXPECT_EQ(live, 1);
  ICounter* counter = nullptr;
  ASSERT_EQ(outer->QueryInterface(IID_ICounter, reinterpret_cast<void**>(&counter)), S_OK);
  EXPECT_EQ(outer->Refs(), 2u) << "the inner interface's reference counts on the outer object";
  IUnknown* identity = nullptr;
  ASSERT_EQ(counter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, static_cast<IUnknown*>(outer)) << "identity is the outer object's";
  void* named = nullptr;
  EXPECT_EQ(counter->QueryInterface(IID_INamed, &named), E_NOINTERFACE) << "the outer decides what it exposes";
  identity->Release();
  counter->Release();
  EXPECT_EQ(live, 1);
  outer->Release();
  EXPECT_EQ(live, 0) << "the outer object released the inner one";
}

TEST(ComObjectTest, AggregationMayOnlyAskForIUnknown) {
  int live = 0;
  IUnknown* fakeOuter = reinterpret_cast<IUnknown*>(0x1);  // never called
  void* p = nullptr;
  EXPECT_EQ(CreateComObject<TestCounter>(fakeOuter, IID_ICounter, &p, &live), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(live, 0);
}

TEST(ComObjectTest, CountsAreSafeAcrossThreads) {
  int live = 0;
  ICounter* counter = nullptr;
  ASSERT_EQ(CreateComObject<TestCounter>(nullptr, IID_ICounter, reinterpret_cast<void**>(&counter), &live), S_OK);
  long before = ComObjectRoot::LiveObjects();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([counter] {
      for (int i = 0; i < 10000; ++i) {
        counter->AddRef();
        counter->Release();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(live, 1);
  EXPECT_EQ(counter->Release(), 0u);
  EXPECT_EQ(live, 0);
  EXPECT_EQ(ComObjectRoot::LiveObjects(), before - 1);
}

HRESULT CreateForFactory(IUnknown* outer, REFIID riid, void** ppv) {
  return CreateComObject<TestCounter>(outer, riid, ppv);
}

TEST(ComClassFactoryTest, CreatesObjectsAndCountsServerLocks) {
  ComClassFactory factory(&CreateForFactory);
  IClassFactory* cf = nullptr;
  ASSERT_EQ(factory.QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&cf)), S_OK);
  ICounter* counter = nullptr;
  ASSERT_EQ(cf->CreateInstance(nullptr, IID_ICounter, reinterpret_cast<void**>(&counter)), S_OK);
  EXPECT_EQ(counter->Next(), 1);
  counter->Release();
  void* p = nullptr;
  EXPECT_EQ(cf->CreateInstance(nullptr, IID_ICounter, nullptr), E_POINTER);
  EXPECT_EQ(factory.QueryInterface(IID_ICounter, &p), E_NOINTERFACE);

  long locks = ComClassFactory::ServerLocks();
  EXPECT_EQ(cf->LockServer(1), S_OK);
  EXPECT_EQ(ComClassFactory::ServerLocks(), locks + 1);
  EXPECT_EQ(cf->LockServer(0), S_OK);
  EXPECT_EQ(ComClassFactory::ServerLocks(), locks);
  if (locks == 0) {
    EXPECT_EQ(cf->LockServer(0), E_UNEXPECTED) << "more unlocks than locks";
    EXPECT_EQ(ComClassFactory::ServerLocks(), 0);
  }
  cf->Release();
}

}  // namespace
