// Runs the built libcavixdriver.so the way a host does: dlopen, DllGetClassObject, the class
// factory, the interfaces. Nothing of the driver is linked in; the scan devices are fakes from
// the plug-in that CAVIX_TEST_DEVICE_PLUGIN names. The registry, lock directory and log file are
// in a temporary directory of this process.
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/driver/DriverHost.h"
#include "tests/driver/LogLines.h"

namespace {

std::string g_tempDir;
std::string g_logFile;
std::string g_hklmFile;
DriverModuleEntries g_module;
FakeDeviceScript* g_script = nullptr;

constexpr DWORD kNetwork = 5;
constexpr DWORD kUsb = 1;
constexpr DWORD kNoSession = 0x7FFF1234;  // a handle no session has

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::string Substitute(std::string text, const std::string& key, const std::string& value) {
  for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
    text.replace(at, key.size(), value);
  return text;
}

std::string DataFile(const char* name) { return ReadFile(std::string(CAVIX_DRIVER_TEST_DATA) + "/" + name); }

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Hex(DWORD value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x", value);
  return buf;
}

// The log's lines from `offset` on, each without its date, tick, process and thread prefix.
std::vector<std::string> LogLinesFrom(size_t offset) {
  std::string text = ReadFile(g_logFile);
  std::vector<std::string> lines;
  std::istringstream in(offset < text.size() ? text.substr(offset) : "");
  for (std::string line; std::getline(in, line);) lines.push_back(WithoutLogPrefix(line));
  return lines;
}

size_t LogSize() { return ReadFile(g_logFile).size(); }

struct Result {
  HRESULT hr;
  DWORD code;
};

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFakeDeviceScript(g_script);
    scanner_ = CreateScanner(g_module);
    ASSERT_NE(scanner_, nullptr);
    ASSERT_EQ(scanner_->QueryInterface(IID_IADF2, reinterpret_cast<void**>(&adf_)), S_OK);
    ASSERT_EQ(scanner_->QueryInterface(IID_IEventNotify, reinterpret_cast<void**>(&events_)), S_OK);
    ASSERT_EQ(scanner_->QueryInterface(IID_IMFG, reinterpret_cast<void**>(&mfg_)), S_OK);
  }
  void TearDown() override {
    for (DWORD handle : open_) {
      DWORD code = 0;
      scanner_->CloseScannerSession(handle, &code);
    }
    if (mfg_) mfg_->Release();
    if (events_) events_->Release();
    if (adf_) adf_->Release();
    if (scanner_) scanner_->Release();
  }

  Result Open(const std::string& name, DWORD ioType, DWORD* handle) {
    std::u16string wide = Wide(name);
    Result r{0, 0xDEAD};
    r.hr = scanner_->OpenScannerSession(wide.c_str(), ioType, handle, &r.code);
    if (r.hr == S_OK) open_.push_back(*handle);
    return r;
  }
  // Opens `name` over the network and checks that it worked.
  DWORD OpenOk(const std::string& name) {
    DWORD handle = 0;
    Result r = Open(name, kNetwork, &handle);
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.code, 0u);
    EXPECT_NE(handle, 0u);
    return handle;
  }
  Result Close(DWORD handle) {
    Result r{0, 0xDEAD};
    r.hr = scanner_->CloseScannerSession(handle, &r.code);
    for (auto it = open_.begin(); it != open_.end(); ++it) {
      if (*it == handle) {
        open_.erase(it);
        break;
      }
    }
    return r;
  }
  Result Lock(DWORD handle, WORD type = 0, DWORD timeout = 0) {
    Result r{0, 0xDEAD};
    r.hr = scanner_->LockScanner(handle, type, timeout, &r.code);
    return r;
  }
  Result Unlock(DWORD handle) {
    Result r{0, 0xDEAD};
    r.hr = scanner_->UnlockScanner(handle, &r.code);
    return r;
  }
  Result StopScan(DWORD handle) {
    Result r{0, 0xDEAD};
    r.hr = scanner_->StopScan(handle, &r.code);
    return r;
  }
  Result SendCancel(DWORD handle) {
    Result r{0, 0xDEAD};
    r.hr = events_->SendAppEvent(handle, C_EVENT_SW_CANCEL, &r.code);
    return r;
  }

  IScanner* scanner_ = nullptr;
  IADF2* adf_ = nullptr;
  IEventNotify* events_ = nullptr;
  IMFG* mfg_ = nullptr;
  std::vector<DWORD> open_;
};

#define EXPECT_RESULT(result, expectedHr, expectedCode) \
  do {                                                  \
    Result r_ = (result);                               \
    EXPECT_EQ(r_.hr, (expectedHr));                     \
    EXPECT_EQ(r_.code, static_cast<DWORD>(expectedCode)); \
  } while (0)

// ---- COM object -------------------------------------------------------------------------

TEST(DriverModule, ExportsTheClassFactoryOfTheScannerClassOnly) {
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(g_module.getClassObject(IID_IScanner, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(g_module.getClassObject(CLSID_CavixScanner, IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(g_module.getClassObject(CLSID_CavixScanner, IID_IScanner, &object), E_NOINTERFACE);

  IUnknown* unknown = nullptr;
  ASSERT_EQ(g_module.getClassObject(CLSID_CavixScanner, IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  IClassFactory* factory = nullptr;
  ASSERT_EQ(unknown->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  IScanner* scanner = nullptr;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_ILog, reinterpret_cast<void**>(&scanner)), E_NOINTERFACE);
  EXPECT_EQ(scanner, nullptr);
  factory->Release();
  unknown->Release();
}

TEST(DriverModule, AnswersEveryImplementedInterfaceWithOneIdentity) {
  IScanner* scanner = CreateScanner(g_module);
  ASSERT_NE(scanner, nullptr);
  IUnknown* identity = nullptr;
  ASSERT_EQ(scanner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);

  const GUID implemented[] = {IID_IUnknown, IID_IScanner, IID_IADF, IID_IADF2, IID_IEventNotify, IID_IMFG};
  for (const GUID& iid : implemented) {
    IUnknown* itf = nullptr;
    ASSERT_EQ(scanner->QueryInterface(iid, reinterpret_cast<void**>(&itf)), S_OK);
    ASSERT_NE(itf, nullptr);
    IUnknown* back = nullptr;
    ASSERT_EQ(itf->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&back)), S_OK);
    EXPECT_EQ(back, identity);
    back->Release();
    itf->Release();
  }
  // IADF and IADF2 are one table: IADF's methods come first in IADF2.
  IADF* adf = nullptr;
  IADF2* adf2 = nullptr;
  ASSERT_EQ(scanner->QueryInterface(IID_IADF, reinterpret_cast<void**>(&adf)), S_OK);
  ASSERT_EQ(scanner->QueryInterface(IID_IADF2, reinterpret_cast<void**>(&adf2)), S_OK);
  EXPECT_EQ(static_cast<void*>(adf), static_cast<void*>(adf2));
  adf->Release();
  adf2->Release();

  for (const GUID& iid : {IID_ILog, IID_IEventCallback, IID_IClassFactory}) {
    void* itf = reinterpret_cast<void*>(1);
    EXPECT_EQ(scanner->QueryInterface(iid, &itf), E_NOINTERFACE);
    EXPECT_EQ(itf, nullptr);
  }
  EXPECT_EQ(scanner->QueryInterface(IID_IMFG, nullptr), E_POINTER);
  identity->Release();
  EXPECT_EQ(scanner->Release(), 0u);
}

// An outer object that counts the references its inner object passes on to it.
class CountingOuter : public IUnknown {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return inner_ ? inner_->QueryInterface(riid, ppv) : E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override { return --refs_; }
  IUnknown* inner_ = nullptr;
  ULONG refs_ = 1;
};

TEST(DriverModule, CanBeAggregated) {
  IClassFactory* factory = nullptr;
  ASSERT_EQ(g_module.getClassObject(CLSID_CavixScanner, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  CountingOuter outer;
  void* itf = nullptr;
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IScanner, &itf), CLASS_E_NOAGGREGATION);
  ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner_)), S_OK);
  factory->Release();

  IScanner* scanner = nullptr;
  ASSERT_EQ(outer.inner_->QueryInterface(IID_IScanner, reinterpret_cast<void**>(&scanner)), S_OK);
  EXPECT_EQ(outer.refs_, 2u);  // the interface's reference went to the outer object
  IUnknown* controlling = nullptr;
  ASSERT_EQ(scanner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&controlling)), S_OK);
  EXPECT_EQ(controlling, &outer);
  controlling->Release();
  scanner->Release();
  EXPECT_EQ(outer.refs_, 1u);
  EXPECT_EQ(outer.inner_->Release(), 0u);
}

