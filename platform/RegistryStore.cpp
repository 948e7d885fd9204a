#include "platform/RegistryStore.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/RegFileFormat.h"

namespace {

// secure_getenv: in a set-user-ID or set-group-ID host the caller's environment must not choose
// which files the module reads and rewrites; the defaults apply there.
std::string Env(const char* name) {
  const char* v = secure_getenv(name);
  return v != nullptr ? std::string(v) : std::string();
}

LONG CodeForErrno(int err, LONG otherwise) {
  return (err == EACCES || err == EPERM || err == EROFS) ? ERROR_ACCESS_DENIED : otherwise;
}

[[noreturn]] void ThrowErrno(LONG otherwise, const std::string& what, int err) {
  throw RegistryError(CodeForErrno(err, otherwise), what + ": " + strerror(err));
}

// Closes the descriptor (and so drops its flock) when the scope ends.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  int fd_;
};

void LockFd(int fd, int op, const std::string& path) {
  while (flock(fd, op) != 0) {
    if (errno != EINTR) ThrowErrno(ERROR_CANTREAD, path + ": cannot lock", errno);
  }
}

// Whether fd still is the file at path (a writer may have renamed a new file over it while we
// waited for the lock).
bool StillCurrent(int fd, const std::string& path) {
  struct stat a, b;
  if (fstat(fd, &a) != 0 || stat(path.c_str(), &b) != 0) return false;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string ReadAll(int fd, const std::string& path) {
  std::string text;
  char buf[65536];
  while (true) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowErrno(ERROR_CANTREAD, path + ": cannot read", errno);
    }
    if (n == 0) return text;
    text.append(buf, static_cast<size_t>(n));
  }
}

void MakeDirectories(const std::string& dir) {
  if (dir.empty()) return;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return;
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) MakeDirectories(dir.substr(0, slash));
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) ThrowErrno(ERROR_CANTWRITE, dir + ": cannot create", errno);
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// Writes text to a temporary file beside path and renames it over path. The caller holds the
// exclusive lock on the current file.
void ReplaceFile(const std::string& path, const std::string& text, mode_t mode) {
  std::string temp = path + ".XXXXXX";
  int fd = mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) ThrowErrno(ERROR_CANTWRITE, path + ": cannot create temporary file", errno);
  int err = 0;
  if (fchmod(fd, mode) != 0) err = errno;
  size_t done = 0;
  while (err == 0 && done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
    } else {
      done += static_cast<size_t>(n);
    }
  }
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temp.c_str());
    ThrowErrno(ERROR_CANTWRITE, path + ": cannot write", err);
  }
}

// Removes the temporary files ReplaceFile left behind when its writer was killed: "<name>." and
// six letters or digits, regular files only. Called with the exclusive lock on the current
// file held: a writer's temporary file exists only while it holds that lock, so every such file
// seen then is a dead writer's.
void RemoveStaleTemporaries(const std::string& path) {
  const std::string dir = DirectoryOf(path);
  const std::string prefix = path.substr(path.find_last_of('/') == std::string::npos ? 0 : path.find_last_of('/') + 1) + ".";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    bool temporary = true;
    for (size_t i = prefix.size(); i < name.size(); ++i) temporary = temporary && isalnum(static_cast<unsigned char>(name[i]));
    struct stat st;
    if (temporary && fstatat(dirfd(d), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      unlinkat(dirfd(d), name.c_str(), 0);
  }
  closedir(d);
}

}  // namespace

RegistryStore::RegistryStore(RegistryRoot root, std::string filePath) : root_(root), filePath_(std::move(filePath)) {}

RegistryStore::RegistryStore(RegistryRoot root) : RegistryStore(root, DefaultFilePath(root)) {}

