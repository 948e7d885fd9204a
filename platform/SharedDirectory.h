// Checks a directory that other accounts may reach before files are made in it: the lock
// directory shared by every user, and the directories of a log file. A directory is trusted
// when it is a real directory (not a symbolic link), owned by root or by the calling user, and
// sticky when accounts other than its owner may write to it (so that nobody removes or replaces
// another's files there). Stateless; any thread.
#ifndef CAVIX_PLATFORM_SHAREDDIRECTORY_H
#define CAVIX_PLATFORM_SHAREDDIRECTORY_H

#include <sys/types.h>

#include <string>

class SharedDirectory {
 public:
  // Opens `path` (O_DIRECTORY, not following a link at its last component), creating it with
  // `mode` (applied whatever the umask) and its missing parents with 0755 when `create` is set,
  // and checks it. The descriptor, for files opened relative to it (openat); -1 with `why`
  // naming the directory and what is wrong with it.
  static int Open(const std::string& path, bool create, mode_t mode, std::string* why);
  // Makes the directory `path` and its missing parents with `mode` (whatever the umask), each
  // checked: the deepest one that exists before, every one made and `path` itself. False with
  // `why` naming the first that is not to be trusted.
  static bool MakePath(const std::string& path, mode_t mode, std::string* why);
  // What is wrong with a directory of this status for the user `uid`: "" when it is trusted.
  static std::string Fault(const struct stat& st, uid_t uid);
};

#endif
