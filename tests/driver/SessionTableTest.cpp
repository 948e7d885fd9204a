// The session table and the session opener, driven directly: reference counting and handles,
// the release of every lock level with the last reference, the name conversion, and the
// clean-up of every failed open (the device factory is the tests' own).
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver/DriverModule.h"
#include "driver/ScanDeviceFactory.h"
#include "driver/ScanSessionOpener.h"
#include "driver/SessionTable.h"
#include "tests/driver/FakeScanDevice.h"

namespace {

class SessionTableTest : public ::testing::Test {
 protected:
  SessionTable table_;
};

TEST_F(SessionTableTest, OneRecordPerNameCountsItsReferences) {
  int32_t count = 0;
  ScanSessionPtr a = table_.AcquireByName("\\\\host\\a", nullptr, &count);
  EXPECT_EQ(count, 1);
  ScanSessionPtr again = table_.AcquireByName("\\\\host\\a", nullptr, &count);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(a, again);
  ScanSessionPtr b = table_.AcquireByName("\\\\host\\b", nullptr, &count);
  EXPECT_EQ(count, 1);
  EXPECT_NE(a->handle_, 0u);
  EXPECT_NE(b->handle_, 0u);
  EXPECT_NE(a->handle_, b->handle_);
  EXPECT_EQ(a->signature_, kSessionSignature);
  EXPECT_EQ(table_.FindByHandle(b->handle_), b);
  EXPECT_EQ(table_.Size(), 2u);

  EXPECT_TRUE(table_.Release(*a, &count));
  EXPECT_EQ(count, 1);
  EXPECT_EQ(table_.FindByHandle(a->handle_), a);
  EXPECT_TRUE(table_.Release(*a, &count));
  EXPECT_EQ(count, 0);
  EXPECT_EQ(table_.FindByHandle(a->handle_), nullptr);
  EXPECT_EQ(table_.Size(), 1u);

  // A new record of the released name gets a new handle.
  ScanSessionPtr reopened = table_.AcquireByName("\\\\host\\a", nullptr, &count);
  EXPECT_EQ(count, 1);
  EXPECT_NE(reopened->handle_, a->handle_);
}

TEST_F(SessionTableTest, ReleaseRefusesARecordWithoutTheSignature) {
  ScanSessionPtr a = table_.AcquireByName("\\\\host\\unsigned", nullptr);
  a->signature_ = 0;
  int32_t count = 7;
  EXPECT_FALSE(table_.Release(*a, &count));
  EXPECT_EQ(count, 7);
  EXPECT_EQ(a->referenceCount_, 1);
  a->signature_ = kSessionSignature;
  EXPECT_TRUE(table_.Release(*a));
}

TEST_F(SessionTableTest, TheLastReleaseGivesBackEveryLockLevel) {
  ScanSessionPtr a = table_.AcquireByName("\\\\host\\share\\release-levels", nullptr);
  ScanSessionPtr sameLastComponent = table_.AcquireByName("\\\\other\\release-levels", nullptr);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(a->lock_.Lock(kLockTypeProcess, 0));
  ASSERT_FALSE(sameLastComponent->lock_.Lock(kLockTypeProcess, 0));
  EXPECT_TRUE(table_.Release(*a));
  EXPECT_EQ(a->lock_.LockCount(), 0u);
  EXPECT_TRUE(sameLastComponent->lock_.Lock(kLockTypeProcess, 0));
  EXPECT_TRUE(sameLastComponent->lock_.Unlock());
}

TEST_F(SessionTableTest, AThreadLockOfAnotherThreadIsFreedWhenTheRecordGoes) {
  ScanSessionPtr a = table_.AcquireByName("\\\\host\\release-thread-lock", nullptr);
  ScanSessionPtr probe = table_.AcquireByName("\\\\x\\release-thread-lock", nullptr);
  std::thread owner([&] { ASSERT_TRUE(a->lock_.Lock(kLockTypeThread, 0)); });
  owner.join();
  // This thread cannot unlock the other thread's level; the record's end frees the lock.
  EXPECT_TRUE(table_.Release(*a));
  EXPECT_EQ(table_.FindByHandle(a->handle_), nullptr);
  EXPECT_FALSE(probe->lock_.Lock(kLockTypeProcess, 0));
  a.reset();
  EXPECT_TRUE(probe->lock_.Lock(kLockTypeProcess, 0));
  EXPECT_TRUE(probe->lock_.Unlock());
}

TEST_F(SessionTableTest, DevicesAreAttachedOnceAndDetachedByTheirOwner) {
  ScanSessionPtr a = table_.AcquireByName("\\\\host\\device-slot", nullptr);
  FakeDeviceScript script{};
  EXPECT_EQ(table_.DeviceOf(*a), nullptr);
  EXPECT_EQ(table_.AttachDevice(*a, std::unique_ptr<IScanDevice>(new FakeScanDevice(&script))), nullptr);
  IScanDevice* attached = table_.DeviceOf(*a);
  ASSERT_NE(attached, nullptr);
  // A second device is handed back, the first stays.
  std::unique_ptr<IScanDevice> refused = table_.AttachDevice(*a, std::unique_ptr<IScanDevice>(new FakeScanDevice(&script)));
  EXPECT_NE(refused, nullptr);
  EXPECT_EQ(table_.DeviceOf(*a), attached);
  std::shared_ptr<IScanDevice> detached = table_.DetachDevice(*a);
  EXPECT_EQ(detached.get(), attached);
  EXPECT_EQ(table_.DeviceOf(*a), nullptr);
  refused.reset();
  detached.reset();
  EXPECT_EQ(script.destroyed, 2);
}

// ---- the opener -----------------------------------------------------------------------------

TEST(ScanSessionOpenerText, ConvertsUtf16ToUtf8) {
  EXPECT_EQ(ScanSessionOpener::ToAnsi(u"\\\\host\\scan"), "\\\\host\\scan");
  EXPECT_EQ(ScanSessionOpener::ToAnsi(u"caf\u00E9 \u20AC"), "caf\xC3\xA9 \xE2\x82\xAC");
  EXPECT_EQ(ScanSessionOpener::ToAnsi(u"\U0001F600"), "\xF0\x9F\x98\x80");
  const char16_t loneHigh[] = {u'a', 0xD800, u'b', 0};
  EXPECT_EQ(ScanSessionOpener::ToAnsi(loneHigh), "a?b");
  const char16_t loneLow[] = {0xDC00, 0};
  EXPECT_EQ(ScanSessionOpener::ToAnsi(loneLow), "?");
  const char16_t highAtEnd[] = {u'x', 0xDBFF, 0};
  EXPECT_EQ(ScanSessionOpener::ToAnsi(highAtEnd), "x?");
}

TEST(ScanSessionOpenerKinds, FollowTheIoTypeTable) {
  EXPECT_EQ(ScanSessionOpener::DeviceKindOf(1), kScanDeviceUsb);
  EXPECT_EQ(ScanSessionOpener::DeviceKindOf(5), kScanDeviceNetwork);
  for (DWORD other : {0u, 2u, 3u, 4u, 6u, 0xFFFFFFFFu}) EXPECT_EQ(ScanSessionOpener::DeviceKindOf(other), 2);
}

class ScanSessionOpenerTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetFakeDeviceScript(&script_); }
  void TearDown() override { SetScanDeviceFactory(nullptr); }

  HRESULT Open(const std::u16string& name, DWORD* handle, DWORD* code) {
    *code = 0;
    ScanSessionOpener opener(name.c_str(), 5, handle, code);
    return opener.Open();
  }

  FakeDeviceScript script_;
};

