// PDF output through cairo's PDF surface: one PDF page per scanned page (a feeder job becomes
// one document), each page as large as the scanned area at the scan's resolution. Colour and
// grey rows are JPEG-compressed with libjpeg as they arrive and the JPEG stream is embedded as
// it is (cairo writes it with DCTDecode); black-and-white rows are kept as a 1-bit stencil
// that cairo writes Flate-compressed. cairo writes each page to the file when it ends, through
// a stream of our own (Stream) so that every failed write is seen: cairo's status after
// finishing does not always report a failed last write.
// One thread at a time; owns the cairo surface, the libjpeg compressor and the page buffers.
#ifndef CAVIX_TOOLS_PDFPAGEWRITER_H
#define CAVIX_TOOLS_PDFPAGEWRITER_H

#include <memory>
#include <string>

#include "tools/IPageWriter.h"

class PdfPageWriter : public IPageWriter {
 public:
  explicit PdfPageWriter(std::string path);
  ~PdfPageWriter() override;
  PdfPageWriter(const PdfPageWriter&) = delete;
  PdfPageWriter& operator=(const PdfPageWriter&) = delete;

  bool BeginPage(const PageLayout& layout, std::string* error) override;
  bool WriteRow(const uint8_t* row, std::string* error) override;
  bool EndPage(std::string* error) override;
  bool Close(std::string* error) override;
  bool MultiPage() const override { return true; }

  // JPEG quality of colour and grey pages: the scanner's own (85), whose quantisation the
  // pixels already carry, so that the page comes back closest to what was sent (a 300 dpi
  // page: 49 dB against the rows, 1.44 MB; quality 90 gave 44 dB in 1.64 MB).
  static constexpr int kJpegQuality = 85;

 private:
  struct Page;    // the page being assembled: JPEG compressor or 1-bit stencil
  struct Stream;  // the file cairo writes into, with the first write error
  bool Fail(const std::string& what, std::string* error);
  bool PlacePage(std::string* error);

  std::string path_;
  void* surface_ = nullptr;  // cairo_surface_t* of the document
  std::unique_ptr<Stream> stream_;
  PageLayout layout_;
  uint32_t row_ = 0;
  std::unique_ptr<Page> page_;
};

#endif
