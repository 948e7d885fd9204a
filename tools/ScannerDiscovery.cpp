#include "tools/ScannerDiscovery.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "service/ServiceContext.h"
#include "service/SoapPointerMap.h"
#include "service/WscnService.h"
#include "tools/DeviceName.h"

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

// One probe's time budget: connecting and answering share it. gSOAP's own connect is wrapped
// (the wrapper finds the budget in the context's pointer map) so that, once connected, the
// send and receive time-outs get what is left.
struct ProbeBudget {
  std::chrono::steady_clock::time_point deadline;
  SOAP_SOCKET (*connect)(struct soap*, const char*, const char*, int) = nullptr;
};

SOAP_SOCKET ConnectWithinBudget(struct soap* soap, const char* endpoint, const char* host, int port) {
  auto* budget = static_cast<ProbeBudget*>(SoapPointerMap::Lookup(soap, "ProbeBudget"));
  if (!budget) return SOAP_INVALID_SOCKET;
  const SOAP_SOCKET socket = budget->connect(soap, endpoint, host, port);
  const auto left =
      std::chrono::duration_cast<std::chrono::microseconds>(budget->deadline - std::chrono::steady_clock::now());
  // Negative time-outs are microseconds; at least a millisecond, so that none means "no limit".
  const int us = -static_cast<int>(std::max<int64_t>(left.count(), 1000));
  soap->send_timeout = us;
  soap->recv_timeout = us;
  soap->transfer_timeout = us;
  return socket;
}

}  // namespace

std::vector<NeighbourDevice> ScannerDiscovery::Candidates() {
  std::vector<NeighbourDevice> devices;
  const char* fixture = std::getenv("CAVIX_NEIGHBOUR_TABLE");
  if (fixture && *fixture) {
    NeighbourTable::ReadFixtureFile(fixture, devices, nullptr);
    return devices;
  }
  NeighbourTable::Probe();
  NeighbourTable::ReadKernel(devices);
  return devices;
}

bool ScannerDiscovery::Ask(const std::string& address, int port, int timeoutMs, std::string* model) {
  struct soap* soap = ServiceContext::Create(ServiceContext::kPlainOutput);
  if (!soap) return false;
  ProbeBudget budget;
  budget.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  budget.connect = soap->fopen;
  SoapPointerMap map;
  SoapPointerMap::Attach(soap, &map);
  map.Set("ProbeBudget", &budget);
  soap->fopen = ConnectWithinBudget;
  soap->connect_timeout = -timeoutMs * 1000;
  const std::string endpoint = "http://" + address + ":" + std::to_string(port);
  wscn__ScanElements elements;
  const int status = soap_call_wscn__GetScannerElements(soap, endpoint.c_str(), nullptr, &elements);
  const bool ok = status == SOAP_OK;
  if (ok && model) model->assign(elements.ScannerInfo.ModelNumber ? elements.ScannerInfo.ModelNumber : "");
  SoapPointerMap::Attach(soap, nullptr);
  ServiceContext::Destroy(soap);
  return ok;
}

std::vector<FoundScanner> ScannerDiscovery::Probe(const std::vector<NeighbourDevice>& candidates, int timeoutMs,
                                                  int port) {
  std::vector<Candidate> asks;
  for (size_t i = 0; i < candidates.size(); ++i)
    for (const std::string& a : candidates[i].ipv4) asks.push_back(Candidate{i, a, false, ""});
  // All at once, but not more threads than a sane process holds: a huge table is asked in
  // rounds.
  constexpr size_t kMostAtOnce = 256;
  for (size_t first = 0; first < asks.size(); first += kMostAtOnce) {
    std::vector<std::thread> threads;
    const size_t end = std::min(asks.size(), first + kMostAtOnce);
    for (size_t i = first; i < end; ++i) {
      Candidate& c = asks[i];
      threads.emplace_back([&c, timeoutMs, port] { c.answered = Ask(c.address, port, timeoutMs, &c.model); });
    }
    for (std::thread& t : threads) t.join();
  }

  std::vector<FoundScanner> found;
  std::vector<bool> listed(candidates.size(), false);
  for (const Candidate& c : asks) {
    if (!c.answered || listed[c.device]) continue;
    listed[c.device] = true;
    FoundScanner s;
    s.model = c.model;
    s.address = c.address;
    s.mac = Upper(candidates[c.device].mac);
    s.deviceName = DeviceName::Network(s.address, s.mac);
    found.push_back(s);
  }
  return found;
}
