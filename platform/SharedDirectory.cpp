#include "platform/SharedDirectory.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace {

// Creates the missing parents of `path` as ordinary directories (0755 whatever the umask).
void MakeParents(const std::string& path) {
  for (size_t i = 1; i < path.size(); ++i) {
    if (path[i] != '/') continue;
    const std::string parent = path.substr(0, i);
    if (mkdir(parent.c_str(), 0755) == 0) chmod(parent.c_str(), 0755);
  }
}

}  // namespace

std::string SharedDirectory::Fault(const struct stat& st, uid_t uid) {
  if (S_ISLNK(st.st_mode)) return "it is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return "it is not a directory";
  if (st.st_uid != 0 && st.st_uid != uid)
    return "it belongs to user " + std::to_string(st.st_uid) + ", neither root nor this user";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0)
    return "others may write to it but it is not sticky (mode " + [&] {
      char octal[8];
      snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(st.st_mode & 07777));
      return std::string(octal);
    }() + ")";
  return "";
}

bool SharedDirectory::MakePath(const std::string& path, mode_t mode, std::string* why) {
  // The chain from the deepest existing directory down to `path`.
  std::string existing = path;
  std::vector<std::string> missing;
  struct stat st;
  while (lstat(existing.c_str(), &st) != 0 && errno == ENOENT) {
    missing.push_back(existing);
    const size_t slash = existing.find_last_of('/');
    if (slash == std::string::npos || slash == 0) break;
    existing = existing.substr(0, slash);
  }
  if (!missing.empty() && missing.back() != existing) missing.push_back(existing);
  for (auto step = missing.rbegin(); step != missing.rend(); ++step) {
    const int fd = Open(*step, true, mode, why);
    if (fd < 0) return false;
    close(fd);
  }
  if (missing.empty()) {
    const int fd = Open(path, false, mode, why);
    if (fd < 0) return false;
    close(fd);
  }
  return true;
}

int SharedDirectory::Open(const std::string& path, bool create, mode_t mode, std::string* why) {
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(path.c_str(), flags);
  if (fd < 0 && errno == ENOENT && create) {
    MakeParents(path);
    // Only a directory made here gets the mode; an existing one is checked as it is.
    if (mkdir(path.c_str(), mode) == 0) chmod(path.c_str(), mode);
    fd = open(path.c_str(), flags);
  }
  struct stat st;
  if (fd < 0) {
    const int err = errno;
    // O_NOFOLLOW gives ELOOP, O_DIRECTORY ENOTDIR: say which the name is.
    if ((err == ELOOP || err == ENOTDIR) && lstat(path.c_str(), &st) == 0 && !Fault(st, geteuid()).empty())
      *why = path + ": " + Fault(st, geteuid());
    else
      *why = path + ": " + strerror(err);
    return -1;
  }
  const std::string fault = fstat(fd, &st) != 0 ? strerror(errno) : Fault(st, geteuid());
  if (!fault.empty()) {
    close(fd);
    *why = path + ": " + fault;
    return -1;
  }
  return fd;
}
