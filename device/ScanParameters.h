// One scan's parameters as the host gave them, with the limits of the scan source (platen or
// feeder), the checks and the region enlargement that make a record acceptable, the page
// geometry the host receives, and the values the scan ticket carries.
//
// Threads: an object is filled by the thread that creates it and not changed once a device
// has published it: a device replaces its object instead, so that a running job and the host
// threads can share one read-only (see SoapScanDevice). The process-wide default object is
// shared by every device of the process and never changed.
// Owns: nothing but the record.
#ifndef CAVIX_DEVICE_SCANPARAMETERS_H
#define CAVIX_DEVICE_SCANPARAMETERS_H

#include <cstdint>
#include <memory>

#include "driver/CavixScanner.h"

// Scan ticket codes the parameters translate to.
enum ScanTicketInputSource : int { kInputSourceAdf = 0, kInputSourceAdfDuplex = 1, kInputSourcePlaten = 2 };
enum ScanTicketFormat : int { kFormatJfif = 0, kFormatZkraw = 1 };
enum ScanTicketContentType : int { kContentAuto = 0, kContentDocument = 1, kContentPhoto = 2, kContentObject3D = 3 };
enum ScanTicketColorProcessing : int { kColorBlackAndWhite1 = 0, kColorGrayScale8 = 1, kColorRgb24 = 2 };

// Host scan modes and methods the parameters understand.
constexpr uint32_t kScanModeColor = 0x1;
constexpr uint32_t kScanModeGrey = 0x2;
constexpr uint32_t kScanModeBlackAndWhite = 0x4;
constexpr uint16_t kScanMethodPlaten = 0;
constexpr uint16_t kScanMethodAdf = 1;

class ScanParameters {
 public:
  SCANNER_PARAMETERS parameters;
  bool lossless;
  // Feeder objects only: both sides of each sheet (the device's SetAdfOptions choice).
  bool duplex = false;

  // The limits and codes of the scan source. Units: 1/300 inch, except InputMediaHeight
  // (1/1000 inch) and the resolutions (dots per inch). The declaration order is the
  // virtual-table order.
  virtual int InputSource() const = 0;
  virtual int InputMediaHeight() const = 0;
  virtual uint16_t OpticalResolution() const = 0;
  virtual uint16_t MinimumResolution() const = 0;
  virtual uint32_t MaximumWidth() const = 0;
  virtual uint32_t MinimumWidth() const = 0;
  virtual uint32_t MaximumLength() const = 0;
  virtual uint32_t MinimumLength() const = 0;
  virtual int ImagesToTransfer(bool multiPageFlow) const;
  virtual bool ResolutionValid() const = 0;
  virtual bool WidthUndersized() const = 0;
  virtual bool LengthUndersized() const = 0;
  // The largest origins at which a region of minimum size still fits.
  virtual uint32_t MaximumLeft() const = 0;
  virtual uint32_t MaximumTop() const = 0;
  // Subclasses hold nothing of their own; the destructor is virtual so that deleting through
  // this class is well defined.
  virtual ~ScanParameters() = default;

  // Page geometry; unsigned 32-bit arithmetic, divisions truncate.
  uint32_t PixelsPerLine() const;
  uint32_t Lines() const;
  uint32_t BytesPerLine() const;

  // Scan ticket values.
  int Format() const;
  bool ExpectCompressed() const;
  bool ExpectOneBit() const;
  int ContentType() const;
  int ColorProcessing() const;
  uint16_t Resolution() const;
  // Region in 1/1000 inch: origins rounded down, sizes rounded up.
  int ScanRegionXOffset() const;
  int ScanRegionYOffset() const;
  int ScanRegionWidth() const;
  int ScanRegionHeight() const;

  bool RegionWithinBounds() const;
  bool Valid() const;
  void EnlargeUndersizedScanRegionIfNecessary();
  void SetLossless() { lossless = true; }

  // A platen (wScanMethod 0) or feeder (1) object from `record`, its region enlarged where it
  // is too small; null for another scan method or when memory runs out.
  static std::unique_ptr<ScanParameters> Create(const SCANNER_PARAMETERS& record, bool lossless);
  // An object equal to `source` (record, lossless mode, duplex choice); null when memory runs
  // out.
  static std::unique_ptr<ScanParameters> Copy(const ScanParameters& source);

  // The process-wide default platen parameters (defaults, not lossless). Never deleted.
  static ScanParameters& DefaultParameters();

 protected:
  // The defaults common to both sources (colour, 8 bits, 300 dpi, grey channel 16).
  explicit ScanParameters(bool lossless);
  ScanParameters(const SCANNER_PARAMETERS& record, bool lossless);
  ScanParameters(const ScanParameters&) = default;
  ScanParameters& operator=(const ScanParameters&) = default;

  // Logs that the manufacturing-test mode changes a value.
  static void LogLossless();
};

#endif
