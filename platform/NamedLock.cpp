#include "platform/NamedLock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

#include "platform/SharedDirectory.h"

namespace {

[[noreturn]] void Throw(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

}  // namespace

std::string NamedLock::SanitizeName(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                c == '-';
    if (!keep) c = '_';
  }
  // "", "." and ".." would name the directory itself or its parent.
  if (out.empty() || out == "." || out == "..") out = std::string(out.size() + 1, '_');
  return out;
}

std::string NamedLock::Directory() {
  // Not taken from the caller's environment in a set-user-ID or set-group-ID host.
  const char* dir = secure_getenv("CAVIX_LOCK_DIR");
  return (dir != nullptr && dir[0] != 0) ? std::string(dir) : std::string("/run/lock/cavix");
}

NamedLock::NamedLock(const std::string& name) : name_(name) {
  // The directory is shared by every user: it is checked before use (a real directory owned by
  // root or this user, sticky when others may write) and the lock file is opened relative to
  // it, so that a link planted at its name sends no file elsewhere. Mode 1777 when made here:
  // every account makes its own lock files in it (world-writable), and none may remove or
  // replace another's (sticky).
  const std::string dir = Directory();
  std::string why;
  const int dirFd = SharedDirectory::Open(dir, true, 01777, &why);
  if (dirFd < 0) Throw(EPERM, "the lock directory " + why);
  const std::string file = SanitizeName(name);
  path_ = dir + "/" + file;
  // A name planted in the directory as a symbolic link, a FIFO or a device must not make us
  // open (let alone chmod) something else. O_NOFOLLOW refuses a link, O_NONBLOCK keeps a FIFO
  // from blocking the open, and only a regular file is accepted.
  const int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
  // Mode 0666, the narrowest the lock across accounts allows: every account opens the file
  // for reading and writing, as the waiters' queue (a counter in the file, raised under a write
  // record lock) needs. Nothing else is kept in it.
  fd_ = openat(dirFd, file.c_str(), O_RDWR | O_CREAT | flags, 0666);
  if (fd_ < 0 && (errno == EACCES || errno == EROFS)) fd_ = openat(dirFd, file.c_str(), O_RDONLY | flags);
  const int openErr = errno;
  if (fd_ < 0) {
    close(dirFd);
    Throw(openErr == ELOOP ? EPERM : openErr, "NamedLock: cannot open " + path_);
  }
  struct stat st;
  int err = fstat(fd_, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EPERM);
  // A file with other names (a hard link planted by someone else) is never written: the
  // waiters' counter would land in the first bytes of whatever file it is. It stays usable as a
  // lock through a read-only descriptor of the same file.
  if (err == 0 && st.st_nlink > 1) {
    int readOnly = openat(dirFd, file.c_str(), O_RDONLY | flags);
    struct stat again;
    if (readOnly < 0 || fstat(readOnly, &again) != 0 || again.st_dev != st.st_dev || again.st_ino != st.st_ino) {
      err = EPERM;
    } else {
      std::swap(fd_, readOnly);  // the read-write descriptor is closed below
    }
    if (readOnly >= 0) close(readOnly);
  }
  close(dirFd);
  if (err != 0) {
    close(fd_);
    fd_ = -1;
    Throw(err, "NamedLock: not a regular file of one name: " + path_);
  }
  // The umask may have narrowed a file we own; other users must share it. A file with other
  // names (a hard link planted by someone else) keeps its mode.
  if (st.st_uid == geteuid() && st.st_nlink == 1 && (st.st_mode & 0777) != 0666) fchmod(fd_, 0666);
}

NamedLock::~NamedLock() {
  if (held_) flock(fd_, LOCK_UN);
  close(fd_);
}

