// The SANE options of one open device: mode, resolution, source, and the scan area (tl-x,
// tl-y, br-x, br-y in millimetres). Keeps the descriptors and current values, checks values
// against their constraints (ranges are clamped and reported inexact; lists must match), and
// turns the values into the tools' ScanOptions. Changing the source changes the resolution
// list and the length of the area. Used by the frontend's thread only.
#ifndef CAVIX_SANE_SANEOPTIONSET_H
#define CAVIX_SANE_SANEOPTIONSET_H

#include <sane/sane.h>

#include <string>

#include "tools/ScanOptions.h"

class SaneOptionSet {
 public:
  enum Index { kNumOptions, kModeGroup, kMode, kResolution, kSource, kGeometryGroup, kTlX, kTlY, kBrX, kBrY, kCount };

  SaneOptionSet();
  SaneOptionSet(const SaneOptionSet&) = delete;
  SaneOptionSet& operator=(const SaneOptionSet&) = delete;

  const SANE_Option_Descriptor* Descriptor(SANE_Int option) const;
  SANE_Status Control(SANE_Int option, SANE_Action action, void* value, SANE_Int* info);

  // The scan the options describe. False (with a reason) when the area is empty.
  bool ToScanOptions(ScanOptions* options, std::string* why) const;

 private:
  void ApplySource();
  SANE_Status SetString(SANE_Int option, const char* value, SANE_Int* info);

  SANE_Option_Descriptor desc_[kCount];
  SANE_Range xRange_;
  SANE_Range yRange_;
  std::string mode_;
  std::string source_;
  SANE_Word resolution_ = 300;
  SANE_Fixed geometry_[4];  // tl-x, tl-y, br-x, br-y
};

#endif
