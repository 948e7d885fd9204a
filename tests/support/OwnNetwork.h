// A network namespace of the test's own: the calling thread, and the threads and programs it
// starts afterwards, see only loopback, which is brought up with multicast on. What discovery
// sends there (WS-Discovery probes, announcements) never leaves the machine. Needs root (or a
// user namespace); false with the reason otherwise.
#ifndef CAVIX_TESTS_SUPPORT_OWNNETWORK_H
#define CAVIX_TESTS_SUPPORT_OWNNETWORK_H

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace testsupport {

inline bool OwnNetwork(std::string* error) {
  if (::unshare(CLONE_NEWNET) != 0) {
    *error = std::string("no network namespace of its own: ") + std::strerror(errno);
    return false;
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq lo{};
  std::strncpy(lo.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &lo) == 0;
  lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP | IFF_MULTICAST);
  up = up && ::ioctl(fd, SIOCSIFFLAGS, &lo) == 0;
  if (!up) *error = std::string("cannot bring loopback up: ") + std::strerror(errno);
  if (fd >= 0) ::close(fd);
  return up;
}

}  // namespace testsupport

#endif
