// TIFF output through libtiff: every page is a directory of one file (a feeder job becomes one
// multi-page file). Colour and grey go in strips with Deflate and the horizontal predictor:
// each row is predicted as it is copied into the strip being filled, each full strip deflated
// (libdeflate) by a worker of a StripCompressor while the next is filled, and written raw by
// libtiff in order; black and white with CCITT Group 4 by libtiff itself (min-is-white, so the
// driver's rows are inverted on the way). Rows go out as they come. The workers and their
// strip buffers serve every page of the file.
// One thread at a time; owns the TIFF handle and the compressor.
#ifndef CAVIX_TOOLS_TIFFPAGEWRITER_H
#define CAVIX_TOOLS_TIFFPAGEWRITER_H

#include <memory>
#include <string>
#include <vector>

#include "tools/IPageWriter.h"
#include "tools/StripCompressor.h"

class TiffPageWriter : public IPageWriter {
 public:
  // How colour and grey strips are compressed; chosen with bench/WriterBench on scanned pages,
  // a noisy one among them (docs/benchmarks.md): libdeflate at level 1 with the predictor
  // gives 36-55% of LZW's size for half its CPU time, spread over the workers (zlib at the
  // same level takes 40-90% more time).
  struct Tuning {
    int level = 1;  // zlib's or libdeflate's level
    bool predictor = true;
    bool libdeflate = true;  // libdeflate (libtiff's own Deflate library) rather than zlib
    uint32_t stripBytes = 256 * 1024;
    unsigned threads = StripCompressor::Workers();
  };

  explicit TiffPageWriter(std::string path);
  TiffPageWriter(std::string path, const Tuning& tuning);
  ~TiffPageWriter() override;
  TiffPageWriter(const TiffPageWriter&) = delete;
  TiffPageWriter& operator=(const TiffPageWriter&) = delete;

  bool BeginPage(const PageLayout& layout, std::string* error) override;
  bool WriteRow(const uint8_t* row, std::string* error) override;
  bool EndPage(std::string* error) override;
  bool Close(std::string* error) override;
  bool MultiPage() const override { return true; }

 private:
  bool Fail(const std::string& what, std::string* error);
  // Writes out the strips already compressed (every one given, when `wait`).
  bool WriteDone(bool wait, std::string* error);

  std::string path_;
  void* tiff_ = nullptr;  // TIFF*
  PageLayout layout_;
  uint32_t row_ = 0;
  uint16_t page_ = 0;
  std::vector<uint8_t> buffer_;
  Tuning tuning_;
  uint32_t stripRows_ = 0;
  uint32_t strip_ = 0;  // the next strip to write out
  size_t bytesPerPixel_ = 1;
  std::unique_ptr<StripCompressor> compressor_;  // made by the first colour or grey page
  std::unique_ptr<StripCompressor::Strip> filling_;  // of a colour or grey page being written
};

#endif
