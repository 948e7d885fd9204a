// Scan parameters of the automatic document feeder: 8.5 x 14 inch, up to 300 dpi; simplex or
// duplex by the object's duplex choice. Threads and ownership as ScanParameters.
#ifndef CAVIX_DEVICE_ADFSCANPARAMETERS_H
#define CAVIX_DEVICE_ADFSCANPARAMETERS_H

#include "device/ScanParameters.h"

class AdfScanParameters : public ScanParameters {
 public:
  // The defaults: full 2550 x 4200 page at the origin, feeder.
  explicit AdfScanParameters(bool lossless);
  AdfScanParameters(const SCANNER_PARAMETERS& record, bool lossless);

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