TEST(DriverModule, CanUnloadOnlyWithoutObjectsAndServerLocks) {
  EXPECT_EQ(g_module.canUnloadNow(), S_OK);
  IScanner* scanner = CreateScanner(g_module);
  ASSERT_NE(scanner, nullptr);
  EXPECT_EQ(g_module.canUnloadNow(), S_FALSE);
  scanner->Release();
  EXPECT_EQ(g_module.canUnloadNow(), S_OK);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(g_module.getClassObject(CLSID_CavixScanner, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  EXPECT_EQ(factory->LockServer(1), S_OK);
  factory->Release();
  EXPECT_EQ(g_module.canUnloadNow(), S_FALSE);
  ASSERT_EQ(g_module.getClassObject(CLSID_CavixScanner, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  EXPECT_EQ(factory->LockServer(0), S_OK);
  factory->Release();
  EXPECT_EQ(g_module.canUnloadNow(), S_OK);
}

TEST(DriverModule, RegistrationWritesExactlyTheClassKeysAndUnregistrationRemovesThem) {
  const std::string before = ReadFile(g_hklmFile);
  char modulePath[PATH_MAX];
  ASSERT_NE(realpath(CAVIX_DRIVER_MODULE, modulePath), nullptr);

  ASSERT_EQ(g_module.registerServer(), S_OK);
  std::string expected = Substitute(DataFile("hklm-registered.reg"), "@LOGFILE@", g_logFile);
  expected = Substitute(expected, "@MODULE@", modulePath);
  EXPECT_EQ(ReadFile(g_hklmFile), expected);
  ASSERT_EQ(g_module.registerServer(), S_OK);  // registering again changes nothing
  EXPECT_EQ(ReadFile(g_hklmFile), expected);

  ASSERT_EQ(g_module.unregisterServer(), S_OK);
  EXPECT_EQ(ReadFile(g_hklmFile), before);
  ASSERT_EQ(g_module.unregisterServer(), S_OK);  // nothing left to remove
  EXPECT_EQ(ReadFile(g_hklmFile), before);
}

TEST(DriverModule, RegistrationRefusesAMalformedStoreAndLeavesItAlone) {
  const std::string before = ReadFile(g_hklmFile);
  const std::string broken = before + "[HKEY_LOCAL_MACHINE\\Software\\Broken\n";
  WriteFile(g_hklmFile, broken);
  EXPECT_TRUE(FAILED(g_module.registerServer()));
  EXPECT_TRUE(FAILED(g_module.unregisterServer()));
  EXPECT_EQ(ReadFile(g_hklmFile), broken);
  WriteFile(g_hklmFile, before);
}

// ---- sessions ---------------------------------------------------------------------------

TEST_F(DriverTest, OpensOfOneNameShareTheSessionAndEachCloseDestroysTheDevice) {
  const std::string name = "\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:01\\port1\\ipaddr:127.0.0.2\\guid{SHARED}";
  DWORD first = OpenOk(name);
  DWORD second = OpenOk(name);
  EXPECT_EQ(first, second);
  EXPECT_EQ(g_script->created, 1);
  EXPECT_EQ(g_script->initCalls, 1);
  EXPECT_EQ(g_script->lastKind, 0);
  EXPECT_STREQ(g_script->lastDevice, name.c_str());

  EXPECT_RESULT(Close(first), S_OK, 0);
  EXPECT_EQ(g_script->resets, 1);
  EXPECT_EQ(g_script->destroyed, 1);
  open_.push_back(first);  // one reference is left

  // The session is still there without a device.
  EXPECT_RESULT(Lock(first), S_OK, 0);
  Result start{0, 0};
  start.hr = scanner_->StartScan(first, &start.code);
  EXPECT_RESULT(start, E_FAIL, CERR_UNKNOWN);

  // A second close finds no device and changes nothing.
  EXPECT_RESULT(Close(first), E_FAIL, CERR_INVALID_PARAMETER);
  EXPECT_RESULT(Unlock(first), S_OK, 0);

  // The next open of the name makes and initialises a new device.
  EXPECT_EQ(OpenOk(name), first);
  EXPECT_EQ(g_script->created, 2);
  EXPECT_EQ(g_script->initCalls, 2);
  EXPECT_RESULT(Close(first), S_OK, 0);
  EXPECT_EQ(g_script->destroyed, 2);
  // The remaining reference cannot be closed without a device: the session stays.
  EXPECT_RESULT(Close(first), E_FAIL, CERR_INVALID_PARAMETER);
  EXPECT_RESULT(Lock(first), S_OK, 0);
  EXPECT_RESULT(Unlock(first), S_OK, 0);
}

TEST_F(DriverTest, HandlesOfDifferentNamesDifferAndHandlesWorkThroughEveryDriverObject) {
  DWORD a = OpenOk("\\\\host\\scanner-a");
  DWORD b = OpenOk("\\\\host\\scanner-b");
  EXPECT_NE(a, b);
  IScanner* other = CreateScanner(g_module);
  ASSERT_NE(other, nullptr);
  DWORD code = 0xDEAD;
  EXPECT_EQ(other->LockScanner(b, 0, 0, &code), S_OK);
  EXPECT_EQ(code, 0u);
  BYTE lamp = 0;
  EXPECT_EQ(scanner_->GetLampStatus(b, &lamp, &code), S_OK);
  EXPECT_EQ(lamp, 1);
  EXPECT_EQ(other->UnlockScanner(b, &code), S_OK);
  other->Release();
}

TEST_F(DriverTest, IoTypesChooseTheDeviceKindAndUnsupportedOnesFail) {
  DWORD handle = 0;
  EXPECT_RESULT(Open("/dev/usb/lp7", kUsb, &handle), S_OK, 0);
  EXPECT_EQ(g_script->lastKind, 1);

  for (DWORD ioType : {0u, 2u, 3u, 4u, 6u}) {
    SCOPED_TRACE(ioType);
    const int destroyedBefore = g_script->destroyed;
    DWORD failed = 0;
    EXPECT_RESULT(Open("\\\\host\\unsupported", ioType, &failed), E_FAIL, CERR_INVALID_PARAMETER);
    EXPECT_EQ(g_script->lastKind, 2);
    EXPECT_EQ(g_script->destroyed, destroyedBefore + 1);
    // The handle of the session that was closed again is left; it names nothing now.
    EXPECT_NE(failed, 0u);
    EXPECT_RESULT(Lock(failed), E_FAIL, CERR_INVALID_SESSION);
  }
}

TEST_F(DriverTest, FailedInitializationsLeaveNoDeviceAndNoSession) {
  struct Case {
    int32_t outcome;
    uint32_t initError;
    DWORD expectedCode;
  };
  const Case cases[] = {
      {kFakeInitFails, CERR_SCANNER_NOT_FOUND, CERR_SCANNER_NOT_FOUND},
      {kFakeInitFails, CERR_SCANNER_COMMUNICATION_FAILED, CERR_SCANNER_COMMUNICATION_FAILED},
      {kFakeInitThrowsBadAlloc, 0, CERR_OUT_OF_MEMORY},
      {kFakeInitThrowsCode, CERR_ADF_JAMMED, CERR_ADF_JAMMED},
      {kFakeInitThrowsOther, 0, CERR_UNKNOWN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.outcome);
    g_script->initOutcome = c.outcome;
    g_script->initError = c.initError;
    DWORD handle = 0;
    EXPECT_RESULT(Open("\\\\host\\failing", kNetwork, &handle), E_FAIL, c.expectedCode);
    EXPECT_EQ(g_script->destroyed, g_script->created);
    EXPECT_RESULT(Lock(handle), E_FAIL, CERR_INVALID_SESSION);
  }
  // The name opens normally once the device initialises.
  g_script->initOutcome = kFakeInitSucceeds;
  DWORD handle = OpenOk("\\\\host\\failing");
  EXPECT_RESULT(Lock(handle), S_OK, 0);
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
}

TEST_F(DriverTest, BadOpenArgumentsAreRefused) {
  DWORD handle = 0;
  std::u16string name = u"\\\\host\\args";
  EXPECT_EQ(scanner_->OpenScannerSession(name.c_str(), kNetwork, &handle, nullptr), E_POINTER);
  Result r{0, 0xDEAD};
  r.hr = scanner_->OpenScannerSession(nullptr, kNetwork, &handle, &r.code);
  EXPECT_RESULT(r, E_POINTER, CERR_INVALID_PARAMETER);
  r.hr = scanner_->OpenScannerSession(name.c_str(), kNetwork, nullptr, &r.code);
  EXPECT_RESULT(r, E_POINTER, CERR_INVALID_PARAMETER);
  EXPECT_EQ(g_script->created, 0);
}

TEST_F(DriverTest, DeviceNamesOf260BytesOrMoreAreRefusedNotCut) {
  const std::string longest(259, 'n');
  DWORD kept = OpenOk(longest);
  EXPECT_EQ(std::string(g_script->lastDevice), longest);

  // 260 bytes whose first 259 are the open session's name: refused, not filed under it.
  DWORD handle = 0xABCD;
  EXPECT_RESULT(Open(longest + "x", kNetwork, &handle), E_FAIL, CERR_INVALID_PARAMETER);
  EXPECT_EQ(handle, 0xABCDu);
  EXPECT_EQ(g_script->created, 1);
  // Two-byte characters count as the bytes they become: 130 x U+00E9 is 260 bytes.
  std::u16string accented(130, u'\u00E9');
  Result r{0, 0xDEAD};
  r.hr = scanner_->OpenScannerSession(accented.c_str(), kNetwork, &handle, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_INVALID_PARAMETER);
  accented.pop_back();  // 258 bytes
  r.hr = scanner_->OpenScannerSession(accented.c_str(), kNetwork, &handle, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  open_.push_back(handle);
  std::string expectedName;
  for (int i = 0; i < 129; ++i) expectedName += "\xC3\xA9";
  EXPECT_EQ(std::string(g_script->lastDevice), expectedName);

  // The shorter name's session was not touched.
  EXPECT_RESULT(Lock(kept), S_OK, 0);
  EXPECT_RESULT(Unlock(kept), S_OK, 0);
}

// ---- handle and lock checks ---------------------------------------------------------------

// Every method that needs the scanner lock, called with `handle`.
std::vector<std::pair<const char*, std::function<Result(DWORD)>>> LockedMethods(IScanner* s, IADF2* a,
                                                                               IEventNotify* e, IMFG* m) {
  static SCANNER_CAPABILITIES caps;
  static SCANNER_PARAMETERS params;
  static ADF_CAPABILITIES adfCaps;
  static ADF2_CAPABILITIES adf2Caps;
  static EVENT_CAPABILITIES eventCaps;
  static BYTE buffer[64];
  static BYTE table[4];
  static BYTE byteOut;
  static DWORD dwordOut;
  using R = Result;
  return {
      {"GetLampStatus", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = s->GetLampStatus(h, &byteOut, &r.code); return r; }},
      {"LampOn", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = s->LampOn(h, &r.code); return r; }},
      {"LampOff", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = s->LampOff(h, &r.code); return r; }},
      {"GetScannerCapabilities", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = s->GetScannerCapabilities(h, &caps, &r.code); return r; }},
      {"InitializeScanner", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = s->InitializeScanner(h, &r.code); return r; }},
      {"ResetScanner", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = s->ResetScanner(h, &r.code); return r; }},
      {"SetScannerParameters", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = s->SetScannerParameters(h, &params, &r.code); return r; }},
      {"SetGammaTable", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = s->SetGammaTable(h, 4, table, table, table, &r.code); return r; }},
      {"StartScan", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = s->StartScan(h, &r.code); return r; }},
      {"StopScan", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = s->StopScan(h, &r.code); return r; }},
      {"ReadScanEx", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = s->ReadScanEx(h, buffer, sizeof buffer, &dwordOut, &r.code); return r; }},
      {"GetADFCapabilities", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = a->GetADFCapabilities(h, &adfCaps, &r.code); return r; }},
      {"ADFPaperFeed", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = a->ADFPaperFeed(h, &r.code); return r; }},
      {"ADFIsReady", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = a->ADFIsReady(h, &byteOut, &r.code); return r; }},
      {"GetADF2Capabilities", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = a->GetADF2Capabilities(h, &adf2Caps, &r.code); return r; }},
      {"SetADFOptions", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = a->SetADFOptions(h, 1, &r.code); return r; }},
      {"ADFEjectMedia", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = a->ADFEjectMedia(h, &r.code); return r; }},
      {"ADF2PaperFeed", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = a->ADF2PaperFeed(h, &dwordOut, &r.code); return r; }},
      {"GetEventCapabilities", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = e->GetEventCapabilities(h, &eventCaps, &r.code); return r; }},
      {"SendAppEvent", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = e->SendAppEvent(h, C_EVENT_SW_CANCEL, &r.code); return r; }},
      {"SubscribeDriverEvents", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = e->SubscribeDriverEvents(h, nullptr, C_EVENT_SW_CANCEL, &r.code); return r; }},
      {"UnsubscribeDriverEvents", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = e->UnsubscribeDriverEvents(h, C_EVENT_SW_CANCEL, &r.code); return r; }},
      {"SetMFGParameters", [=](DWORD h) { R r{0, 0xDEAD}; r.hr = m->SetMFGParameters(h, C_MFG_RAW_DATA, &r.code); return r; }},
  };
}

