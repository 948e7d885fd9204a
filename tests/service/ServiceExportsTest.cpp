// A module that links the service code gets the names libgsoap++.so resolves in the
// application even when it uses none of the generated code itself, exports those and nothing
// else of the service or generated code, and loads with everything bound at once.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

std::set<std::string> DefinedDynamicSymbols(const std::string& path) {
  std::set<std::string> names;
  FILE* nm = popen(("nm -D --defined-only " + path).c_str(), "r");
  if (!nm) return names;
  char line[1024];
  while (fgets(line, sizeof line, nm)) {
    std::string text(line);
    text.erase(text.find_last_not_of("\r\n") + 1);
    size_t at = text.rfind(' ');
    std::string name = at == std::string::npos ? text : text.substr(at + 1);
    // Instantiations of standard library templates (namespace std) carry the library's own
    // default visibility; the module's link decides about those.
    if (name.rfind("_ZNSt", 0) == 0 || name.rfind("_ZNKSt", 0) == 0 || name.rfind("_ZSt", 0) == 0)
      continue;
    // The address sanitizer adds a one-definition-rule marker beside each exported variable.
    if (name.rfind("__odr_asan", 0) == 0) continue;
    names.insert(name);
  }
  pclose(nm);
  return names;
}

TEST(ServiceExportsTest, ModuleExportsOnlyTheGsoapCallbacksAndLoadsBound) {
  const std::set<std::string> expected = {
      "CavixServiceProbe",
      "namespaces",
      "soap_markelement",
      "soap_getelement",
      "soap_putelement",
      "soap_dupelement",
      "soap_delelement",
      "_Z13soap_getfaultP4soap",
      "_Z13soap_putfaultP4soap",
      "_Z19soap_serializefaultP4soap",
      "_Z14soap_getheaderP4soap",
      "_Z14soap_putheaderP4soap",
      "_Z20soap_serializeheaderP4soap",
      "_Z14soap_faultcodeP4soap",
      "_Z17soap_faultsubcodeP4soap",
      "_Z16soap_faultstringP4soap",
      "_Z16soap_faultdetailP4soap",
      "_Z18soap_fault_subcodeP4soap",
      "_Z17soap_fault_stringP4soap",
      "_Z17soap_fault_detailP4soap",
  };
  EXPECT_EQ(expected, DefinedDynamicSymbols(CAVIX_SERVICE_PROBE));

  void* module = dlopen(CAVIX_SERVICE_PROBE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, module) << dlerror();
  auto probe = reinterpret_cast<int (*)()>(dlsym(module, "CavixServiceProbe"));
  ASSERT_NE(nullptr, probe);
  EXPECT_EQ(1, probe());
  dlclose(module);
}

}  // namespace
