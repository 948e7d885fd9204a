// The simulated scanner's WS-Discovery side, as a network scanner has it: it says Hello to the
// group when it starts and Bye when it stops, and answers Probe with ProbeMatches and a Resolve
// of its endpoint with ResolveMatches (its endpoint reference and the scan service's address),
// unicast to the asker from its own address.
// It speaks only on the loopback interface (the simulator's address is a loopback address), so
// nothing it sends leaves the machine; where loopback takes no multicast, nothing reaches it.
//
// Threads: Start and Stop are called by the simulator's Start and Stop (serialised there); the
// answering thread owns the sockets while it runs. Owns its two sockets, its stop pipe and the
// thread.
#ifndef CAVIX_SIM_WSDISCOVERYRESPONDER_H
#define CAVIX_SIM_WSDISCOVERYRESPONDER_H

#include <cstdint>
#include <string>
#include <thread>

namespace cavixsim {

class WsDiscoveryResponder {
 public:
  // The scan service at address:port (a loopback address, IPv4 or IPv6; IPv4's group either way).
  WsDiscoveryResponder(const std::string& address, uint16_t port);
  ~WsDiscoveryResponder();
  WsDiscoveryResponder(const WsDiscoveryResponder&) = delete;
  WsDiscoveryResponder& operator=(const WsDiscoveryResponder&) = delete;

  // Joins the group on loopback, says Hello and starts answering; false (silent) when the
  // sockets cannot be had.
  bool Start();
  // Says Bye and stops answering. Idempotent.
  void Stop();

  const std::string& EndpointReference() const { return endpoint_; }

 private:
  void Loop();
  void Send(const std::string& message, const void* to, unsigned toLength);
  void Announce(const std::string& message);

  std::string address_;
  bool ipv6_ = false;
  std::string endpoint_;  // "urn:uuid:..." made from the address and port
  std::string xaddrs_;    // the scan service's URL
  unsigned loopbackIndex_ = 0;
  int group_ = -1;        // bound to the group, joined on loopback
  int own_ = -1;          // bound to the simulator's IPv4 address (or 127.0.0.1): answers, Hello, Bye
  int stop_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace cavixsim

#endif
