// The simulated scanner published through the Avahi daemon, as a network scanner announces its
// scan service by multicast DNS: an entry group holding a host name of its own for the
// simulator's (loopback) address and a _scanner._tcp service on its port. With no daemon (or no
// Avahi library) Start fails and the simulator stays unpublished; a service name taken by
// another service gets a number.
//
// Threads: Start and Stop are called by the simulator's Start and Stop (serialised there); the
// library's callbacks run on the threaded poll's own thread (or inside Start, before that thread
// starts). Owns the session: the poll, the client and the entry group; the group and the names
// are touched only on the poll's thread, or before it starts and after it stops.
#ifndef CAVIX_SIM_AVAHIPUBLISHER_H
#define CAVIX_SIM_AVAHIPUBLISHER_H

#include <cstdint>
#include <memory>
#include <string>

namespace cavixsim {

class AvahiPublisher {
 public:
  static constexpr const char* kServiceType = "_scanner._tcp";

  // The scan service at address:port (a loopback address, IPv4 or IPv6); `model` names it.
  AvahiPublisher(const std::string& address, uint16_t port, const std::string& model);
  ~AvahiPublisher();
  AvahiPublisher(const AvahiPublisher&) = delete;
  AvahiPublisher& operator=(const AvahiPublisher&) = delete;

  // Connects to the daemon and publishes once it runs; false (silent) when there is none.
  bool Start();
  // Withdraws the service and disconnects. Idempotent.
  void Stop();

 private:
  struct Session;  // the library's objects, the names, the collision count
  std::unique_ptr<Session> session_;
};

}  // namespace cavixsim

#endif
