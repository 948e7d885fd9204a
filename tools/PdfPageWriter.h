// PDF output through cairo's PDF surface: one PDF page per scanned page (a feeder job becomes
// one document), each page as large as the scanned area at the scan's resolution. Colour and
// grey rows are JPEG-compressed with libjpeg and the JPEG stream is embedded as it is (cairo
// writes it with DCTDecode); black-and-white rows are kept as a 1-bit stencil that cairo
// writes Flate-compressed. cairo writes each page to the file when it ends, through a stream of
// our own (Stream) so that every failed write is seen: cairo's status after finishing does not
// always report a failed last write.
// Rows are encoded as they come, on the caller's thread: on two processors the scan's decoding
// keeps both busy already, and a worker of its own for the encoder cost more CPU time (the
// rows' copy, a hand-over every few rows) and more wall time than it saved (docs/benchmarks.md).
// One thread at a time; owns the cairo surface, the libjpeg compressor (kept for the pages that
// follow, with the size of the last page's stream) and the page buffers.
#ifndef CAVIX_TOOLS_PDFPAGEWRITER_H
#define CAVIX_TOOLS_PDFPAGEWRITER_H

#include <memory>
#include <string>

#include "tools/IPageWriter.h"

class PdfPageWriter : public IPageWriter {
 public:
  // How colour and grey pages are encoded; chosen with bench/WriterBench on the scanner's
  // chart and a noisy page (docs/benchmarks.md): quality 75 gives the JPEG of the usual
  // libjpeg settings to the byte (37.4 dB against the rows; 85 gave 49 dB in 16% more), libjpeg's
  // fast integer transform saves no time over the accurate one with SIMD and loses 0.05-0.1 dB;
  // 4:2:0 chroma and no optimised Huffman tables (those would hold the whole page's
  // coefficients) as libjpeg's defaults have it.
  struct Tuning {
    int quality = 75;
    bool fastDct = false;
  };

  explicit PdfPageWriter(std::string path);
  PdfPageWriter(std::string path, const Tuning& tuning);
  ~PdfPageWriter() override;
  PdfPageWriter(const PdfPageWriter&) = delete;
  PdfPageWriter& operator=(const PdfPageWriter&) = delete;

  bool BeginPage(const PageLayout& layout, std::string* error) override;
  bool WriteRow(const uint8_t* row, std::string* error) override;
  bool EndPage(std::string* error) override;
  bool Close(std::string* error) override;
  bool MultiPage() const override { return true; }

 private:
  struct Jpeg;    // the libjpeg compressor and the JPEG stream of the page
  struct Page;    // the page being assembled: a 1-bit stencil, or a JPEG being encoded
  struct Stream;  // the file cairo writes into, with the first write error
  bool Fail(const std::string& what, std::string* error);
  bool JpegFailed(std::string* error);
  bool PlacePage(std::string* error);

  std::string path_;
  Tuning tuning_;
  void* surface_ = nullptr;  // cairo_surface_t* of the document
  std::unique_ptr<Stream> stream_;
  PageLayout layout_;
  uint32_t row_ = 0;
  std::unique_ptr<Page> page_;
  std::unique_ptr<Jpeg> jpeg_;
};

#endif
