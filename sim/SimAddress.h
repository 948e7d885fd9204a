// The addresses a simulated scanner may take, so that nothing it serves or announces leaves the
// machine: a loopback address (127.0.0.0/8 or ::1), or a link-local IPv6 address with its zone
// on a veth interface ("fe80::b%cavixv1": one end of a pair inside a network namespace made
// for the purpose, as a scanner on a real link is reached) or on loopback. Stateless; any
// thread.
#ifndef CAVIX_SIM_SIMADDRESS_H
#define CAVIX_SIM_SIMADDRESS_H

#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace cavixsim {

class SimAddress {
 public:
  // The socket address of `address` and `port` (a link-local one with its interface as scope);
  // false with the reason when the address is not one the simulator takes.
  static bool Resolve(const std::string& address, uint16_t port, sockaddr_storage* out, socklen_t* length,
                      std::string* why);
  // The index of the interface a link-local address names; 0 for any other address.
  static unsigned Interface(const std::string& address);
};

}  // namespace cavixsim

#endif