TEST_F(ScanSessionOpenerTest, FactoryFailuresLeaveTheTableAsItWas) {
  const size_t sessions = DriverModule::Sessions().Size();
  DWORD handle = 0, code = 0;

  SetScanDeviceFactory([]() -> IScanDevice* { return nullptr; });
  EXPECT_EQ(Open(u"\\\\host\\no-device", &handle, &code), E_FAIL);
  EXPECT_EQ(code, static_cast<DWORD>(CERR_UNKNOWN));

  SetScanDeviceFactory([]() -> IScanDevice* { throw std::bad_alloc(); });
  EXPECT_EQ(Open(u"\\\\host\\no-memory", &handle, &code), E_FAIL);
  EXPECT_EQ(code, static_cast<DWORD>(CERR_OUT_OF_MEMORY));

  SetScanDeviceFactory([]() -> IScanDevice* { throw CERR_SCANNER_NOT_FOUND; });
  EXPECT_EQ(Open(u"\\\\host\\not-found", &handle, &code), E_FAIL);
  EXPECT_EQ(code, static_cast<DWORD>(CERR_SCANNER_NOT_FOUND));
  EXPECT_EQ(DriverModule::Sessions().Size(), sessions);
}

TEST_F(ScanSessionOpenerTest, AFailedOpenLeavesASharedSessionAndItsDeviceAlone) {
  FakeDeviceScript* script = &script_;
  SetScanDeviceFactory([script]() -> IScanDevice* { return new FakeScanDevice(script); });
  DWORD handle = 0, code = 0;
  ASSERT_EQ(Open(u"\\\\host\\shared-open", &handle, &code), S_OK);
  ScanSessionPtr session = DriverModule::Sessions().FindByHandle(handle);
  ASSERT_NE(session, nullptr);
  IScanDevice* device = DriverModule::Sessions().DeviceOf(*session);

  // The next open of the name shares the device; a factory that would fail is not asked.
  SetScanDeviceFactory([]() -> IScanDevice* { throw std::bad_alloc(); });
  DWORD second = 0;
  EXPECT_EQ(Open(u"\\\\host\\shared-open", &second, &code), S_OK);
  EXPECT_EQ(second, handle);
  EXPECT_EQ(session->referenceCount_, 2);
  EXPECT_EQ(DriverModule::Sessions().DeviceOf(*session), device);
  EXPECT_EQ(script_.created, 1);

  // Two releases and the record leaves the table.
  EXPECT_TRUE(DriverModule::Sessions().Release(*session));
  std::shared_ptr<IScanDevice> detached = DriverModule::Sessions().DetachDevice(*session);
  EXPECT_TRUE(DriverModule::Sessions().Release(*session));
  EXPECT_EQ(DriverModule::Sessions().FindByHandle(handle), nullptr);
}

