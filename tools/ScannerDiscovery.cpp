#include "tools/ScannerDiscovery.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "platform/NetworkText.h"
#include "service/ServiceContext.h"
#include "service/SoapPointerMap.h"
#include "service/WscnService.h"
#include "tools/DeviceName.h"
#include "transport/AvahiBrowser.h"
#include "transport/ExchangeGuard.h"
#include "transport/IpLiteral.h"
#include "transport/WsDiscovery.h"

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

struct Candidate {
  size_t device;  // index into the candidates
  std::string address;
  bool answered = false;
  std::string model;
};

// An address as the host part of the library's endpoint: IPv6 literals in brackets (a zone as
// the resolver takes it, "%eth0").
std::string UrlHost(const std::string& address) {
  return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

// The MAC address the table gives `address` (a link-local one on the same interface); empty
// when it has none.
std::string MacOf(const std::vector<NeighbourDevice>& table, const std::string& address) {
  auto same = [&](const std::string& a) { return IpLiteral::SameHost(a, address); };
  for (const NeighbourDevice& d : table) {
    if (std::any_of(d.ipv4.begin(), d.ipv4.end(), same) || std::any_of(d.ipv6.begin(), d.ipv6.end(), same)) return d.mac;
  }
  return "";
}

}  // namespace

std::vector<NeighbourDevice> ScannerDiscovery::Neighbours() {
  std::vector<NeighbourDevice> devices;
  const char* fixture = std::getenv("CAVIX_NEIGHBOUR_TABLE");
  if (fixture && *fixture) NeighbourTable::ReadFixtureFile(fixture, devices, nullptr);
  else NeighbourTable::ReadKernel(devices);
  return devices;
}

std::vector<NeighbourDevice> ScannerDiscovery::Candidates(const DiscoverySettings& settings,
                                                          Clock::time_point gatherUntil) {
  const std::vector<NeighbourDevice> table = Neighbours();
  std::vector<NeighbourDevice> candidates;
  // Avahi's browser gathers on a thread of its own while WS-Discovery gathers on this one.
  std::vector<std::string> heard, announced;
  std::thread avahi;
  if (settings.avahi) avahi = std::thread([&announced, gatherUntil] { announced = AvahiBrowser::Search(gatherUntil); });
  if (settings.wsDiscovery) heard = WsDiscovery::Search(gatherUntil);
  if (avahi.joinable()) avahi.join();
  for (const std::string& host : announced)
    if (std::find(heard.begin(), heard.end(), host) == heard.end()) heard.push_back(host);
  for (const std::string& host : heard) {
    const std::string mac = MacOf(table, host);
    auto same = std::find_if(candidates.begin(), candidates.end(),
                             [&](const NeighbourDevice& d) { return !mac.empty() && d.mac == mac; });
    if (same == candidates.end()) same = candidates.insert(candidates.end(), NeighbourDevice{mac, {}, {}});
    (host.find(':') == std::string::npos ? same->ipv4 : same->ipv6).push_back(host);
  }
  if (settings.neighbours) {
    for (const NeighbourDevice& d : table) {
      auto same = std::find_if(candidates.begin(), candidates.end(), [&](const NeighbourDevice& c) { return c.mac == d.mac; });
      if (same == candidates.end()) {
        candidates.push_back(d);
        continue;
      }
      for (const std::string& a : d.ipv4)
        if (std::find(same->ipv4.begin(), same->ipv4.end(), a) == same->ipv4.end()) same->ipv4.push_back(a);
      for (const std::string& a : d.ipv6)
        if (std::find(same->ipv6.begin(), same->ipv6.end(), a) == same->ipv6.end()) same->ipv6.push_back(a);
    }
  }
  return candidates;
}

std::vector<FoundScanner> ScannerDiscovery::Find(const DiscoverySettings& settings) {
  if (!settings.Any()) return {};
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::milliseconds(settings.searchMs);
  return Probe(Candidates(settings, start + std::chrono::milliseconds(settings.GatherMs())), deadline);
}

bool ScannerDiscovery::Ask(const std::string& address, int port, Clock::time_point deadline, std::string* model) {
  struct soap* soap = ServiceContext::Create(ServiceContext::kPlainOutput);
  if (!soap) return false;
  SoapPointerMap map;
  SoapPointerMap::Attach(soap, &map);
  ExchangeGuard guard;
  guard.Attach(soap);
  guard.ExpectProbe(deadline);
  const std::string endpoint = "http://" + UrlHost(address) + ":" + std::to_string(port);
  wscn__ScanElements elements;
  const int status = guard.Outcome(soap_call_wscn__GetScannerElements(soap, endpoint.c_str(), nullptr, &elements));
  const bool ok = status == SOAP_OK;
  if (ok && model) *model = NetworkText::FromC(elements.ScannerInfo.ModelNumber);
  guard.Detach();
  SoapPointerMap::Attach(soap, nullptr);
  ServiceContext::Destroy(soap);
  return ok;
}

std::vector<FoundScanner> ScannerDiscovery::Probe(const std::vector<NeighbourDevice>& candidates,
                                                  Clock::time_point deadline, int port) {
  std::vector<Candidate> asks;
  for (size_t i = 0; i < candidates.size(); ++i) {
    for (const std::string& a : candidates[i].ipv4) asks.push_back(Candidate{i, a, false, ""});
    for (const std::string& a : candidates[i].ipv6) asks.push_back(Candidate{i, a, false, ""});
  }
  // A few workers take the addresses in turn; none starts a probe past the deadline, and every
  // probe ends by it, so the workers are done by then.
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next++) < asks.size() && Clock::now() < deadline;)
      asks[i].answered = Ask(asks[i].address, port, deadline, &asks[i].model);
  };
  std::vector<std::thread> workers;
  for (size_t w = 0; w < std::min(asks.size(), kMostAtOnce); ++w) workers.emplace_back(work);
  for (std::thread& t : workers) t.join();

  // Hosts the table did not know before they were asked are looked up once more.
  std::vector<NeighbourDevice> table;
  bool tableRead = false;
  std::vector<FoundScanner> found;
  std::vector<std::string> listedMacs;
  std::vector<bool> listed(candidates.size(), false);
  for (const Candidate& c : asks) {
    if (!c.answered || listed[c.device]) continue;
    std::string mac = candidates[c.device].mac;
    if (mac.empty()) {
      if (!tableRead) {
        table = Neighbours();
        tableRead = true;
      }
      mac = MacOf(table, c.address);
    }
    if (!mac.empty() && std::find(listedMacs.begin(), listedMacs.end(), mac) != listedMacs.end()) continue;
    listed[c.device] = true;
    if (!mac.empty()) listedMacs.push_back(mac);
    FoundScanner s;
    s.model = c.model;
    s.address = c.address;
    s.mac = Upper(mac);
    s.deviceName = DeviceName::Network(s.address, s.mac);
    found.push_back(s);
  }
  return found;
}
