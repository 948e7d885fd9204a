// The image writers that need libraries of their own live in one loadable library a format:
// libcavixpng.so (libpng, zlib), libcavixtiff.so (libtiff, libdeflate and what libtiff loads)
// and libcavixpdf.so (cairo and its thirty-odd libraries, libjpeg), each loaded the first time
// a file of its format is to be written. A scan to PNM, and every command that writes no image,
// loads none of them; a scan to PNG or TIFF does not load cairo.
// Where a library is looked for, in this order: the directory CAVIX_WRITERS_DIR names, beside
// the program (the build tree), and the package's directory
// <program's directory>/../lib/<multiarch>/cavix/.
// Any thread; each library is loaded once and stays loaded (writers it made may outlive a
// caller). loadLock guards the table of loaded factories and of failures.
#ifndef CAVIX_TOOLS_PAGEWRITERLIBRARY_H
#define CAVIX_TOOLS_PAGEWRITERLIBRARY_H

#include <memory>
#include <string>
#include <vector>

#include "tools/IPageWriter.h"

class PageWriterLibrary {
 public:
  // Each library's one entry point: a new writer of the format (an ImageFormat) for the file,
  // or null for a format it does not hold.
  static constexpr const char* kFactoryName = "cavix_new_page_writer";
  using Factory = IPageWriter* (*)(int format, const char* path);

  // The file name of the library of a format; null for PNM, which cavix-scan writes itself.
  static const char* FileName(ImageFormat format);

  // A writer from the format's library; null with the reason when the library cannot be loaded.
  static std::unique_ptr<IPageWriter> Create(ImageFormat format, const std::string& path, std::string* error);

  // The places looked in, in order, for the library of a format and a program in
  // `programDirectory`.
  static std::vector<std::string> Candidates(ImageFormat format, const std::string& programDirectory);

 private:
  static Factory Load(ImageFormat format, std::string* error);
};

#endif
