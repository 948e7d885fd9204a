// Where the pages of one scan go: a single file, or one file per page when the name is a
// pattern such as "page-%03d.png". Picks the format from the extension, opens the writers,
// assembles whole rows from the driver's arbitrary chunks, fills a page the device ended early
// with white rows. Each file is written whole or not at all (ReplacingFile): it takes its name
// only once complete, so a failure or a cancel leaves whatever was at the name untouched, and
// only the temporary file of the page (or multi-page file) being written is removed. Files of
// a pattern that were complete stay. One thread at a time.
#ifndef CAVIX_TOOLS_OUTPUTTARGET_H
#define CAVIX_TOOLS_OUTPUTTARGET_H

#include <memory>
#include <string>
#include <vector>

#include "tools/IPageWriter.h"
#include "tools/ReplacingFile.h"

class OutputTarget {
 public:
  explicit OutputTarget(std::string name);
  ~OutputTarget();  // removes what Abort would remove unless Finish succeeded

  // Checks a name before anything is scanned: a known extension, at most one "%d"-style
  // conversion ("%%" is a literal), and a pattern or a multi-page format when several pages
  // may come. False with a message for the usage error.
  static bool CheckName(const std::string& name, bool severalPages, std::string* error);
  static bool FormatOf(const std::string& name, ImageFormat* format);
  // The file name of page `page` (counted from 1); the name itself when it is no pattern.
  static std::string FileName(const std::string& name, unsigned page);
  static bool IsPattern(const std::string& name);

  bool BeginPage(unsigned page, const PageLayout& layout, std::string* error);
  // Any number of bytes of the current page; whole rows go to the file at once.
  bool Write(const uint8_t* data, size_t size, std::string* error);
  // Completes the page; rows the device did not send are written white (the count is kept).
  bool EndPage(std::string* error);
  bool Finish(std::string* error);
  // Closes and removes the temporary file being written; true when there was one (a part
  // page was dropped).
  bool Abort();

  uint32_t FilledRows() const { return filledRows_; }
  const std::vector<std::string>& Files() const { return files_; }  // complete files

 private:
  // Closes the writer and gives the file its name; false (the temporary file removed) on any
  // failure.
  bool Complete(std::string* error);
  // A writer's message names the temporary file; the user knows the file by its name.
  bool Failed(std::string* error) const;
  // PNM is written here; the other formats by the writers' library (PageWriterLibrary).
  std::unique_ptr<IPageWriter> MakeWriter(const std::string& path, std::string* error) const;

  std::string name_;
  ImageFormat format_ = ImageFormat::Png;
  bool pattern_ = false;
  std::unique_ptr<IPageWriter> writer_;
  std::string currentFile_;       // the file being written (may hold complete pages already)
  ReplacingFile file_;            // its temporary file until it is complete
  std::vector<std::string> files_;
  PageLayout layout_;
  std::vector<uint8_t> partial_;  // bytes of a row not yet complete
  uint32_t rows_ = 0;             // rows of the current page written
  uint32_t filledRows_ = 0;
  bool finished_ = false;
};

#endif