namespace {

// The lock file's layout for the waiters' queue: the next ticket's number in its first bytes
// (native byte order; only this code reads it), and ticket t marked by a read lock on the byte
// at kTicketBase + t. The flock of the lock itself is independent of these record locks.
constexpr off_t kCounterBytes = sizeof(uint64_t);
constexpr off_t kTicketBase = 4096;

// A record lock of the range, not waiting; false when it is held elsewhere or not possible.
bool RecordLock(int fd, short type, off_t start, off_t length) {
  struct flock range = {};
  range.l_type = type;
  range.l_whence = SEEK_SET;
  range.l_start = start;
  range.l_len = length;
  while (fcntl(fd, F_OFD_SETLK, &range) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

bool NamedLock::TryLockFile() {
  if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK && errno != EINTR) Throw(errno, "NamedLock: flock " + path_);
  return false;
}

int NamedLock::TakeTicket(uint64_t& ticket) {
  // The counter is read and raised under a write lock of its bytes, held for a moment only
  // (and dropped by the kernel should the process die meanwhile). Not waited for: a process
  // stopped while it holds it must not hold up a waiter's time-out.
  struct flock counter = {};
  counter.l_type = F_WRLCK;
  counter.l_whence = SEEK_SET;
  counter.l_start = 0;
  counter.l_len = kCounterBytes;
  while (fcntl(fd_, F_OFD_SETLK, &counter) != 0) {
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EACCES ? 0 : -1;
  }
  uint64_t next = 0;
  if (pread(fd_, &next, sizeof next, 0) != static_cast<ssize_t>(sizeof next)) next = 0;
  if (next > static_cast<uint64_t>(INT64_MAX) - static_cast<uint64_t>(kTicketBase) - 1) next = 0;
  ticket = next;
  const uint64_t following = next + 1;
  bool ok = pwrite(fd_, &following, sizeof following, 0) == static_cast<ssize_t>(sizeof following);
  // Marked before the counter is let go: a later ticket always sees this one.
  ok = ok && RecordLock(fd_, F_RDLCK, kTicketBase + static_cast<off_t>(ticket), 1);
  RecordLock(fd_, F_UNLCK, 0, kCounterBytes);
  if (!ok) DropTicket(ticket);
  return ok ? 1 : -1;
}

void NamedLock::DropTicket(uint64_t ticket) {
  RecordLock(fd_, F_UNLCK, kTicketBase + static_cast<off_t>(ticket), 1);
}

bool NamedLock::TicketMarkedBelow(uint64_t below) {
  if (below == 0) return false;
  struct flock range = {};
  range.l_type = F_WRLCK;  // conflicts with any mark of another open file
  range.l_whence = SEEK_SET;
  range.l_start = kTicketBase;
  range.l_len = below == UINT64_MAX ? 0 : static_cast<off_t>(below);  // 0: to the end
  while (fcntl(fd_, F_OFD_GETLK, &range) != 0) {
    if (errno != EINTR) return false;  // no record locks: nobody can be queued
  }
  return range.l_type != F_UNLCK;
}

bool NamedLock::Acquire(DWORD timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::chrono::milliseconds backoff(1);
  const std::chrono::milliseconds maxBackoff(20);
  MutexUniqueLock lock(mutex_);
  const uint64_t me = nextWaiter_++;
  queue_.push_back(me);
  bool ticketed = false;
  bool unqueued = false;  // the file takes no tickets: the waiter polls without a place
  uint64_t ticket = 0;
  // Leaving the queue, whichever way: the ticket's mark goes, the next thread may look.
  auto leave = [&]() REQUIRES(mutex_) {
    if (ticketed) DropTicket(ticket);
    ticketed = false;
    queue_.erase(std::find(queue_.begin(), queue_.end(), me));
    released_.notify_all();
  };
  try {
    while (true) {
      if (queue_.front() == me) {
        if (!ticketed && !unqueued) {
          // Nobody queued anywhere: taken at once when free.
          if (!held_ && !TicketMarkedBelow(UINT64_MAX) && TryLockFile()) {
            leave();
            held_ = true;
            return true;
          }
          if (timeoutMs == 0) break;
          // The place is taken now, even while another thread of this object holds the lock,
          // so that waiters of other processes that come later are served later.
          const int taken = TakeTicket(ticket);  // 0: the counter is busy; tried again
          ticketed = taken > 0;
          unqueued = taken < 0;
        }
        // Only once every earlier ticket is gone (served, given up or its process dead). This
        // object's own flock is not tried while it is held: it would be granted again.
        const bool mayTake = !held_ && (ticketed ? !TicketMarkedBelow(ticket) : unqueued);
        if (mayTake && TryLockFile()) {
          leave();
          held_ = true;
          return true;
        }
      }
      if (timeoutMs == 0) break;
      std::chrono::milliseconds pause = backoff;
      if (timeoutMs != INFINITE) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pause = std::min(pause, left);
      }
      // A Release on this object, or a waiter ahead leaving, wakes the wait early; another
      // process is found by polling.
      released_.wait_for(lock.Native(), pause);
      backoff = std::min(backoff * 2, maxBackoff);
    }
  } catch (...) {
    leave();
    throw;
  }
  leave();
  return false;
}

void NamedLock::Release() {
  MutexLock lock(mutex_);
  if (!held_) Throw(EPERM, "NamedLock: release of " + name_ + " without holding it");
  if (flock(fd_, LOCK_UN) != 0) Throw(errno, "NamedLock: unlock " + path_);
  held_ = false;
  released_.notify_all();
}

bool NamedLock::IsHeld() const {
  MutexLock lock(mutex_);
  return held_;
}

bool NamedLock::HasWaiters() const {
  MutexLock lock(mutex_);
  return !queue_.empty();
}