TEST_F(ScanSessionOpenerTest, RefusesNamesThatDoNotFitTheRecord) {
  FakeDeviceScript* script = &script_;
  SetScanDeviceFactory([script]() -> IScanDevice* { return new FakeScanDevice(script); });
  DWORD handle = 0x5555, code = 0;
  EXPECT_EQ(Open(std::u16string(260, u'n'), &handle, &code), E_FAIL);
  EXPECT_EQ(code, static_cast<DWORD>(CERR_INVALID_PARAMETER));
  EXPECT_EQ(handle, 0x5555u);
  EXPECT_EQ(Open(std::u16string(4000, u'n'), &handle, &code), E_FAIL);
  EXPECT_EQ(script_.created, 0);

  ASSERT_EQ(Open(std::u16string(259, u'n'), &handle, &code), S_OK);
  ScanSessionPtr session = DriverModule::Sessions().FindByHandle(handle);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->deviceName_, std::string(259, 'n'));
  std::shared_ptr<IScanDevice> detached = DriverModule::Sessions().DetachDevice(*session);
  EXPECT_TRUE(DriverModule::Sessions().Release(*session));
}

TEST_F(ScanSessionOpenerTest, ConcurrentOpensOfOneNameMakeOneDevice) {
  FakeDeviceScript* script = &script_;
  SetScanDeviceFactory([script]() -> IScanDevice* { return new FakeScanDevice(script); });
  constexpr int kThreads = 8;
  DWORD handles[kThreads] = {};
  HRESULT results[kThreads] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      DWORD code = 0;
      results[i] = Open(u"\\\\host\\concurrent", &handles[i], &code);
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(results[i], S_OK);
    EXPECT_EQ(handles[i], handles[0]);
  }
  EXPECT_EQ(script_.created, 1);
  EXPECT_EQ(script_.initCalls, 1);
  ScanSessionPtr session = DriverModule::Sessions().FindByHandle(handles[0]);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->referenceCount_, kThreads);
  std::shared_ptr<IScanDevice> detached = DriverModule::Sessions().DetachDevice(*session);
  for (int i = 0; i < kThreads; ++i) EXPECT_TRUE(DriverModule::Sessions().Release(*session));
  EXPECT_EQ(DriverModule::Sessions().FindByHandle(handles[0]), nullptr);
}

}  // namespace
