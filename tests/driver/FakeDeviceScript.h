// What a test tells the fake scan device to do, and what the fake saw. Shared by every fake the
// process makes; tests that load the driver module reach it through the fake plug-in's
// CavixFakeDeviceScript(). Plain data, used from the test's thread.
#ifndef CAVIX_TESTS_DRIVER_FAKEDEVICESCRIPT_H
#define CAVIX_TESTS_DRIVER_FAKEDEVICESCRIPT_H

#include <cstdint>
#include <cstring>

// Operations whose outcome a test can choose (bits of FakeDeviceScript::failOps).
enum FakeOp : uint32_t {
  kFakeGetBufferInfo = 0x1,
  kFakeSetParameters = 0x2,
  kFakeSetAdfOptions = 0x4,
  kFakeAdfReady = 0x8,
  kFakeBeginScan = 0x10,
  kFakeRead = 0x20,
  kFakeEndScan = 0x40,
  kFakeEjectAdfMedia = 0x80,
  kFakeSetMfgMode = 0x100,
};

// How Init ends.
enum FakeInitOutcome : int32_t {
  kFakeInitSucceeds = 0,
  kFakeInitFails = 1,          // false, GetError gives initError
  kFakeInitThrowsBadAlloc = 2,
  kFakeInitThrowsCode = 3,     // throws initError as a CAVIX_ERRORS value
  kFakeInitThrowsOther = 4,    // throws an int
};

struct FakeDeviceScript {
  // Set by the test.
  int32_t initOutcome;
  uint32_t initError;
  uint32_t failOps;       // operations that answer false ...
  uint32_t failError;     // ... leaving this code for GetError
  uint32_t pageBytes;     // image bytes left in the current page
  int32_t adfReady;

  // Seen by the fakes.
  int32_t created;
  int32_t destroyed;
  int32_t initCalls;
  int32_t lastKind;
  char lastDevice[512];
  int32_t resets;
  int32_t beginScans;
  int32_t endScans;
  int32_t ejects;
  int32_t mfgModes;
  uint32_t lastAdfOptions;
  uint32_t lastParametersWidth;
};

// Clears every field.
inline void ResetFakeDeviceScript(FakeDeviceScript* script) { std::memset(script, 0, sizeof *script); }

#endif
