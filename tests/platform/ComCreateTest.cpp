// Creating objects from a server module, by path and through the registry store.
#include <gtest/gtest.h>

#include "platform/ComCreate.h"
#include "platform/ComGuid.h"
#include "tests/platform/ScratchDir.h"
#include "tests/platform/TestInterfaces.h"

namespace {

const std::string kModule = CAVIX_TEST_SERVER_MODULE;

TEST(ComCreateTest, FromModulePath) {
  ICounter* counter = nullptr;
  ASSERT_EQ(CoCreateInstanceFromModule(kModule, CLSID_TestCounter, IID_ICounter, reinterpret_cast<void**>(&counter)),
            S_OK);
  EXPECT_EQ(counter->Next(), 1);
  counter->Release();

  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(CoCreateInstanceFromModule(kModule, CLSID_TestCounter, IID_IMissing, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(CoCreateInstanceFromModule(kModule, IID_IUnknown, IID_ICounter, &p), CLASS_E_CLASSNOTAVAILABLE)
      << "the module's own answer for a class it does not serve";
  EXPECT_EQ(CoCreateInstanceFromModule("/nonexistent/libnothing.so", CLSID_TestCounter, IID_ICounter, &p),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_NE(LastModuleLoadError().find("libnothing.so"), std::string::npos) << LastModuleLoadError();
  EXPECT_EQ(CoCreateInstanceFromModule(kModule, CLSID_TestCounter, IID_ICounter, nullptr), E_POINTER);
}

TEST(ComCreateTest, ModuleWithoutDllGetClassObjectIsNotAServer) {
  void* p = nullptr;
  // The C library is a shared object without the export.
  EXPECT_EQ(CoCreateInstanceFromModule("libc.so.6", CLSID_TestCounter, IID_ICounter, &p), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_NE(LastModuleLoadError().find("DllGetClassObject"), std::string::npos);
}

TEST(ComCreateTest, FromTheRegistryStore) {
  ScratchDir dir;
  void* p = nullptr;
  EXPECT_EQ(CoCreateInstanceFromStore(CLSID_TestCounter, IID_ICounter, &p), REGDB_E_CLASSNOTREG) << "empty store";

  // Registered by hand, as an installer's .reg file would do it.
  std::string escaped;
  for (char c : kModule) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  const std::string clsid = GuidToString(CLSID_TestCounter);
  ScratchDir::WriteFile(dir.Hklm(), "Windows Registry Editor Version 5.00\n\n"
                                    "[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\" + clsid + "]\n"
                                    "@=\"counter Class\"\n\n"
                                    "[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\" + clsid + "\\InprocServer32]\n"
                                    "@=\"" + escaped + "\"\n"
                                    "\"ThreadingModel\"=\"Both\"\n");
  INamed* named = nullptr;
  ASSERT_EQ(CoCreateInstanceFromStore(CLSID_TestCounter, IID_INamed, reinterpret_cast<void**>(&named)), S_OK);
  EXPECT_STREQ(named->Name(), "counter");
  named->Release();

  // A class key without a module path is not registered.
  ScratchDir::WriteFile(dir.Hklm(), "Windows Registry Editor Version 5.00\n\n"
                                    "[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\" + clsid + "\\InprocServer32]\n");
  EXPECT_EQ(CoCreateInstanceFromStore(CLSID_TestCounter, IID_INamed, &p), REGDB_E_CLASSNOTREG);

  // An unreadable store fails and says why.
  ScratchDir::WriteFile(dir.Hklm(), "not a registry file\n");
  EXPECT_EQ(CoCreateInstanceFromStore(CLSID_TestCounter, IID_INamed, &p), E_FAIL);
  EXPECT_NE(LastModuleLoadError().find(dir.Hklm() + ":1:"), std::string::npos) << LastModuleLoadError();
}

}  // namespace
