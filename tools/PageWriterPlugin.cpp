// The entry point of a writer library (see PageWriterLibrary), built once a format: the
// definition CAVIX_WRITER_PNG, CAVIX_WRITER_TIFF or CAVIX_WRITER_PDF picks the writer, so that
// each library links only its own format's libraries.
#include "tools/PageWriterLibrary.h"

#if defined(CAVIX_WRITER_PNG)
#include "tools/PngPageWriter.h"
using Writer = PngPageWriter;
constexpr ImageFormat kFormat = ImageFormat::Png;
#elif defined(CAVIX_WRITER_TIFF)
#include "tools/TiffPageWriter.h"
using Writer = TiffPageWriter;
constexpr ImageFormat kFormat = ImageFormat::Tiff;
#elif defined(CAVIX_WRITER_PDF)
#include "tools/PdfPageWriter.h"
using Writer = PdfPageWriter;
constexpr ImageFormat kFormat = ImageFormat::Pdf;
#else
#error "a writer library names its format"
#endif

extern "C" __attribute__((visibility("default"))) IPageWriter* cavix_new_page_writer(int format, const char* path) {
  if (path == nullptr || static_cast<ImageFormat>(format) != kFormat) return nullptr;
  try {
    return new Writer(path);
  } catch (...) {
  }
  return nullptr;
}
