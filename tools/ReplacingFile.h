// One output file written whole or not at all: the content goes to a new temporary file beside
// the final name (".<name>.XXXXXX" in the same directory, so that the rename cannot cross file
// systems), which replaces the name only when Commit has flushed it to the disk. Whatever was
// at the name before stays untouched until then, and Discard (or the destructor) removes only
// the temporary file. A name that is a symbolic link is followed to the file it points to,
// which is replaced by the same rule; the link stays. A name that exists but is no regular
// file, or that the caller may not write, is refused before anything is created.
// One thread at a time; owns the temporary file until Commit or Discard.
#ifndef CAVIX_TOOLS_REPLACINGFILE_H
#define CAVIX_TOOLS_REPLACINGFILE_H

#include <string>

class ReplacingFile {
 public:
  ReplacingFile() = default;
  ~ReplacingFile();  // discards an uncommitted temporary file
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Checks `name` and creates the temporary file (empty, closed). False with a message naming
  // the file and what is wrong.
  bool Create(const std::string& name, std::string* error);
  // The temporary file to write (empty when none is open).
  const std::string& TempPath() const { return temp_; }
  // The file that Commit replaces: `name` with its symbolic links followed.
  const std::string& Target() const { return target_; }
  // Flushes the written temporary file to the disk and renames it over the target. On failure
  // the temporary file is removed and the target left as it was.
  bool Commit(std::string* error);
  void Discard();

  // `name` with the symbolic links of its last component followed (at most 40 of them); a link
  // to a missing file gives the path it names. False with errno set (ELOOP, or readlink's).
  static bool FollowLinks(const std::string& name, std::string* target);

 private:
  std::string name_;
  std::string target_;
  std::string temp_;
};

#endif
