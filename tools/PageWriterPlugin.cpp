// The entry point of libcavixwriters.so (see PageWriterLibrary): the writers whose formats need
// libraries of their own.
#include "tools/PageWriterLibrary.h"
#include "tools/PdfPageWriter.h"
#include "tools/PngPageWriter.h"
#include "tools/TiffPageWriter.h"

extern "C" __attribute__((visibility("default"))) IPageWriter* cavix_new_page_writer(int format, const char* path) {
  if (path == nullptr) return nullptr;
  try {
    switch (static_cast<ImageFormat>(format)) {
      case ImageFormat::Png: return new PngPageWriter(path);
      case ImageFormat::Tiff: return new TiffPageWriter(path);
      case ImageFormat::Pdf: return new PdfPageWriter(path);
      case ImageFormat::Pnm: break;
    }
  } catch (...) {
  }
  return nullptr;
}
