// PNG output: one page per file, 8-bit RGB, 8-bit grey or 1-bit grey, with the resolution in
// the pHYs chunk. libpng writes the signature and the header chunks; the image data is one
// zlib stream cut into strips of rows that the workers of a StripCompressor filter and deflate
// at once, each strip a raw deflate piece ended on a byte boundary by a sync flush (the last by
// the stream's end), written out in order as IDAT chunks, with the stream's Adler-32 combined
// from the strips' own. Rows are handed on as they come, a few strips in flight at most.
// libpng reports errors by longjmp back into the method that called it; the message is kept
// for the caller.
// One thread at a time; owns the file, the libpng structures and the compressor.
#ifndef CAVIX_TOOLS_PNGPAGEWRITER_H
#define CAVIX_TOOLS_PNGPAGEWRITER_H

#include <cstdio>
#include <memory>
#include <string>

#include "tools/IPageWriter.h"
#include "tools/StripCompressor.h"

class PngPageWriter : public IPageWriter {
 public:
  // How the image data is compressed. The defaults were chosen with bench/WriterBench on
  // scanned pages, a noisy one among them (docs/benchmarks.md): level 3 with the Up filter
  // stays within 8% of libpng's defaults at a third to a quarter of its CPU time; libpng's
  // choice of filter per row gains 1-2% for half as much time again.
  struct Tuning {
    int level = 3;     // zlib level
    int strategy = 0;  // Z_DEFAULT_STRATEGY (Z_FILTERED makes no difference below level 4)
    int filter = 2;    // the row filter of 8-bit rows (1-bit rows go unfiltered): Up
    uint32_t stripBytes = 256 * 1024;
    unsigned threads = StripCompressor::Workers();
  };
  // PNG's five row filters by their type byte, and libpng's choice among them per row (the
  // least sum of the filtered bytes taken as signed).
  static constexpr int kFilterMinimum = 5;

  explicit PngPageWriter(std::string path);
  PngPageWriter(std::string path, const Tuning& tuning);
  ~PngPageWriter() override;
  PngPageWriter(const PngPageWriter&) = delete;
  PngPageWriter& operator=(const PngPageWriter&) = delete;

  bool BeginPage(const PageLayout& layout, std::string* error) override;
  bool WriteRow(const uint8_t* row, std::string* error) override;
  bool EndPage(std::string* error) override;
  bool Close(std::string* error) override;
  bool MultiPage() const override { return false; }

  // Called by libpng's error hook.
  void SetMessage(const char* text);

 private:
  // Opens the file and writes the signature and the header chunks through libpng.
  bool WriteHeader(const PageLayout& layout, std::string* error);
  void Release();
  bool Failed(std::string* error);
  bool Fail(const std::string& what, std::string* error);
  // Gives the strip being filled to the workers and writes out every strip already done.
  bool SubmitStrip(bool last, std::string* error);
  bool WriteDone(bool wait, std::string* error);
  bool WriteChunk(const char* type, const uint8_t* data, size_t size);

  std::string path_;
  Tuning tuning_;
  FILE* file_ = nullptr;
  void* png_ = nullptr;   // png_structp
  void* info_ = nullptr;  // png_infop
  bool pageDone_ = false;
  PageLayout layout_;
  uint32_t row_ = 0;
  uint32_t stripRows_ = 0;
  uint32_t rowsInStrip_ = 0;
  uint32_t adler_ = 1;  // of the filtered bytes written so far
  std::unique_ptr<StripCompressor> compressor_;
  std::unique_ptr<StripCompressor::Strip> filling_;
  char message_[256] = {0};
};

#endif
