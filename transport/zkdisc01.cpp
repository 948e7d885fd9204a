// The discovery library's seven functions over NeighbourTable. Each thread has a session of its
// own (thread-local state), so that devices rediscovered at once on different threads do not
// disturb each other; the logging level is process-wide.
#include "transport/zkdisc01.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "transport/AvahiBrowser.h"
#include "transport/DiscoverySettings.h"
#include "transport/IpLiteral.h"
#include "transport/NeighbourTable.h"
#include "transport/WsDiscovery.h"

#define SDI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<int32_t> loggingLevel{0};
thread_local bool started = false;
thread_local std::vector<NeighbourDevice> found;  // the last search of this thread's session

void Trace(int32_t level, const char* format, ...) {
  if (loggingLevel < level) return;
  std::va_list args;
  va_start(args, format);
  std::fputs("zkdisc01: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

// Keeps of `devices` only the addresses in `answered` (a link-local one on the same interface),
// and the devices that keep one.
void KeepAnswered(std::vector<NeighbourDevice>& devices, const std::vector<std::string>& answered) {
  auto heard = [&](const std::string& a) {
    for (const std::string& h : answered)
      if (IpLiteral::SameHost(h, a)) return true;
    return false;
  };
  std::vector<NeighbourDevice> kept;
  for (NeighbourDevice& d : devices) {
    NeighbourDevice k{d.mac, {}, {}};
    for (const std::string& a : d.ipv4)
      if (heard(a)) k.ipv4.push_back(a);
    for (const std::string& a : d.ipv6)
      if (heard(a)) k.ipv6.push_back(a);
    if (!k.ipv4.empty() || !k.ipv6.empty()) kept.push_back(std::move(k));
  }
  devices.swap(kept);
}

// Fills `found` with the devices that carry mac; SDI_OK or SDI_ERR_SOURCE. The hosts that
// answer a WS-Discovery Probe or whose services Avahi's browser resolves (both gathered at once)
// are matched by their MAC addresses in the neighbour table (their
// exchange with this host left them there); with the neighbour source on, every neighbour the
// table holds is matched as well. Nothing is sent to fill the table.
int32_t Search(const std::string& mac) {
  const DiscoverySettings settings = DiscoverySettings::FromEnvironment();
  const auto gatherUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(settings.GatherMs());
  std::vector<std::string> answered, announced;
  std::thread avahi;
  if (settings.avahi) avahi = std::thread([&announced, gatherUntil] { announced = AvahiBrowser::Search(gatherUntil); });
  if (settings.wsDiscovery) {
    answered = WsDiscovery::Search(gatherUntil);
    Trace(2, "WS-Discovery: %zu host(s) answered", answered.size());
  }
  if (avahi.joinable()) {
    avahi.join();
    Trace(2, "Avahi: %zu host(s) announced", announced.size());
    answered.insert(answered.end(), announced.begin(), announced.end());
  }
  std::vector<NeighbourDevice> devices;
  // A test fixture only: never read on behalf of the caller of a set-user-ID host.
  const char* fixture = secure_getenv("CAVIX_NEIGHBOUR_TABLE");
  if (fixture && *fixture) {
    std::vector<std::string> skipped;
    if (!NeighbourTable::ReadFixtureFile(fixture, devices, &skipped)) {
      Trace(1, "cannot read %s", fixture);
      return SDI_ERR_SOURCE;
    }
    for (const auto& s : skipped) Trace(1, "%s: skipped %s", fixture, s.c_str());
  } else if (!NeighbourTable::ReadKernel(devices)) {
    Trace(1, "cannot read the kernel's neighbour tables");
    return SDI_ERR_SOURCE;
  }
  if (!settings.neighbours) KeepAnswered(devices, answered);
  found = NeighbourTable::Select(devices, mac);
  return SDI_OK;
}

}  // namespace

SDI_EXPORT int32_t SDI_startup(uint8_t flag) {
  if (started) return SDI_ERR_ALREADY_STARTED;
  started = true;
  found.clear();
  Trace(2, "startup %u", static_cast<unsigned>(flag));
  return SDI_OK;
}

SDI_EXPORT int32_t SDI_setLoggingLevel(int32_t level) {
  loggingLevel = level;
  return SDI_OK;
}

SDI_EXPORT int32_t SDI_discoverMAC(const char* mac, uint32_t, uint32_t, uint32_t) {
  if (!started) return SDI_ERR_NOT_STARTED;
  found.clear();
  std::string canonical;
  if (!mac || !NeighbourTable::CanonicalMac(mac, canonical)) return SDI_ERR_BAD_ARGUMENT;
  const int32_t status = Search(canonical);
  Trace(2, "discoverMAC %s: %d, %zu device(s)", canonical.c_str(), status, found.size());
  return status;
}

SDI_EXPORT int32_t SDI_getNumDiscoveredDevices(uint32_t* count) {
  if (!started) return SDI_ERR_NOT_STARTED;
  if (!count) return SDI_ERR_BAD_ARGUMENT;
  *count = static_cast<uint32_t>(found.size());
  return SDI_OK;
}

SDI_EXPORT int32_t SDI_getIPAddress(uint32_t index, char* buffer, uint32_t size,
                                    uint32_t* addressCount) {
  if (!started) return SDI_ERR_NOT_STARTED;
  if (!buffer || size == 0) return SDI_ERR_BAD_ARGUMENT;
  if (index >= found.size()) return SDI_ERR_NO_DEVICE;
  const auto& ipv4 = found[index].ipv4;
  const std::string answer = ipv4.empty() ? "0.0.0.0" : ipv4.front();
  if (answer.size() + 1 > size) return SDI_ERR_BUFFER_TOO_SMALL;
  std::memcpy(buffer, answer.c_str(), answer.size() + 1);
  if (addressCount) *addressCount = static_cast<uint32_t>(ipv4.size());
  return SDI_OK;
}

SDI_EXPORT int32_t SDI_getIPv6Addresses(uint32_t index, char* buffer, uint32_t size,
                                        uint32_t* count, uint32_t* length) {
  if (!started) return SDI_ERR_NOT_STARTED;
  if (index >= found.size()) return SDI_ERR_NO_DEVICE;
  std::string list;
  for (const auto& a : found[index].ipv6) {
    if (!list.empty()) list += ' ';
    list += a;
  }
  const uint32_t needed = list.empty() ? 0 : static_cast<uint32_t>(list.size() + 1);
  if (count) *count = static_cast<uint32_t>(found[index].ipv6.size());
  if (length) *length = needed;
  if (!buffer || size == 0) return SDI_OK;
  if (needed > size) return SDI_ERR_BUFFER_TOO_SMALL;
  std::memcpy(buffer, list.c_str(), list.size() + 1);
  return SDI_OK;
}

SDI_EXPORT int32_t SDI_shutdown(uint8_t flag) {
  if (!started) return SDI_ERR_NOT_STARTED;
  started = false;
  found.clear();
  Trace(2, "shutdown %u", static_cast<unsigned>(flag));
  return SDI_OK;
}
