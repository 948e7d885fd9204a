// Fuzzes the .reg file reader with the text of a registry file. A text that reads must come
// back unchanged through the writer: its written form reads again, into a tree that writes
// the same text, so that the store never rewrites a file it read into something it cannot
// read back (or reads back differently).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/RegFileFormat.h"
#include "platform/RegistryError.h"
#include "platform/RegistryTree.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz_reg_file: %s\n%s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // CAVIX_FUZZ_TRACE=1 shows how each input read (to check what a corpus covers).
  static const bool trace = std::getenv("CAVIX_FUZZ_TRACE") != nullptr;
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (RegistryRoot root : {RegistryRoot::LocalMachine, RegistryRoot::CurrentUser}) {
    RegistryTree tree;
    try {
      RegFileFormat::Parse(text, "fuzz.reg", root, &tree);
    } catch (const RegistryError& e) {
      if (trace) std::fprintf(stderr, "%s: %s\n", RegistryRootName(root), e.what());
      if (e.Code() != ERROR_REGISTRY_CORRUPT) Fail("reader failed with another code", e.what());
      const std::string message = e.what();
      if (message.compare(0, 9, "fuzz.reg:") != 0) Fail("error message does not name the file", message);
      continue;
    }
    const std::string written = RegFileFormat::Format(tree, root);
    if (trace) std::fprintf(stderr, "%s: read, written as %zu bytes\n", RegistryRootName(root), written.size());
    RegistryTree again;
    try {
      RegFileFormat::Parse(written, "written.reg", root, &again);
    } catch (const RegistryError& e) {
      Fail("written form does not read back", std::string(e.what()) + "\n" + written);
    }
    const std::string rewritten = RegFileFormat::Format(again, root);
    if (rewritten != written) Fail("written form reads back differently", written + "----\n" + rewritten);
  }
  return 0;
}