TEST_F(DriverTest, MethodsThatNeedTheLockRefuseAnUnlockedSessionAndWorkWhenLocked) {
  g_script->pageBytes = 1000;
  DWORD handle = OpenOk("\\\\host\\lock-check");
  for (auto& method : LockedMethods(scanner_, adf_, events_, mfg_)) {
    SCOPED_TRACE(method.first);
    EXPECT_RESULT(method.second(handle), E_FAIL, CERR_SCANNER_NOT_LOCKED);
  }
  EXPECT_EQ(g_script->beginScans + g_script->endScans + g_script->resets + g_script->mfgModes, 0);

  ASSERT_EQ(Lock(handle).hr, S_OK);
  for (auto& method : LockedMethods(scanner_, adf_, events_, mfg_)) {
    SCOPED_TRACE(method.first);
    EXPECT_EQ(method.second(handle).hr, S_OK);
  }
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
}

TEST_F(DriverTest, MethodsWithoutLockCheckWorkOnAnUnlockedSession) {
  DWORD handle = OpenOk("\\\\host\\no-lock-needed");
  SCANNER_PARAMETERS params{};
  params.dwWidth = 100;
  params.dwLength = 50;
  BUFFER_INFO info{};
  Result r{0, 0xDEAD};
  r.hr = scanner_->GetBufferInfo(handle, &params, &info, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(info.dwBytesPerLine, 300u);
  EXPECT_RESULT(Lock(handle), S_OK, 0);
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
  EXPECT_RESULT(Close(handle), S_OK, 0);
}

TEST_F(DriverTest, HandlesThatNameNoSessionEndPerMethod) {
  Result r{0, 0xDEAD};
  for (DWORD handle : {kNoSession, 0u}) {
    SCOPED_TRACE(handle);
    r.hr = scanner_->LampOn(handle, &r.code);
    EXPECT_RESULT(r, S_OK, 0);
    r.hr = scanner_->LampOff(handle, &r.code);
    EXPECT_RESULT(r, S_OK, 0);
    r.hr = scanner_->InitializeScanner(handle, &r.code);
    EXPECT_RESULT(r, S_OK, 0);
    r.hr = adf_->ADFPaperFeed(handle, &r.code);
    EXPECT_RESULT(r, S_OK, CERR_INVALID_SESSION);
    BYTE lamp = 0;
    r.hr = scanner_->GetLampStatus(handle, &lamp, &r.code);
    EXPECT_RESULT(r, S_OK, CERR_INVALID_SESSION);
    DWORD length = 7;
    r.hr = adf_->ADF2PaperFeed(handle, &length, &r.code);
    EXPECT_RESULT(r, S_OK, CERR_INVALID_SESSION);
    EXPECT_EQ(length, 0u);

    SCANNER_PARAMETERS params{};
    BUFFER_INFO info{};
    r.hr = scanner_->GetBufferInfo(handle, &params, &info, &r.code);
    EXPECT_RESULT(r, E_FAIL, CERR_INVALID_SESSION);
    EXPECT_RESULT(Close(handle), E_FAIL, CERR_INVALID_SESSION);
    EXPECT_RESULT(Lock(handle), E_FAIL, CERR_INVALID_SESSION);
    EXPECT_RESULT(Unlock(handle), E_FAIL, CERR_INVALID_SESSION);

    // Lenient methods that need the device end with CERR_UNKNOWN, ResetScanner with
    // CERR_INVALID_PARAMETER.
    r.hr = scanner_->StopScan(handle, &r.code);
    EXPECT_RESULT(r, E_FAIL, CERR_UNKNOWN);
    SCANNER_CAPABILITIES caps{};
    r.hr = scanner_->GetScannerCapabilities(handle, &caps, &r.code);
    EXPECT_RESULT(r, E_FAIL, CERR_UNKNOWN);
    r.hr = scanner_->ResetScanner(handle, &r.code);
    EXPECT_RESULT(r, E_FAIL, CERR_INVALID_PARAMETER);
    r.hr = mfg_->SetMFGParameters(handle, C_MFG_RAW_DATA, &r.code);
    EXPECT_RESULT(r, E_FAIL, CERR_UNKNOWN);
    // A handle that names nothing passes the event check's handle part.
    r.hr = events_->SubscribeDriverEvents(handle, nullptr, C_EVENT_SW_CANCEL, &r.code);
    EXPECT_RESULT(r, S_OK, CERR_INVALID_SESSION);
  }
  r.hr = scanner_->StartScan(0, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_UNKNOWN);
}

TEST_F(DriverTest, AThreadLockBindsTheLockCheckToItsThreadAndAProcessLockDoesNot) {
  DWORD handle = OpenOk("\\\\host\\thread-lock");
  auto lampFromAnotherThread = [&]() {
    Result r{0, 0xDEAD};
    std::thread other([&] {
      BYTE lamp = 0;
      r.hr = scanner_->GetLampStatus(handle, &lamp, &r.code);
    });
    other.join();
    return r;
  };
  ASSERT_EQ(Lock(handle, C_LOCK_THREAD).hr, S_OK);
  BYTE lamp = 0;
  Result mine{0, 0xDEAD};
  mine.hr = scanner_->GetLampStatus(handle, &lamp, &mine.code);
  EXPECT_RESULT(mine, S_OK, 0);
  EXPECT_RESULT(lampFromAnotherThread(), E_FAIL, CERR_SCANNER_NOT_LOCKED);
  EXPECT_RESULT(Lock(handle, C_LOCK_PROCESS), E_FAIL, CERR_SCANNER_LOCK_FAILED);  // type mismatch
  EXPECT_RESULT(Unlock(handle), S_OK, 0);

  ASSERT_EQ(Lock(handle, C_LOCK_PROCESS).hr, S_OK);
  EXPECT_RESULT(lampFromAnotherThread(), S_OK, 0);
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
  EXPECT_RESULT(Unlock(handle), E_FAIL, CERR_UNKNOWN);           // nothing left to unlock
  EXPECT_RESULT(Lock(handle, 2), E_FAIL, CERR_SCANNER_LOCK_FAILED);  // no such lock type
}

TEST_F(DriverTest, TheLastCloseReleasesEveryLockLevel) {
  // Two names with one last component share one cross-process lock.
  DWORD first = OpenOk("\\\\first\\share\\Nested-Lock");
  DWORD second = OpenOk("\\\\second\\Nested-Lock");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Lock(first).hr, S_OK);
  EXPECT_RESULT(Lock(second), E_FAIL, CERR_SCANNER_LOCK_FAILED);
  EXPECT_RESULT(Close(first), S_OK, 0);
  EXPECT_RESULT(Lock(second), S_OK, 0);
  EXPECT_RESULT(Unlock(second), S_OK, 0);
}