std::string RegistryStore::DefaultFilePath(RegistryRoot root) {
  if (root == RegistryRoot::LocalMachine) {
    std::string file = Env("CAVIX_REGISTRY_HKLM");
    return file.empty() ? std::string("/etc/cavix/hklm.reg") : file;
  }
  std::string file = Env("CAVIX_REGISTRY_HKCU");
  if (!file.empty()) return file;
  std::string config = Env("XDG_CONFIG_HOME");
  if (!config.empty()) return config + "/cavix/hkcu.reg";
  std::string home = Env("HOME");
  if (home.empty()) {
    struct passwd pw, *result = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &result) == 0 && result != nullptr && pw.pw_dir != nullptr) {
      home = pw.pw_dir;
    }
  }
  return home + "/.config/cavix/hkcu.reg";
}

RegistryTree RegistryStore::Read() const {
  while (true) {
    int fd = open(filePath_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (errno == ENOENT || errno == ENOTDIR) return RegistryTree();
      ThrowErrno(ERROR_CANTREAD, filePath_ + ": cannot open", errno);
    }
    FdCloser closer(fd);
    LockFd(fd, LOCK_SH, filePath_);
    if (!StillCurrent(fd, filePath_)) {
      struct stat st;
      if (stat(filePath_.c_str(), &st) != 0 && errno == ENOENT) return RegistryTree();
      continue;  // replaced while we waited: read the new file
    }
    std::string text = ReadAll(fd, filePath_);
    RegistryTree tree;
    RegFileFormat::Parse(text, filePath_, root_, &tree);
    return tree;
  }
}

void RegistryStore::Modify(const std::function<bool(RegistryTree&)>& change) {
  // A symbolic link stays a link: the file it points to is the one replaced.
  std::string path = filePath_;
  char resolved[PATH_MAX];
  if (realpath(filePath_.c_str(), resolved) != nullptr) path = resolved;
  MakeDirectories(DirectoryOf(path));
  while (true) {
    bool existed = access(path.c_str(), F_OK) == 0;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) ThrowErrno(ERROR_CANTWRITE, filePath_ + ": cannot open", errno);
    FdCloser closer(fd);
    LockFd(fd, LOCK_EX, filePath_);
    if (!StillCurrent(fd, path)) continue;
    RemoveStaleTemporaries(path);
    struct stat st;
    if (fstat(fd, &st) != 0) ThrowErrno(ERROR_CANTREAD, filePath_ + ": cannot stat", errno);
    std::string text = ReadAll(fd, filePath_);
    RegistryTree tree;
    RegFileFormat::Parse(text, filePath_, root_, &tree);
    if (!change(tree)) {
      // Nothing to write: do not leave behind an empty file that only this call made. (A
      // writer waiting on it notices the unlink and opens the path anew.)
      if (!existed && st.st_size == 0) unlink(path.c_str());
      return;
    }
    ReplaceFile(path, RegFileFormat::Format(tree, root_), st.st_mode & 07777);
    return;  // the lock is dropped only now, after the rename
  }
}

std::string RegistryStore::SetAsideIfBroken(std::string* why) {
  try {
    Read();
    return "";
  } catch (const RegistryError& e) {
    if (e.Code() != ERROR_REGISTRY_CORRUPT) throw;
    *why = e.what();
  }
  std::string path = filePath_;
  char resolved[PATH_MAX];
  if (realpath(filePath_.c_str(), resolved) != nullptr) path = resolved;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) ThrowErrno(ERROR_CANTREAD, filePath_ + ": cannot open", errno);
  FdCloser closer(fd);
  LockFd(fd, LOCK_EX, filePath_);
  // Checked again under the lock: another writer may have repaired it meanwhile.
  try {
    RegistryTree tree;
    RegFileFormat::Parse(ReadAll(fd, filePath_), filePath_, root_, &tree);
    return "";
  } catch (const RegistryError& e) {
    if (e.Code() != ERROR_REGISTRY_CORRUPT) throw;
  }
  const std::string copy = path + ".broken-" + std::to_string(static_cast<long long>(time(nullptr)));
  // link, not rename over: an older copy of the same second is never lost.
  if (link(path.c_str(), copy.c_str()) != 0 || unlink(path.c_str()) != 0)
    ThrowErrno(ERROR_CANTWRITE, filePath_ + ": cannot keep the broken store as " + copy, errno);
  return copy;
}
