// The simulated scanner's WS-Discovery side, as a network scanner has it: it says Hello to the
// group when it starts and Bye when it stops, and answers Probe with ProbeMatches and a Resolve
// of its endpoint with ResolveMatches (its endpoint reference and the scan service's address),
// unicast to the asker from its own address.
// It speaks only where the simulator's address is: on loopback over IPv4's group (::1 as well:
// loopback carries no IPv6 multicast), or, for a link-local address on a veth interface, over
// IPv6's group (ff02::c) on that interface; nothing it sends leaves the machine. Where the
// interface takes no multicast, nothing reaches it.
//
// Threads: Start and Stop are called by the simulator's Start and Stop (serialised there); the
// answering thread owns the sockets while it runs. Owns its two sockets, its stop pipe and the
// thread.
#ifndef CAVIX_SIM_WSDISCOVERYRESPONDER_H
#define CAVIX_SIM_WSDISCOVERYRESPONDER_H

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <thread>

namespace cavixsim {

class WsDiscoveryResponder {
 public:
  // The scan service at address:port (an address SimAddress takes); its address in ProbeMatches
  // too unless `xaddrsInProbeMatches` is false (then only in ResolveMatches).
  WsDiscoveryResponder(const std::string& address, uint16_t port, bool xaddrsInProbeMatches = true);
  ~WsDiscoveryResponder();
  WsDiscoveryResponder(const WsDiscoveryResponder&) = delete;
  WsDiscoveryResponder& operator=(const WsDiscoveryResponder&) = delete;

  // Joins the group on its interface, says Hello and starts answering; false (silent) when the
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
  unsigned linkIndex_ = 0;  // the interface of a link-local address; 0 on loopback
  std::string endpoint_;  // "urn:uuid:..." made from the address and port
  std::string xaddrs_;    // the scan service's URL
  bool xaddrsInProbeMatches_ = true;
  int family_ = AF_INET;  // of the group Hello and Bye go to, on interface index_
  unsigned index_ = 0;
  int group_ = -1;  // bound to the group, joined on the interface
  int own_ = -1;    // bound to the simulator's address (127.0.0.1 for ::1): answers, Hello, Bye
  int stop_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace cavixsim

#endif
