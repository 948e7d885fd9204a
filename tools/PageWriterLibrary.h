// The image writers that need libraries of their own (PNG, TIFF and PDF: libpng, libtiff, cairo
// and what those load) live in a library of their own, libcavixwriters.so, loaded the first time
// such a file is to be written. A scan to PNM, and every command that writes no image, starts
// without loading and relocating some thirty shared libraries (about 2 ms a run).
// Where the library is looked for, in this order: the file CAVIX_WRITERS_LIBRARY names, beside
// the program (the build tree), and the package's directory
// <program's directory>/../lib/<multiarch>/cavix/.
// Any thread; the library is loaded once and stays loaded (writers it made may outlive a caller).
#ifndef CAVIX_TOOLS_PAGEWRITERLIBRARY_H
#define CAVIX_TOOLS_PAGEWRITERLIBRARY_H

#include <memory>
#include <string>
#include <vector>

#include "tools/IPageWriter.h"

class PageWriterLibrary {
 public:
  static constexpr const char* kFileName = "libcavixwriters.so";
  // The library's one entry point: a new writer of the format (an ImageFormat) for the file,
  // or null for a format it does not hold.
  static constexpr const char* kFactoryName = "cavix_new_page_writer";
  using Factory = IPageWriter* (*)(int format, const char* path);

  // A writer from the library; null with the reason when the library cannot be loaded.
  static std::unique_ptr<IPageWriter> Create(ImageFormat format, const std::string& path, std::string* error);

  // The places looked in, in order, for a program in `programDirectory`.
  static std::vector<std::string> Candidates(const std::string& programDirectory);

 private:
  static Factory Load(std::string* error);
};

#endif
