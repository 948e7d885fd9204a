// A temporary file made with mkstemp in $TMPDIR (else /tmp), mode 0600, removed when the owner
// is destroyed. One thread at a time.
#ifndef CAVIX_PLATFORM_TEMPFILE_H
#define CAVIX_PLATFORM_TEMPFILE_H

#include <string>

class TempFile {
 public:
  // Creates "<dir>/<prefix>XXXXXX". Throws std::system_error when it cannot be created.
  explicit TempFile(const std::string& prefix = "cavix");
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& Path() const { return path_; }
  // The open descriptor (read/write), or -1 after CloseFd.
  int Fd() const { return fd_; }
  // Closes the descriptor; the file stays until destruction.
  void CloseFd();

  // $TMPDIR if set and not empty, else /tmp.
  static std::string Directory();

 private:
  std::string path_;
  int fd_ = -1;
};

#endif
