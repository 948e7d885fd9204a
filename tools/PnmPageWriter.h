// Netpbm output: P6 (colour), P5 (grey) or P4 (black and white, a set bit for black, so the
// driver's rows are inverted). Several pages in one file follow each other as a multi-image
// stream, which the netpbm tools read. One thread at a time; owns the file.
#ifndef CAVIX_TOOLS_PNMPAGEWRITER_H
#define CAVIX_TOOLS_PNMPAGEWRITER_H

#include <cstdio>
#include <string>
#include <vector>

#include "tools/IPageWriter.h"

class PnmPageWriter : public IPageWriter {
 public:
  explicit PnmPageWriter(std::string path);
  ~PnmPageWriter() override;
  PnmPageWriter(const PnmPageWriter&) = delete;
  PnmPageWriter& operator=(const PnmPageWriter&) = delete;

  bool BeginPage(const PageLayout& layout, std::string* error) override;
  bool WriteRow(const uint8_t* row, std::string* error) override;
  bool EndPage(std::string* error) override;
  bool Close(std::string* error) override;
  bool MultiPage() const override { return true; }

  // The header of a page: "P6\n# resolution 300 dpi\nW H\n255\n" and the like.
  static std::string Header(const PageLayout& layout);

 private:
  bool Fail(std::string* error);

  std::string path_;
  FILE* file_ = nullptr;
  PageLayout layout_;
  std::vector<uint8_t> buffer_;
};

#endif
