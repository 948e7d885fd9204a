// One output file that receives pages row by row as they arrive from the scanner, so that a page
// is never held in memory as a whole. Rows come in the driver's form: RGB 8-bit, grey 8-bit, or
// 1-bit packed most significant bit first with a set bit for white. Each writer converts to its
// format's convention. Used by one thread at a time.
#ifndef CAVIX_TOOLS_IPAGEWRITER_H
#define CAVIX_TOOLS_IPAGEWRITER_H

#include <cstdint>
#include <string>

#include "tools/ScanOptions.h"

struct PageLayout {
  uint32_t width = 0;         // pixels per line
  uint32_t height = 0;        // lines
  uint32_t bytesPerLine = 0;
  ColorMode mode = ColorMode::Color;
  unsigned dpi = 300;
};

enum class ImageFormat { Png, Tiff, Pnm, Pdf };

class IPageWriter {
 public:
  virtual ~IPageWriter() = default;
  // Starts a page (the first one creates the file). False with a reason.
  virtual bool BeginPage(const PageLayout& layout, std::string* error) = 0;
  // One row of layout.bytesPerLine bytes; exactly layout.height rows make a page.
  virtual bool WriteRow(const uint8_t* row, std::string* error) = 0;
  virtual bool EndPage(std::string* error) = 0;
  // Finishes and closes the file; a writer that holds only complete pages leaves a valid file.
  virtual bool Close(std::string* error) = 0;
  // Whether the format holds more than one page in a file.
  virtual bool MultiPage() const = 0;
};

#endif
