#include "platform/TempFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

std::string TempFile::Directory() {
  // Not taken from the caller's environment in a set-user-ID or set-group-ID host.
  const char* dir = secure_getenv("TMPDIR");
  return (dir != nullptr && dir[0] != 0) ? std::string(dir) : std::string("/tmp");
}

TempFile::TempFile(const std::string& prefix) {
  std::string name = Directory() + "/" + prefix + "XXXXXX";
  int fd = mkostemp(&name[0], O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "mkstemp " + name);
  // mkstemp makes it 0600 already; say so explicitly rather than rely on the C library.
  if (fchmod(fd, 0600) != 0) {
    int err = errno;
    close(fd);
    unlink(name.c_str());
    throw std::system_error(err, std::generic_category(), "fchmod " + name);
  }
  path_ = name;
  fd_ = fd;
}

TempFile::~TempFile() {
  CloseFd();
  unlink(path_.c_str());
}

void TempFile::CloseFd() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}
