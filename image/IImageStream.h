// A byte stream that knows its row width and withholds trailing pad rows from the reader.
// Interface only; PadlessStream implements it.
#ifndef CAVIX_IMAGE_IIMAGESTREAM_H
#define CAVIX_IMAGE_IIMAGESTREAM_H

#include "image/IByteStream.h"

class IImageStream : public IByteStream {
 public:
  // Row width of the current page in bytes; 0 = not set. Cleared when the read end closes.
  virtual void SetBytesPerLine(uint32_t bytesPerLine) = 0;
  virtual uint32_t GetBytesPerLine() = 0;
  // Writer side, once the page is complete: the last padLines rows are never delivered. False
  // when what remains is not the page announced by SetPageLength.
  virtual bool SetNumberOfTrailingPadlines(uint32_t padLines) = 0;
  // Bytes of image the page announced (pad rows not counted); 0 = not known. Writer side,
  // before the page opens; kept for the following pages. The reader never gets more than
  // this, and the page must hold exactly this once its pad rows are taken off.
  virtual void SetPageLength(uint32_t pageLength) = 0;
};

#endif
