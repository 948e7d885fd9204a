// PNG output through libpng: one page per file, 8-bit RGB, 8-bit grey or 1-bit grey, with the
// resolution in the pHYs chunk. Rows are compressed and written as they come. libpng reports
// errors by longjmp back into the method that called it; the message is kept for the caller.
// One thread at a time; owns the file and the libpng structures.
#ifndef CAVIX_TOOLS_PNGPAGEWRITER_H
#define CAVIX_TOOLS_PNGPAGEWRITER_H

#include <cstdio>
#include <string>

#include "tools/IPageWriter.h"

class PngPageWriter : public IPageWriter {
 public:
  explicit PngPageWriter(std::string path);
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
  void Release();
  bool Failed(std::string* error);

  std::string path_;
  FILE* file_ = nullptr;
  void* png_ = nullptr;   // png_structp
  void* info_ = nullptr;  // png_infop
  bool pageDone_ = false;
  char message_[256] = {0};
};

#endif
