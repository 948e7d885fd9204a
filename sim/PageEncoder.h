// Turns a page into the bytes of its attachment, a piece at a time: raw rows (the page's rows,
// then its pad rows) or a baseline JPEG of the same rows compressed with libjpeg as it goes.
// Only a few rows and the compressed bytes not yet taken are held, never the whole page.
// Used by one thread at a time (the connection that sends the page).
#ifndef CAVIX_SIM_PAGEENCODER_H
#define CAVIX_SIM_PAGEENCODER_H

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/PageImage.h"

namespace cavixsim {

class PageEncoder {
 public:
  // `image` must outlive the encoder. `format` is kFormatZkraw or kFormatJfif.
  PageEncoder(const PageImage& image, int format, uint32_t padLines, int jpegQuality);
  ~PageEncoder();
  PageEncoder(const PageEncoder&) = delete;
  PageEncoder& operator=(const PageEncoder&) = delete;

  // Copies up to `len` next bytes into `buf`; returns how many (0 once everything was
  // taken, or after a failure).
  size_t Read(uint8_t* buf, size_t len);
  bool Finished() const { return finished_ && pendingPos_ == pending_.size(); }
  bool Failed() const { return failed_; }
  const std::string& Error() const { return error_; }
  // Total byte count when known in advance (raw rows); 0 for JPEG.
  uint64_t KnownSize() const;
  uint32_t RowCount() const { return rows_; }
  uint32_t RowsEncoded() const { return nextRow_; }

 private:
  struct Jpeg;
  bool ProduceRaw();
  bool ProduceJpeg();

  const PageImage& image_;
  int format_;
  uint32_t rows_;         // page lines plus pad lines
  uint32_t nextRow_ = 0;
  std::vector<uint8_t> row_;
  std::vector<uint8_t> pending_;  // produced, not yet read
  size_t pendingPos_ = 0;
  bool finished_ = false;
  bool failed_ = false;
  std::string error_;
  std::unique_ptr<Jpeg> jpeg_;
};

}  // namespace cavixsim

#endif