// ---- method results ------------------------------------------------------------------------

TEST_F(DriverTest, ReadScanExReportsTheEndOfThePageWithAShortRead) {
  DWORD handle = OpenOk("\\\\host\\read");
  ASSERT_EQ(Lock(handle).hr, S_OK);
  g_script->pageBytes = 1600;
  std::vector<BYTE> buffer(1000, 0xEE);
  DWORD bytesRead = 77;
  Result r{0, 0xDEAD};
  r.hr = scanner_->ReadScanEx(handle, buffer.data(), 1000, &bytesRead, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(bytesRead, 1000u);
  EXPECT_EQ(buffer[999], 999 & 0xFF);
  std::fill(buffer.begin(), buffer.end(), 0xEE);
  r.hr = scanner_->ReadScanEx(handle, buffer.data(), 1000, &bytesRead, &r.code);
  EXPECT_RESULT(r, S_OK, CERR_SCANNER_END_OF_PAGE);
  EXPECT_EQ(bytesRead, 600u);
  EXPECT_EQ(buffer[0], 1000 & 0xFF);
  EXPECT_EQ(buffer[599], (1000 + 599) & 0xFF);
  EXPECT_EQ(buffer[600], 0xEE);

  g_script->failOps = kFakeRead;
  g_script->failError = CERR_CANCEL_PRESSED;
  bytesRead = 77;
  r.hr = scanner_->ReadScanEx(handle, buffer.data(), 1000, &bytesRead, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_CANCEL_PRESSED);
  EXPECT_EQ(bytesRead, 0u);

  r.hr = scanner_->ReadScanEx(handle, nullptr, 1000, &bytesRead, &r.code);
  EXPECT_RESULT(r, E_POINTER, CERR_INVALID_PARAMETER);
  r.hr = scanner_->ReadScanEx(handle, buffer.data(), 1000, nullptr, &r.code);
  EXPECT_RESULT(r, E_POINTER, CERR_INVALID_PARAMETER);
  r.hr = scanner_->ReadScan(handle, buffer.data(), 1000, &r.code);
  EXPECT_RESULT(r, E_NOTIMPL, CERR_NOT_IMPLEMENTED);
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
}

TEST_F(DriverTest, DeviceFailuresBecomeTheirCodesAndABusySocketTheBusyResult) {
  DWORD handle = OpenOk("\\\\host\\device-errors");
  ASSERT_EQ(Lock(handle).hr, S_OK);
  Result r{0, 0xDEAD};
  g_script->failOps = kFakeBeginScan | kFakeEndScan | kFakeSetAdfOptions | kFakeEjectAdfMedia | kFakeAdfReady |
                      kFakeSetParameters | kFakeGetBufferInfo | kFakeSetMfgMode;
  g_script->failError = CERR_NET_SOCKET_BUSY;
  r.hr = scanner_->StartScan(handle, &r.code);
  EXPECT_RESULT(r, CAVIX_E_SCONF_BUSY, CERR_SCANNER_COMMUNICATION_FAILED);

  g_script->failError = CERR_ADF_EMPTY;
  r.hr = scanner_->StartScan(handle, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_ADF_EMPTY);
  r.hr = scanner_->StopScan(handle, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_ADF_EMPTY);
  r.hr = adf_->SetADFOptions(handle, 5, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_ADF_EMPTY);
  r.hr = adf_->ADFEjectMedia(handle, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_ADF_EMPTY);
  BYTE ready = 9;
  r.hr = adf_->ADFIsReady(handle, &ready, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_ADF_EMPTY);
  EXPECT_EQ(ready, 9);
  SCANNER_PARAMETERS params{};
  r.hr = scanner_->SetScannerParameters(handle, &params, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_ADF_EMPTY);
  BUFFER_INFO info{};
  r.hr = scanner_->GetBufferInfo(handle, &params, &info, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_ADF_EMPTY);
  r.hr = mfg_->SetMFGParameters(handle, C_MFG_RAW_DATA, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_ADF_EMPTY);
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
}

TEST_F(DriverTest, SendAppEventCancelBehavesExactlyLikeStopScan) {
  DWORD handle = OpenOk("\\\\host\\send-event");
  // Unlocked, then locked, then with a failing device, then on a handle that names nothing.
  EXPECT_RESULT(SendCancel(handle), StopScan(handle).hr, StopScan(handle).code);
  EXPECT_RESULT(SendCancel(handle), E_FAIL, CERR_SCANNER_NOT_LOCKED);
  ASSERT_EQ(Lock(handle).hr, S_OK);
  EXPECT_RESULT(SendCancel(handle), S_OK, 0);
  EXPECT_EQ(g_script->endScans, 1);
  EXPECT_RESULT(StopScan(handle), S_OK, 0);
  EXPECT_EQ(g_script->endScans, 2);
  g_script->failOps = kFakeEndScan;
  g_script->failError = CERR_NET_SOCKET_BUSY;
  EXPECT_RESULT(SendCancel(handle), CAVIX_E_SCONF_BUSY, CERR_SCANNER_COMMUNICATION_FAILED);
  EXPECT_RESULT(StopScan(handle), CAVIX_E_SCONF_BUSY, CERR_SCANNER_COMMUNICATION_FAILED);
  EXPECT_RESULT(SendCancel(kNoSession), E_FAIL, CERR_UNKNOWN);
  EXPECT_RESULT(StopScan(kNoSession), E_FAIL, CERR_UNKNOWN);

  // Any other event is refused without reaching the device.
  const int endScans = g_script->endScans;
  Result r{0, 0xDEAD};
  r.hr = events_->SendAppEvent(handle, C_EVENT_PERCENT_COMPLETE, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_INVALID_PARAMETER);
  EXPECT_EQ(g_script->endScans, endScans);
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
}

TEST_F(DriverTest, EventSubscriptionsAcceptOnlyTheCancelEvent) {
  DWORD handle = OpenOk("\\\\host\\subscribe");
  ASSERT_EQ(Lock(handle).hr, S_OK);
  Result r{0, 0xDEAD};
  r.hr = events_->SubscribeDriverEvents(handle, nullptr, C_EVENT_SW_CANCEL | C_EVENT_PERCENT_COMPLETE, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_INVALID_PARAMETER);
  r.hr = events_->SubscribeDriverEvents(handle, nullptr, C_EVENT_SW_CANCEL, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  r.hr = events_->UnsubscribeDriverEvents(handle, 0, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_INVALID_PARAMETER);
  r.hr = events_->UnsubscribeDriverEvents(handle, C_EVENT_SW_CANCEL, &r.code);
  EXPECT_RESULT(r, S_OK, 0);

  EVENT_CAPABILITIES caps;
  std::memset(&caps, 0xFF, sizeof caps);
  r.hr = events_->GetEventCapabilities(handle, &caps, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(caps.dwAppEventsSupported, static_cast<DWORD>(C_EVENT_SW_CANCEL));
  EXPECT_EQ(caps.dwDriverEventsSupported, 0u);
  for (DWORD reserved : caps.dwReserved) EXPECT_EQ(reserved, 0u);
  r.hr = events_->GetEventCapabilities(handle, nullptr, &r.code);
  EXPECT_RESULT(r, E_POINTER, CERR_INVALID_PARAMETER);
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
}

TEST_F(DriverTest, SetGammaTableNeedsAllThreeTablesAndChangesNothing) {
  DWORD handle = OpenOk("\\\\host\\gamma");
  ASSERT_EQ(Lock(handle).hr, S_OK);
  BYTE red[4] = {1, 2, 3, 4}, green[4] = {5, 6, 7, 8}, blue[4] = {9, 10, 11, 12};
  Result r{0, 0xDEAD};
  r.hr = scanner_->SetGammaTable(handle, 4, nullptr, green, blue, &r.code);
  EXPECT_RESULT(r, E_POINTER, CERR_INVALID_PARAMETER);
  r.hr = scanner_->SetGammaTable(handle, 4, red, nullptr, blue, &r.code);
  EXPECT_RESULT(r, E_POINTER, CERR_INVALID_PARAMETER);
  r.hr = scanner_->SetGammaTable(handle, 4, red, green, nullptr, &r.code);
  EXPECT_RESULT(r, E_POINTER, CERR_INVALID_PARAMETER);
  r.hr = scanner_->SetGammaTable(handle, 4, red, green, blue, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(red[3] + green[3] + blue[3], 4 + 8 + 12);
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
}

TEST_F(DriverTest, RecordsKeepWhatTheDeviceDoesNotFill) {
  DWORD handle = OpenOk("\\\\host\\records");
  ASSERT_EQ(Lock(handle).hr, S_OK);
  SCANNER_CAPABILITIES caps;
  std::memset(&caps, 0xAB, sizeof caps);
  Result r{0, 0xDEAD};
  r.hr = scanner_->GetScannerCapabilities(handle, &caps, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_STREQ(reinterpret_cast<char*>(caps.byModelNumber), "Fake");
  EXPECT_EQ(caps.wOpticalResolution, 600);
  EXPECT_EQ(caps.wFiller, 0xABAB);
  EXPECT_EQ(reinterpret_cast<BYTE*>(&caps)[26], 0xAB);  // alignment gap
  EXPECT_EQ(caps.wReserved[5], 0xABAB);

  ADF2_CAPABILITIES adf2;
  std::memset(&adf2, 0xCD, sizeof adf2);
  r.hr = adf_->GetADF2Capabilities(handle, &adf2, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(adf2.dwADFOptionsSupported, 0x5u);
  EXPECT_EQ(adf2.wReserved[21], 0xCDCD);
  ADF_CAPABILITIES adfCaps{};
  r.hr = adf_->GetADFCapabilities(handle, nullptr, &r.code);
  EXPECT_RESULT(r, E_POINTER, CERR_INVALID_PARAMETER);
  r.hr = adf_->GetADFCapabilities(handle, &adfCaps, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(adfCaps.byHasADF, 1);
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
}

TEST_F(DriverTest, FeederAndManufacturingMethodsReachTheDevice) {
  DWORD handle = OpenOk("\\\\host\\feeder");
  ASSERT_EQ(Lock(handle).hr, S_OK);
  Result r{0, 0xDEAD};
  BYTE ready = 7;
  g_script->adfReady = 1;
  r.hr = adf_->ADFIsReady(handle, &ready, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(ready, 1);
  g_script->adfReady = 0;
  r.hr = adf_->ADFIsReady(handle, &ready, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(ready, 0);
  r.hr = adf_->ADFIsReady(handle, nullptr, &r.code);
  EXPECT_RESULT(r, E_POINTER, CERR_INVALID_PARAMETER);

  r.hr = adf_->SetADFOptions(handle, 0x5, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(g_script->lastAdfOptions, 0x5u);
  r.hr = adf_->ADFEjectMedia(handle, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(g_script->ejects, 1);
  DWORD length = 99;
  r.hr = adf_->ADF2PaperFeed(handle, &length, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(length, 0u);
  r.hr = adf_->ADF2PaperFeed(handle, nullptr, &r.code);
  EXPECT_RESULT(r, E_POINTER, 0);  // code untouched

  r.hr = mfg_->SetMFGParameters(handle, 0x1, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_INVALID_PARAMETER);
  EXPECT_EQ(g_script->mfgModes, 0);
  r.hr = mfg_->SetMFGParameters(handle, C_MFG_RAW_DATA, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(g_script->mfgModes, 1);
  DWORD caps = 0;
  r.hr = mfg_->GetMFGCapabilities(handle, &caps, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(caps, 0x1000u);
  r.hr = mfg_->GetMFGCapabilities(handle, nullptr, &r.code);
  EXPECT_RESULT(r, E_POINTER, CERR_INVALID_PARAMETER);
  BYTE line[8] = {3, 3, 3, 3, 3, 3, 3, 3};
  r.hr = mfg_->ReadContinuousScanLine(handle, line, sizeof line, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(line[0] + line[7], 6);

  r.hr = scanner_->ResetScanner(handle, &r.code);
  EXPECT_RESULT(r, S_OK, 0);
  EXPECT_EQ(g_script->resets, 1);
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
}

TEST_F(DriverTest, ANullErrorCodePointerIsRefused) {
  DWORD handle = OpenOk("\\\\host\\null-code");
  EXPECT_EQ(scanner_->LockScanner(handle, 0, 0, nullptr), E_POINTER);
  EXPECT_EQ(scanner_->StartScan(handle, nullptr), E_POINTER);
  EXPECT_EQ(scanner_->CloseScannerSession(handle, nullptr), E_POINTER);
  EXPECT_EQ(adf_->ADFPaperFeed(handle, nullptr), E_POINTER);
  EXPECT_EQ(events_->SendAppEvent(handle, C_EVENT_SW_CANCEL, nullptr), E_POINTER);
  EXPECT_EQ(mfg_->GetMFGCapabilities(handle, nullptr, nullptr), E_POINTER);
  EXPECT_RESULT(Lock(handle), S_OK, 0);  // the refused LockScanner took nothing
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
  EXPECT_RESULT(Unlock(handle), E_FAIL, CERR_UNKNOWN);
}

// ---- the log ------------------------------------------------------------------------------

TEST_F(DriverTest, TheLogShowsEntryAndExitLinesOfEachMethod) {
  DWORD handle = OpenOk("\\\\host\\log-lines");
  const std::string h = Hex(handle);

  size_t from = LogSize();
  Result r{0, 0xDEAD};
  r.hr = scanner_->StartScan(handle, &r.code);
  ASSERT_EQ(r.hr, E_FAIL);
  std::vector<std::string> lines;
  for (const std::string& line : LogLinesFrom(from)) lines.push_back(WithoutElapsed(line));
  const std::vector<std::string> refused = {
      "+++CavixDriver::StartScan: SessionID=0x" + h,
      "   +++SetError: ",
      "   ---SetError: hr=0x0, Elapsed: Nms",
      "---CavixDriver::StartScan: SessionID=0x: " + h +
          "ERROR: hr=0x80004005, CavixError=CERR_SCANNER_NOT_LOCKED (4), Elapsed: Nms",
  };
  EXPECT_EQ(lines, refused);

  ASSERT_EQ(Lock(handle).hr, S_OK);
  from = LogSize();
  r.hr = scanner_->StartScan(handle, &r.code);
  ASSERT_EQ(r.hr, S_OK);
  lines.clear();
  for (const std::string& line : LogLinesFrom(from)) lines.push_back(WithoutElapsed(line));
  const std::vector<std::string> started = {
      "+++CavixDriver::StartScan: SessionID=0x" + h,
      "---CavixDriver::StartScan: SessionID=0x: " + h + "hr=0x0, CavixError=none (0), Elapsed: Nms",
  };
  EXPECT_EQ(lines, started);

  g_script->failOps = kFakeBeginScan;
  g_script->failError = CERR_NET_SOCKET_BUSY;
  from = LogSize();
  r.hr = scanner_->StartScan(handle, &r.code);
  ASSERT_EQ(r.hr, CAVIX_E_SCONF_BUSY);
  lines = LogLinesFrom(from);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(WithoutElapsed(lines.back()),
            "---CavixDriver::StartScan: SessionID=0x: " + h +
                "ERROR: hr=0x80040021 (CAVIX_E_SCONF_BUSY), CavixError=CERR_SCANNER_COMMUNICATION_FAILED (12), "
                "Elapsed: Nms");

  from = LogSize();
  DWORD bytesRead = 0;
  BYTE buffer[100];
  g_script->pageBytes = 40;
  r.hr = scanner_->ReadScanEx(handle, buffer, sizeof buffer, &bytesRead, &r.code);
  lines.clear();
  for (const std::string& line : LogLinesFrom(from)) lines.push_back(WithoutElapsed(line));
  const std::vector<std::string> shortRead = {
      "+++CavixDriver::ReadScanEx: SessionID=0x" + h,
      "   bytesRead = 40",
      "   +++SetError: ",
      "   ---SetError: hr=0x0, Elapsed: Nms",
      "---CavixDriver::ReadScanEx: SessionID=0x: " + h +
          "hr=0x0, CavixError=CERR_SCANNER_END_OF_PAGE (15), Elapsed: Nms",
  };
  EXPECT_EQ(lines, shortRead);
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
}

TEST_F(DriverTest, TheLogShowsTheOpenTheReadScanNoticeAndTheWarnings) {
  size_t from = LogSize();
  DWORD handle = OpenOk("\\\\host\\log-open");
  std::vector<std::string> lines;
  for (const std::string& line : LogLinesFrom(from)) lines.push_back(WithoutElapsed(line));
  // The lines of the open, in order (the scanner lock adds its own in between).
  const std::vector<std::string> open = {
      "+++CavixDriver::OpenScannerSession: ",
      "   ioType = 5",
      "   +++ScanSessionOpener::ScanSessionOpener: ",
      "   ---ScanSessionOpener::ScanSessionOpener: hr=0x0, Elapsed: Nms",
      "   +++ScanSessionOpener::OpenSession: ",
      "      device \\\\host\\log-open",
      "         Lock Semaphore name is Global\\log-open",
      "   ---ScanSessionOpener::OpenSession: hr=0x0, Elapsed: Nms",
      "   +++ScanSessionOpener::InitScanDevice: ",
      "   ---ScanSessionOpener::InitScanDevice: hr=0x0, Elapsed: Nms",
      "---CavixDriver::OpenScannerSession: hr=0x0, extended error=(0), Elapsed: Nms",
  };
  size_t at = 0;
  for (const std::string& line : lines) {
    if (at < open.size() && line == open[at]) ++at;
  }
  EXPECT_EQ(at, open.size()) << "missing: " << (at < open.size() ? open[at] : "");

  ASSERT_EQ(Lock(handle).hr, S_OK);
  from = LogSize();
  Result r{0, 0xDEAD};
  BYTE buffer[4];
  r.hr = scanner_->ReadScan(handle, buffer, sizeof buffer, &r.code);
  BYTE table[2] = {0, 0};
  r.hr = scanner_->SetGammaTable(handle, 2, table, table, table, &r.code);
  lines.clear();
  for (const std::string& line : LogLinesFrom(from)) lines.push_back(WithoutElapsed(line));
  const std::vector<std::string> expected = {
      "+++CavixDriver::ReadScan: SessionID=0x" + Hex(handle),
      "   If this logging is ever emitted, it means some client called",
      "   IScanner::ReadScan(). Though officially the CAVIX interface requires us",
      "   to implement this function, our implementation assumes no clients ",
      "   still exist that rely on IScanner::ReadScan(). Emission of this",
      "   logging demonstrates that some client does exist that relies on",
      "   IScanner::ReadScan() and we need to reconsider implementing it",
      "   +++SetError: ",
      "   ---SetError: hr=0x0, Elapsed: Nms",
      "---CavixDriver::ReadScan: SessionID=0x: " + Hex(handle) +
          "ERROR: hr=0x80004001, CavixError=CERR_NOT_IMPLEMENTED (10), Elapsed: Nms",
      "+++CavixDriver::SetGammaTable: SessionID=0x" + Hex(handle),
      "   Warning! Gamma/threshold was programmed but will have no effect.",
      "---CavixDriver::SetGammaTable: SessionID=0x: " + Hex(handle) + "hr=0x0, CavixError=none (0), Elapsed: Nms",
  };
  EXPECT_EQ(lines, expected);
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
}

TEST_F(DriverTest, TheLogDumpsTheRecordsOfSuccessfulCalls) {
  DWORD handle = OpenOk("\\\\host\\dumps");
  ASSERT_EQ(Lock(handle).hr, S_OK);
  SCANNER_PARAMETERS params{};
  params.dwWidth = 120;
  params.dwLength = 80;
  BUFFER_INFO info{};
  Result r{0, 0xDEAD};
  size_t from = LogSize();
  r.hr = scanner_->GetBufferInfo(handle, &params, &info, &r.code);
  ASSERT_EQ(r.hr, S_OK);
  std::string text = ReadFile(g_logFile).substr(from);
  EXPECT_NE(text.find(" << BUFFER_INFO >>> \nBytes Per Line = 360\nPixel Width = 120\nPixel Height = 80\n"),
            std::string::npos)
      << text;

  from = LogSize();
  r.hr = scanner_->SetScannerParameters(handle, &params, &r.code);
  ASSERT_EQ(r.hr, S_OK);
  EXPECT_EQ(g_script->lastParametersWidth, 120u);
  text = ReadFile(g_logFile).substr(from);
  EXPECT_NE(text.find(" << SCANNER PARAMETERS >>> \nPixelLeft = 0\nPixelTop = 0\nPixelWidth = 120\nPixelLength = 80\n"),
            std::string::npos)
      << text;

  // A failed call dumps nothing.
  g_script->failOps = kFakeGetBufferInfo;
  g_script->failError = CERR_INVALID_PARAMETER;
  from = LogSize();
  r.hr = scanner_->GetBufferInfo(handle, &params, &info, &r.code);
  EXPECT_RESULT(r, E_FAIL, CERR_INVALID_PARAMETER);
  EXPECT_EQ(ReadFile(g_logFile).substr(from).find("BUFFER_INFO"), std::string::npos);

  from = LogSize();
  SCANNER_CAPABILITIES caps{};
  r.hr = scanner_->GetScannerCapabilities(handle, &caps, &r.code);
  ASSERT_EQ(r.hr, S_OK);
  text = ReadFile(g_logFile).substr(from);
  EXPECT_NE(text.find(" <<< SCANNER CAPABILITIES >>> \nModelNumber = Fake\n"), std::string::npos) << text;
  EXPECT_RESULT(Unlock(handle), S_OK, 0);
}

// ---- two processes ------------------------------------------------------------------------

// A second process that holds a session of its own on `name` and locks and unlocks it on
// command ("lock", "unlock" lines on its standard input; it answers "<command> <hr> <code>").
class LockHolder {
 public:
  explicit LockHolder(const std::string& name) {
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(toChild[0], 0);
      dup2(fromChild[1], 1);
      close(toChild[1]);
      close(fromChild[0]);
      execl(CAVIX_DRIVER_LOCK_HOLDER, CAVIX_DRIVER_LOCK_HOLDER, CAVIX_DRIVER_MODULE, CAVIX_FAKE_DEVICE_PLUGIN,
            name.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    in_ = fdopen(toChild[1], "w");
    out_ = fdopen(fromChild[0], "r");
  }
  ~LockHolder() {
    Kill();
    if (in_) fclose(in_);
    if (out_) fclose(out_);
  }
  // Sends a command and returns the answer line (empty when the process is gone).
  std::string Command(const char* command) {
    if (!in_ || !out_) return "";
    std::fprintf(in_, "%s\n", command);
    std::fflush(in_);
    return ReadLine();
  }
  // The next answer line (empty when the process is gone).
  std::string ReadLine() {
    if (!out_) return "";
    char line[128];
    if (!std::fgets(line, sizeof line, out_)) return "";
    std::string answer(line);
    if (!answer.empty() && answer.back() == '\n') answer.pop_back();
    return answer;
  }
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  FILE* in_ = nullptr;
  FILE* out_ = nullptr;
};

TEST_F(DriverTest, ProcessesWhoseDeviceNamesEndAlikeSerialiseOnOneLock) {
  LockHolder holder("\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:02\\port1\\ipaddr:127.0.0.3\\Shared-Scanner");
  ASSERT_EQ(holder.Command("open"), "open 0 0");
  ASSERT_EQ(holder.Command("lock"), "lock 0 0");

  DWORD mine = OpenOk("\\\\elsewhere\\Shared-Scanner");
  DWORD unrelated = OpenOk("\\\\elsewhere\\Other-Scanner");
  EXPECT_RESULT(Lock(mine, C_LOCK_PROCESS, 0), E_FAIL, CERR_SCANNER_LOCK_FAILED);
  EXPECT_RESULT(Lock(unrelated), S_OK, 0);
  EXPECT_RESULT(Unlock(unrelated), S_OK, 0);

  // A waiter gets the lock once the holder unlocks.
  Result waited{1, 0xDEAD};
  std::thread waiter([&] { waited = Lock(mine, C_LOCK_PROCESS, 120000); });
  EXPECT_EQ(holder.Command("unlock"), "unlock 0 0");
  waiter.join();
  EXPECT_RESULT(waited, S_OK, 0);
  // Now the holder has to wait.
  EXPECT_EQ(holder.Command("trylock"), "trylock -2147467259 5");
  EXPECT_RESULT(Unlock(mine), S_OK, 0);

  // A holder that dies frees the lock.
  ASSERT_EQ(holder.Command("lock"), "lock 0 0");
  EXPECT_RESULT(Lock(mine, C_LOCK_PROCESS, 0), E_FAIL, CERR_SCANNER_LOCK_FAILED);
  holder.Kill();
  EXPECT_RESULT(Lock(mine, C_LOCK_PROCESS, 120000), S_OK, 0);
  EXPECT_RESULT(Unlock(mine), S_OK, 0);
}

// Fairness across processes: while this host waits for the lock, the other gives it back and
// at once takes it again, round after round; this host gets it at the first release, and the
// other waits for it.
TEST_F(DriverTest, AWaitingHostGetsTheLockWhileTheOtherTakesItAgainInALoop) {
  LockHolder holder("\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:03\\port1\\ipaddr:127.0.0.4\\Fair-Scanner");
  ASSERT_EQ(holder.Command("open"), "open 0 0");
  ASSERT_EQ(holder.Command("lock"), "lock 0 0");
  DWORD mine = OpenOk("\\\\elsewhere\\Fair-Scanner");
  Result waited{1, 0xDEAD};
  std::atomic<bool> served{false};
  std::thread waiter([&] {
    waited = Lock(mine, C_LOCK_PROCESS, 120000);
    served = waited.hr == S_OK;
    if (served) Unlock(mine);
  });
  // Once this host's wait holds its place in the queue (a record lock on the lock file past
  // the ticket counter), the other host starts going round.
  const std::string lockFile = g_tempDir + "/locks/Global_Fair-Scanner";
  bool queued = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!queued && std::chrono::steady_clock::now() < deadline) {
    const int fd = open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
    struct flock range = {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 4096;
    range.l_len = 0;
    queued = fd >= 0 && fcntl(fd, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
    if (fd >= 0) close(fd);
    if (!queued) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_TRUE(queued);
  EXPECT_EQ(holder.Command("relock 20"), "relock 0 0");
  EXPECT_TRUE(served) << "the other host kept the lock by taking it again";
  EXPECT_EQ(holder.Command("unlock"), "unlock 0 0");
  waiter.join();
  EXPECT_RESULT(waited, S_OK, 0);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  char dir[] = "/tmp/cavix-driver-module-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  g_tempDir = dir;
  g_logFile = g_tempDir + "/driver.log";
  g_hklmFile = g_tempDir + "/hklm.reg";
  WriteFile(g_hklmFile, Substitute(DataFile("hklm-before.reg"), "@LOGFILE@", g_logFile));
  setenv("CAVIX_REGISTRY_HKLM", g_hklmFile.c_str(), 1);
  setenv("CAVIX_REGISTRY_HKCU", (g_tempDir + "/hkcu.reg").c_str(), 1);
  setenv("CAVIX_LOCK_DIR", (g_tempDir + "/locks").c_str(), 1);
  setenv("CAVIX_TEST_DEVICE_PLUGIN", CAVIX_FAKE_DEVICE_PLUGIN, 1);

  std::string error = LoadDriverModule(CAVIX_DRIVER_MODULE, CAVIX_FAKE_DEVICE_PLUGIN, &g_module, &g_script);
  int rc = 1;
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
  } else {
    rc = RUN_ALL_TESTS();
  }
  nftw(g_tempDir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  return rc;
}
