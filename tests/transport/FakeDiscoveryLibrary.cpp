// A discovery library for tests that answers what the environment tells it, to reach the
// answers the real library never gives:
//   FAKE_SDI_STARTUP, FAKE_SDI_SHUTDOWN   statuses of SDI_startup / SDI_shutdown (default 0)
//   FAKE_SDI_COUNT                        devices found (default 1)
//   FAKE_SDI_IPV4                         the IPv4 answer (default "0.0.0.0")
//   FAKE_SDI_FILL64                       "1": the IPv4 answer fills the buffer with no NUL
//   FAKE_SDI_TRACE                        a file each call appends its name and arguments to
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

int32_t EnvNumber(const char* name, int32_t fallback) {
  const char* text = std::getenv(name);
  return text ? static_cast<int32_t>(std::strtol(text, nullptr, 10)) : fallback;
}

void Trace(const std::string& line) {
  const char* path = std::getenv("FAKE_SDI_TRACE");
  if (!path) return;
  if (FILE* f = std::fopen(path, "a")) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
  }
}

}  // namespace

FAKE_EXPORT int32_t SDI_startup(uint8_t flag) {
  Trace("startup " + std::to_string(flag));
  return EnvNumber("FAKE_SDI_STARTUP", 0);
}

FAKE_EXPORT int32_t SDI_setLoggingLevel(int32_t level) {
  Trace("setLoggingLevel " + std::to_string(level));
  return 0;
}

FAKE_EXPORT int32_t SDI_discoverMAC(const char* mac, uint32_t a, uint32_t b, uint32_t c) {
  Trace(std::string("discoverMAC ") + (mac ? mac : "(null)") + " " + std::to_string(a) + " " +
        std::to_string(b) + " " + std::to_string(c));
  return 0;
}

FAKE_EXPORT int32_t SDI_getNumDiscoveredDevices(uint32_t* count) {
  *count = static_cast<uint32_t>(EnvNumber("FAKE_SDI_COUNT", 1));
  return 0;
}

FAKE_EXPORT int32_t SDI_getIPAddress(uint32_t index, char* buffer, uint32_t size, uint32_t* out) {
  Trace("getIPAddress " + std::to_string(index) + " " + std::to_string(size));
  if (EnvNumber("FAKE_SDI_FILL64", 0) == 1) {
    // "127.0.0.3" followed by digits up to the last byte: no room for the NUL.
    std::memset(buffer, '7', size);
    std::memcpy(buffer, "127.0.0.3", 9);
    *out = 1;
    return 0;
  }
  const char* answer = std::getenv("FAKE_SDI_IPV4");
  if (!answer) answer = "0.0.0.0";
  std::snprintf(buffer, size, "%s", answer);
  *out = 1;
  return 0;
}

FAKE_EXPORT int32_t SDI_getIPv6Addresses(uint32_t, char* buffer, uint32_t size, uint32_t* count,
                                         uint32_t* length) {
  Trace("getIPv6Addresses " + std::to_string(buffer != nullptr) + " " + std::to_string(size));
  *count = 0;
  *length = 0;
  return 0;
}

FAKE_EXPORT int32_t SDI_shutdown(uint8_t flag) {
  Trace("shutdown " + std::to_string(flag));
  return EnvNumber("FAKE_SDI_SHUTDOWN", 0);
}
