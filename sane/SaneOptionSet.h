// The SANE options of one open device: scan mode, resolution, source and preview in the
// standard group, and the scan area (tl-x, tl-y, br-x, br-y in millimetres) in the geometry
// group. Keeps the descriptors and current values and checks values against their
// constraints. Every value adjusted on the way in is written back and reported inexact: a range
// clamps (in 64 bits, so INT_MIN and INT_MAX give its ends), an area edge snaps to the nearest
// step of the scanner's unit, a resolution to the nearest listed value, and a scan area smaller than the
// scanner's minimum is enlarged (and moved back inside the source) as the scanner would do it,
// so that reading the options back tells what will be scanned. An empty or inverted area stays
// as it is (it scans nothing). Changing the source changes the resolution list and the length
// of the area. A change that moves another option's value, constraint or capabilities answers
// SANE_INFO_RELOAD_OPTIONS (found by comparing every other option before and after). Each set is
// in the debug output with the value written back. Turns the values into the tools' ScanOptions and estimates the frame they give.
// Used by the frontend's thread only.
#ifndef CAVIX_SANE_SANEOPTIONSET_H
#define CAVIX_SANE_SANEOPTIONSET_H

#include <sane/sane.h>

#include <cstdint>
#include <string>

#include "tools/ScanOptions.h"

class SaneOptionSet {
 public:
  enum Index {
    kNumOptions,
    kStandardGroup,
    kMode,
    kResolution,
    kSource,
    kPreview,
    kGeometryGroup,
    kTlX,
    kTlY,
    kBrX,
    kBrY,
    kCount
  };
  // The scanner's smallest scan area side and its unit (1/300 inch).
  static constexpr uint32_t kMinimumUnits = 576;
  static constexpr SANE_Word kPreviewResolution = 75;
  // The area's step: one unit (25.4 / 300 mm) rounded up to the next fixed-point value, so that
  // n steps are n units (the error stays below one unit up to 18,000 units).
  static constexpr SANE_Word kUnitStep = 5549;

  SaneOptionSet();
  SaneOptionSet(const SaneOptionSet&) = delete;
  SaneOptionSet& operator=(const SaneOptionSet&) = delete;

  const SANE_Option_Descriptor* Descriptor(SANE_Int option) const;
  SANE_Status Control(SANE_Int option, SANE_Action action, void* value, SANE_Int* info);

  // The scan the options describe. False (with a reason) when the area is empty.
  bool ToScanOptions(ScanOptions* options, std::string* why) const;
  // The frame a scan with these options gives, by the scanner's arithmetic; 0 pixels or lines
  // on an empty side of the area.
  SANE_Parameters Estimate() const;
  // Millimetres for a number of units: that many steps, which convert back to the same number
  // of units.
  static SANE_Fixed FixedFromUnits(uint32_t units);

 private:
  SANE_Status Apply(SANE_Int option, SANE_Action action, void* value, SANE_Int* info);
  // What a frontend sees of an option besides its name: capabilities, constraint and value.
  std::string Look(SANE_Int option) const;
  void ApplySource();
  SANE_Status SetString(SANE_Int option, char* value, SANE_Int* info);
  SANE_Status SetResolution(SANE_Word value, SANE_Int* info);
  // Brings one side of the area (0: x, 1: y) to what the scanner scans; the indexes of the
  // options it changed, as bits.
  unsigned FitAxis(int axis);
  // The side's origin and extent in units; false when it is empty or inverted.
  bool AxisUnits(int axis, uint32_t* origin, uint32_t* extent) const;
  uint32_t AxisMaximum(int axis) const;
  SANE_Word ScanResolution() const { return preview_ ? kPreviewResolution : resolution_; }

  SANE_Option_Descriptor desc_[kCount];
  SANE_Range xRange_;
  SANE_Range yRange_;
  std::string mode_;
  std::string source_;
  SANE_Word resolution_ = 300;
  SANE_Bool preview_ = SANE_FALSE;
  SANE_Fixed geometry_[4];  // tl-x, tl-y, br-x, br-y
};

#endif
