// Two small interfaces and a class implementing both, shared by the COM helper tests and the
// test server module.
#ifndef CAVIX_TESTS_PLATFORM_TESTINTERFACES_H
#define CAVIX_TESTS_PLATFORM_TESTINTERFACES_H

#include "platform/ComObject.h"

struct ICounter : IUnknown {
  virtual int Next() = 0;
};
struct INamed : IUnknown {
  virtual const char* Name() = 0;
};

constexpr GUID IID_ICounter = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x01}};
constexpr GUID IID_INamed = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x02}};
constexpr GUID IID_IMissing = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x03}};
constexpr GUID CLSID_TestCounter = {0x0A0B0C0D, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};

class TestCounter : public ComObject<ICounter, INamed> {
 public:
  explicit TestCounter(IUnknown* outer, int* liveCount = nullptr) : ComObject(outer), liveCount_(liveCount) {
    if (liveCount_ != nullptr) ++*liveCount_;
  }
  ~TestCounter() override {
    if (liveCount_ != nullptr) --*liveCount_;
  }
  int Next() override { return ++value_; }
  const char* Name() override { return "counter"; }

 protected:
  void* GetInterface(REFIID riid) override {
    if (riid == IID_ICounter) return static_cast<ICounter*>(this);
    if (riid == IID_INamed) return static_cast<INamed*>(this);
    return nullptr;
  }

 private:
  int* liveCount_;
  int value_ = 0;
};

#endif
