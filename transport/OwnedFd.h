// A file descriptor closed when the scope that holds it ends. Not copyable. Used by one thread
// at a time, the one whose scope holds it.
#ifndef CAVIX_TRANSPORT_OWNEDFD_H
#define CAVIX_TRANSPORT_OWNEDFD_H

#include <unistd.h>

struct OwnedFd {
  int fd;
  explicit OwnedFd(int f) : fd(f) {}
  ~OwnedFd() {
    if (fd >= 0) ::close(fd);
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
};

#endif
