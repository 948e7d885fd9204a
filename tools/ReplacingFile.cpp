#include "tools/ReplacingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace {

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Why(int err) { return std::strerror(err); }

}  // namespace

ReplacingFile::~ReplacingFile() { Discard(); }

bool ReplacingFile::FollowLinks(const std::string& name, std::string* target) {
  std::string path = name;
  for (int hops = 0; hops <= 40; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *target = path;
      return true;
    }
    char buf[4096];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    if (n < 0) return false;
    if (n == static_cast<ssize_t>(sizeof buf - 1)) {
      errno = ENAMETOOLONG;
      return false;
    }
    const std::string link(buf, static_cast<size_t>(n));
    // A relative link is relative to the directory holding it.
    path = link[0] == '/' || path.find('/') == std::string::npos ? link : DirectoryOf(path) + "/" + link;
  }
  errno = ELOOP;
  return false;
}

bool ReplacingFile::Create(const std::string& name, std::string* error) {
  Discard();
  name_ = name;
  if (!FollowLinks(name, &target_)) {
    *error = name + ": " + Why(errno);
    return false;
  }
  const std::string shown = target_ == name ? name : name + " (a link to " + target_ + ")";
  // An existing file is replaced only where opening it for writing would have been allowed:
  // a read-only file stays read-only, a directory or a device is never replaced.
  struct stat st;
  mode_t keepMode = 0;
  bool exists = false;
  if (::stat(target_.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      *error = shown + ": " + Why(EISDIR);
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      *error = shown + ": not a regular file";
      return false;
    }
    if (::faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) {
      *error = shown + ": " + Why(errno);
      return false;
    }
    exists = true;
    keepMode = st.st_mode & 07777;
  } else if (errno != ENOENT) {
    *error = shown + ": " + Why(errno);
    return false;
  }
  const std::string dir = DirectoryOf(target_);
  const std::string base = target_.substr(target_.find_last_of('/') == std::string::npos ? 0 : target_.find_last_of('/') + 1);
  std::random_device seed;
  std::mt19937_64 random((uint64_t(seed()) << 32) ^ seed());
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = dir + "/." + base + ".";
    for (int i = 0; i < 6; ++i) candidate += kLetters[random() % (sizeof kLetters - 1)];
    // O_EXCL: a new file of our own, never something planted under the name. Mode 0666 less
    // the umask, as the writers' own open would give; an existing file's mode is kept.
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      *error = shown + ": " + Why(errno);
      return false;
    }
    if (exists && ::fchmod(fd, keepMode) != 0) {
      const int err = errno;
      ::close(fd);
      ::unlink(candidate.c_str());
      *error = shown + ": cannot keep the file's mode: " + Why(err);
      return false;
    }
    ::close(fd);
    temp_ = candidate;
    return true;
  }
  *error = shown + ": cannot create a temporary file beside it";
  return false;
}

bool ReplacingFile::Commit(std::string* error) {
  if (temp_.empty()) {
    *error = name_ + ": nothing written";
    return false;
  }
  // The writers have closed the file; its data reaches the disk before the name moves, so a
  // crash leaves either the old file or the whole new one.
  const int fd = ::open(temp_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  int err = fd < 0 ? errno : 0;
  if (fd >= 0) {
    if (::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && err == 0) err = errno;
  }
  if (err == 0 && ::rename(temp_.c_str(), target_.c_str()) != 0) err = errno;
  if (err != 0) {
    *error = target_ + ": " + Why(err);
    Discard();
    return false;
  }
  temp_.clear();
  const int dirFd = ::open(DirectoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);  // the rename itself; a directory that cannot be synced changes nothing
    ::close(dirFd);
  }
  return true;
}

void ReplacingFile::Discard() {
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}
