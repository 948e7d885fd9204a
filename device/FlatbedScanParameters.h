// Scan parameters of the platen: 8.5 x 11.69 inch, up to 1200 dpi. In the manufacturing-test
// (lossless) mode the minimum length drops to 90 so that narrow test strips can be scanned.
// Threads and ownership as ScanParameters.
#ifndef CAVIX_DEVICE_FLATBEDSCANPARAMETERS_H
#define CAVIX_DEVICE_FLATBEDSCANPARAMETERS_H

#include "device/ScanParameters.h"

class FlatbedScanParameters : public ScanParameters {
 public:
  // The defaults: full 2550 x 3507 page at the origin, platen.
  explicit FlatbedScanParameters(bool lossless);
  FlatbedScanParameters(const SCANNER_PARAMETERS& record, bool lossless);

  int InputSource() const override;
  int InputMediaHeight() const override;
  uint16_t OpticalResolution() const override;
  uint16_t MinimumResolution() const override;
  uint32_t MaximumWidth() const override;
  uint32_t MinimumWidth() const override;
  uint32_t MaximumLength() const override;
  uint32_t MinimumLength() const override;
  int ImagesToTransfer(bool multiPageFlow) const override;
  bool ResolutionValid() const override;
  bool WidthUndersized() const override;
  bool LengthUndersized() const override;
  uint32_t MaximumLeft() const override;
  uint32_t MaximumTop() const override;
};

#endif
