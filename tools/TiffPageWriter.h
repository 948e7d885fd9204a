// TIFF output through libtiff: every page is a directory of one file (a feeder job becomes one
// multi-page file), colour and grey compressed with LZW, black and white with CCITT Group 4
// (min-is-white, so the driver's rows are inverted on the way). Rows go out as they come.
// One thread at a time; owns the TIFF handle.
#ifndef CAVIX_TOOLS_TIFFPAGEWRITER_H
#define CAVIX_TOOLS_TIFFPAGEWRITER_H

#include <string>
#include <vector>

#include "tools/IPageWriter.h"

class TiffPageWriter : public IPageWriter {
 public:
  explicit TiffPageWriter(std::string path);
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

  std::string path_;
  void* tiff_ = nullptr;  // TIFF*
  PageLayout layout_;
  uint32_t row_ = 0;
  uint16_t page_ = 0;
  std::vector<uint8_t> buffer_;
};

#endif
