#include "driver/ServerRegistration.h"

#include <exception>
#include <vector>

#include "driver/CavixScanner.h"
#include "log/CLog2.h"
#include "log/GlobalLog.h"
#include "log/LogLevels.h"
#include "platform/ComGuid.h"
#include "platform/RegistryStore.h"
#include "platform/RegistryTree.h"

namespace {

using Path = std::vector<std::string>;

std::vector<uint8_t> Text(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

void SetDefault(RegistryTree::Node* key, const std::string& text) { key->SetValue("", REG_SZ, Text(text)); }

Path ClassKey() { return {"Software", "Classes", "CLSID", GuidToString(CLSID_CavixScanner)}; }
Path ProgIdKey() { return {"Software", "Classes", CAVIX_PROGID}; }
Path IndependentProgIdKey() { return {"Software", "Classes", CAVIX_VERSION_INDEPENDENT_PROGID}; }

Path Child(Path path, const std::string& name) {
  path.push_back(name);
  return path;
}

HRESULT Failed(const char* what, const std::exception& e) {
  if (CLog2* log = GetGlobalLog()) log->print(LOG_ERROR_MSG, "Error: %s: %s", what, e.what());
  return SELFREG_E_CLASS;
}

}  // namespace

namespace ServerRegistration {

HRESULT Register(const std::string& modulePath) {
  const std::string classId = GuidToString(CLSID_CavixScanner);
  try {
    RegistryStore store(RegistryRoot::LocalMachine);
    store.Modify([&](RegistryTree& tree) {
      SetDefault(tree.FindOrCreate(ClassKey()), CAVIX_CLASS_DESCRIPTION);
      RegistryTree::Node* server = tree.FindOrCreate(Child(ClassKey(), "InprocServer32"));
      SetDefault(server, modulePath);
      server->SetValue("ThreadingModel", REG_SZ, Text("Both"));
      SetDefault(tree.FindOrCreate(Child(ClassKey(), "ProgID")), CAVIX_PROGID);
      SetDefault(tree.FindOrCreate(Child(ClassKey(), "VersionIndependentProgID")), CAVIX_VERSION_INDEPENDENT_PROGID);
      SetDefault(tree.FindOrCreate(Child(ClassKey(), "TypeLib")), GuidToString(LIBID_CavixDriver));

      SetDefault(tree.FindOrCreate(ProgIdKey()), CAVIX_CLASS_DESCRIPTION);
      SetDefault(tree.FindOrCreate(Child(ProgIdKey(), "CLSID")), classId);

      SetDefault(tree.FindOrCreate(IndependentProgIdKey()), CAVIX_CLASS_DESCRIPTION);
      SetDefault(tree.FindOrCreate(Child(IndependentProgIdKey(), "CLSID")), classId);
      SetDefault(tree.FindOrCreate(Child(IndependentProgIdKey(), "CurVer")), CAVIX_PROGID);
      return true;
    });
  } catch (const std::exception& e) {  // RegistryError, or a failure creating the store's directory
    return Failed("DllRegisterServer", e);
  }
  return S_OK;
}

HRESULT Unregister() {
  try {
    RegistryStore store(RegistryRoot::LocalMachine);
    store.Modify([](RegistryTree& tree) {
      bool changed = tree.Remove(ClassKey());
      changed = tree.Remove(ProgIdKey()) || changed;
      changed = tree.Remove(IndependentProgIdKey()) || changed;
      return changed;
    });
  } catch (const std::exception& e) {
    return Failed("DllUnregisterServer", e);
  }
  return S_OK;
}

}  // namespace ServerRegistration
