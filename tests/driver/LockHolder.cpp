// A second host process for the cross-process lock tests: loads the driver module with dlopen,
// and on each command line from standard input acts on a session of the device name given as
// its third argument, answering "<command> <hr> <code>" on standard output:
//   open     OpenScannerSession (network)
//   lock     LockScanner PROCESS, waiting without limit
//   trylock  LockScanner PROCESS, not waiting
//   unlock   UnlockScanner
//   relock N holding the lock: N rounds of UnlockScanner and at once LockScanner again
//            (waiting without limit); answers "relock <hr> <code>" of the last round
// Usage: driver_lock_holder <module> <device plug-in> <device name>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/driver/DriverHost.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <module> <device plug-in> <device name>\n", argv[0]);
    return 2;
  }
  DriverModuleEntries entries;
  FakeDeviceScript* script = nullptr;
  std::string error = LoadDriverModule(argv[1], argv[2], &entries, &script);
  if (!error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  IScanner* scanner = CreateScanner(entries);
  if (scanner == nullptr) return 1;
  std::string name = argv[3];
  std::u16string wide(name.begin(), name.end());
  DWORD handle = 0;

  char line[64];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    line[std::strcspn(line, "\n")] = '\0';
    DWORD code = 0xDEAD;
    HRESULT hr = E_NOTIMPL;
    if (std::strcmp(line, "open") == 0) {
      hr = scanner->OpenScannerSession(wide.c_str(), 5, &handle, &code);
    } else if (std::strcmp(line, "lock") == 0) {
      hr = scanner->LockScanner(handle, C_LOCK_PROCESS, 0xFFFFFFFFu, &code);
    } else if (std::strcmp(line, "trylock") == 0) {
      hr = scanner->LockScanner(handle, C_LOCK_PROCESS, 0, &code);
    } else if (std::strcmp(line, "unlock") == 0) {
      hr = scanner->UnlockScanner(handle, &code);
    } else if (std::strncmp(line, "relock ", 7) == 0) {
      // Holding the lock: gives it back and at once takes it again, round after round.
      hr = S_OK;
      for (long round = std::strtol(line + 7, nullptr, 10); round > 0 && hr == S_OK; --round) {
        hr = scanner->UnlockScanner(handle, &code);
        if (hr == S_OK) hr = scanner->LockScanner(handle, C_LOCK_PROCESS, 0xFFFFFFFFu, &code);
      }
      line[6] = '\0';  // answered as "relock"
    }
    std::printf("%s %d %u\n", line, static_cast<int>(hr), static_cast<unsigned>(code));
    std::fflush(stdout);
  }
  scanner->Release();
  return 0;
}
