// Where the scan device gets a page's image bytes from. Interface only; DimeDataSource
// implements it on the SOAP runtime's DIME attachment reception.
#ifndef CAVIX_IMAGE_ISCANDATASOURCE_H
#define CAVIX_IMAGE_ISCANDATASOURCE_H

#include <cstdint>

#include "driver/CavixErrors.h"

class IScanDataSource {
 public:
  virtual ~IScanDataSource() {}
  // Hooks the source into its SOAP context; throws a CAVIX_ERRORS value on failure.
  virtual void Install() = 0;
  // Reader side: whether the page is not open for reading.
  virtual bool IsClosed() = 0;
  // Reader side: waits until the page's writer opens, then opens the page for reading.
  virtual bool Open() = 0;
  // Reader side: CERR_NONE (request filled), CERR_SCANNER_END_OF_PAGE (page ended, bytesRead
  // says how much came), the cancel reason, CERR_INVALID_PARAMETER or CERR_UNKNOWN.
  virtual uint32_t Read(uint8_t* buffer, uint32_t size, uint32_t& bytesRead) = 0;
  // Closes both ends of the page and releases it.
  virtual void Close() = 0;
  virtual void SetExpectCompressed(bool expectCompressed) = 0;
  virtual void SetExpectOneBit(bool expectOneBit) = 0;
  virtual void SetBytesPerLine(uint32_t bytesPerLine) = 0;
  // Cancels the page with a reason; false when it was cancelled already (the first reason stays).
  virtual bool Cancel(uint32_t reason) = 0;
  virtual void SetDiscardData(bool discardData) = 0;
  // Expected page size in bytes; the page's capacity is 1.1 times this.
  virtual void SetMaxStreamLength(uint32_t length) = 0;
  virtual bool Canceled() = 0;
  virtual bool Ended() = 0;
  virtual uint32_t GetCancelReason() = 0;
  // Writer side, once the page is delivered: withholds the pad rows and ends the page. False
  // (and the page fails) when the page is not the one announced.
  virtual bool SetNumberOfTrailingPadlines(uint32_t padLines) = 0;
  // Pixels in a row of the coming pages (0: not known); with the row width it says how many
  // components a JPEG page must have.
  virtual void SetPixelsPerLine(uint32_t pixelsPerLine) = 0;
};

#endif
