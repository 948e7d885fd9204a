#include "sane/SaneOptionSet.h"

#include <sane/saneopts.h>
#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sane/SaneDebug.h"
#include "tools/ScanParameterMapping.h"

namespace {

const SANE_String_Const kModes[] = {SANE_VALUE_SCAN_MODE_COLOR, SANE_VALUE_SCAN_MODE_GRAY,
                                    SANE_VALUE_SCAN_MODE_LINEART, nullptr};
const SANE_String_Const kSources[] = {"Flatbed", "ADF", "ADF Duplex", nullptr};
const SANE_Word kPlatenResolutions[] = {7, 75, 100, 150, 200, 300, 600, 1200};
const SANE_Word kFeederResolutions[] = {5, 75, 100, 150, 200, 300};

size_t ListSize(const SANE_String_Const* list) {
  size_t n = 0;
  for (; *list; ++list) n = std::max(n, std::strlen(*list) + 1);
  return n;
}

bool IsFeeder(const std::string& source) { return source != "Flatbed"; }

// Distances in 64 bits: INT_MIN or INT_MAX minus a listed value does not fit a word.
SANE_Word Nearest(const SANE_Word* list, SANE_Word v) {
  SANE_Word best = list[1];
  for (SANE_Word i = 2; i <= list[0]; ++i)
    if (std::llabs(int64_t(list[i]) - v) < std::llabs(int64_t(best) - v)) best = list[i];
  return best;
}

// The nearest value of a range's steps (min + n * quant, or max), in 64 bits.
SANE_Word Snap(const SANE_Range& r, SANE_Word v) {
  const int64_t clamped = std::min<int64_t>(r.max, std::max<int64_t>(r.min, v));
  if (r.quant <= 0) return static_cast<SANE_Word>(clamped);
  const int64_t steps = (clamped - r.min + r.quant / 2) / r.quant;
  return static_cast<SANE_Word>(std::min<int64_t>(r.max, r.min + steps * r.quant));
}

}  // namespace

SaneOptionSet::SaneOptionSet() : mode_(kModes[0]), source_(kSources[0]) {
  std::memset(desc_, 0, sizeof desc_);
  const RegionMm platen = ScanParameterMapping::SourceArea(ScanSource::Platen);
  xRange_ = SANE_Range{0, FixedFromUnits(ScanParameterMapping::MmToUnits(platen.width)), kUnitStep};
  yRange_ = SANE_Range{0, FixedFromUnits(ScanParameterMapping::MmToUnits(platen.height)), kUnitStep};
  geometry_[0] = geometry_[1] = 0;
  geometry_[2] = xRange_.max;
  geometry_[3] = yRange_.max;

  SANE_Option_Descriptor* d = &desc_[kNumOptions];
  d->name = SANE_NAME_NUM_OPTIONS;
  d->title = SANE_TITLE_NUM_OPTIONS;
  d->desc = SANE_DESC_NUM_OPTIONS;
  d->type = SANE_TYPE_INT;
  d->size = sizeof(SANE_Word);
  d->cap = SANE_CAP_SOFT_DETECT;

  const struct { Index index; const char* name; const char* title; const char* desc; } kGroups[] = {
      {kStandardGroup, SANE_NAME_STANDARD, SANE_TITLE_STANDARD, SANE_DESC_STANDARD},
      {kGeometryGroup, SANE_NAME_GEOMETRY, SANE_TITLE_GEOMETRY, SANE_DESC_GEOMETRY},
  };
  for (const auto& g : kGroups) {
    d = &desc_[g.index];
    d->name = g.name;
    d->title = g.title;
    d->desc = g.desc;
    d->type = SANE_TYPE_GROUP;
  }

  d = &desc_[kMode];
  d->name = SANE_NAME_SCAN_MODE;
  d->title = SANE_TITLE_SCAN_MODE;
  d->desc = SANE_DESC_SCAN_MODE;
  d->type = SANE_TYPE_STRING;
  d->size = static_cast<SANE_Int>(ListSize(kModes));
  d->cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
  d->constraint_type = SANE_CONSTRAINT_STRING_LIST;
  d->constraint.string_list = kModes;

  d = &desc_[kResolution];
  d->name = SANE_NAME_SCAN_RESOLUTION;
  d->title = SANE_TITLE_SCAN_RESOLUTION;
  d->desc = SANE_DESC_SCAN_RESOLUTION;
  d->type = SANE_TYPE_INT;
  d->unit = SANE_UNIT_DPI;
  d->size = sizeof(SANE_Word);
  d->cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
  d->constraint_type = SANE_CONSTRAINT_WORD_LIST;
  d->constraint.word_list = kPlatenResolutions;

  d = &desc_[kSource];
  d->name = SANE_NAME_SCAN_SOURCE;
  d->title = SANE_TITLE_SCAN_SOURCE;
  d->desc = SANE_DESC_SCAN_SOURCE;
  d->type = SANE_TYPE_STRING;
  d->size = static_cast<SANE_Int>(ListSize(kSources));
  d->cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
  d->constraint_type = SANE_CONSTRAINT_STRING_LIST;
  d->constraint.string_list = kSources;

  d = &desc_[kPreview];
  d->name = SANE_NAME_PREVIEW;
  d->title = SANE_TITLE_PREVIEW;
  d->desc = SANE_DESC_PREVIEW;
  d->type = SANE_TYPE_BOOL;
  d->size = sizeof(SANE_Word);
  d->cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;

  const struct { Index index; const char* name; const char* title; const char* desc; const SANE_Range* range; } kGeometry[] = {
      {kTlX, SANE_NAME_SCAN_TL_X, SANE_TITLE_SCAN_TL_X, SANE_DESC_SCAN_TL_X, &xRange_},
      {kTlY, SANE_NAME_SCAN_TL_Y, SANE_TITLE_SCAN_TL_Y, SANE_DESC_SCAN_TL_Y, &yRange_},
      {kBrX, SANE_NAME_SCAN_BR_X, SANE_TITLE_SCAN_BR_X, SANE_DESC_SCAN_BR_X, &xRange_},
      {kBrY, SANE_NAME_SCAN_BR_Y, SANE_TITLE_SCAN_BR_Y, SANE_DESC_SCAN_BR_Y, &yRange_},
  };
  for (const auto& g : kGeometry) {
    d = &desc_[g.index];
    d->name = g.name;
    d->title = g.title;
    d->desc = g.desc;
    d->type = SANE_TYPE_FIXED;
    d->unit = SANE_UNIT_MM;
    d->size = sizeof(SANE_Word);
    d->cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
    d->constraint_type = SANE_CONSTRAINT_RANGE;
    d->constraint.range = g.range;
  }
}

SANE_Fixed SaneOptionSet::FixedFromUnits(uint32_t units) {
  return static_cast<SANE_Fixed>(units * kUnitStep);
}

const SANE_Option_Descriptor* SaneOptionSet::Descriptor(SANE_Int option) const {
  if (option < 0 || option >= kCount) return nullptr;
  return &desc_[option];
}

uint32_t SaneOptionSet::AxisMaximum(int axis) const {
  const RegionMm area = ScanParameterMapping::SourceArea(IsFeeder(source_) ? ScanSource::Adf : ScanSource::Platen);
  return ScanParameterMapping::MmToUnits(axis == 0 ? area.width : area.height);
}

bool SaneOptionSet::AxisUnits(int axis, uint32_t* origin, uint32_t* extent) const {
  const SANE_Fixed tl = geometry_[axis], br = geometry_[axis + 2];
  if (br <= tl) return false;
  // As the scan request is built: each edge rounded down to a unit and kept inside the source.
  const uint32_t maximum = AxisMaximum(axis);
  *origin = std::min(ScanParameterMapping::MmToUnits(SANE_UNFIX(tl)), maximum - 1);
  const uint32_t end = std::min(ScanParameterMapping::MmToUnits(SANE_UNFIX(br)), maximum);
  *extent = std::max<uint32_t>(1, end > *origin ? end - *origin : 0);
  return true;
}

unsigned SaneOptionSet::FitAxis(int axis) {
  uint32_t origin = 0, extent = 0;
  if (!AxisUnits(axis, &origin, &extent) || extent >= kMinimumUnits) return 0;
  // The scanner enlarges a side below its minimum and moves it back inside the source.
  const uint32_t maximum = AxisMaximum(axis);
  extent = kMinimumUnits;
  origin = std::min(origin, maximum - kMinimumUnits);
  unsigned changed = 0;
  const SANE_Fixed tl = FixedFromUnits(origin), br = FixedFromUnits(origin + extent);
  const SANE_Range* range = desc_[kTlX + axis].constraint.range;
  if (ScanParameterMapping::MmToUnits(SANE_UNFIX(geometry_[axis])) != origin) {
    geometry_[axis] = std::min(tl, range->max);
    changed |= 1u << (kTlX + axis);
  }
  if (std::min(br, range->max) != geometry_[axis + 2]) {
    geometry_[axis + 2] = std::min(br, range->max);
    changed |= 1u << (kBrX + axis);
  }
  return changed;
}

void SaneOptionSet::ApplySource() {
  const bool feeder = IsFeeder(source_);
  const RegionMm area = ScanParameterMapping::SourceArea(feeder ? ScanSource::Adf : ScanSource::Platen);
  const SANE_Fixed oldMax = yRange_.max;
  yRange_.max = FixedFromUnits(ScanParameterMapping::MmToUnits(area.height));
  // A scan area that reached the end of the old source reaches the end of the new one.
  if (geometry_[3] == oldMax) geometry_[3] = yRange_.max;
  for (int i : {1, 3}) geometry_[i] = std::min(geometry_[i], yRange_.max);
  FitAxis(1);
  desc_[kResolution].constraint.word_list = feeder ? kFeederResolutions : kPlatenResolutions;
  resolution_ = Nearest(desc_[kResolution].constraint.word_list, resolution_);
}

SANE_Status SaneOptionSet::SetString(SANE_Int option, char* value, SANE_Int* info) {
  const SANE_String_Const* list = desc_[option].constraint.string_list;
  for (; *list; ++list) {
    if (::strcasecmp(*list, value) != 0) continue;
    if (option == kMode) {
      mode_ = *list;
      if (info) *info |= SANE_INFO_RELOAD_PARAMS;
    } else {
      const bool changed = source_ != *list;
      source_ = *list;
      ApplySource();
      if (info && changed) *info |= SANE_INFO_RELOAD_PARAMS;
    }
    // The value is written back as the list spells it.
    if (std::strcmp(*list, value) != 0) {
      std::strcpy(value, *list);
      if (info) *info |= SANE_INFO_INEXACT;
    }
    return SANE_STATUS_GOOD;
  }
  return SANE_STATUS_INVAL;
}

SANE_Status SaneOptionSet::SetResolution(SANE_Word value, SANE_Int* info) {
  resolution_ = Nearest(desc_[kResolution].constraint.word_list, value);
  if (info) *info |= SANE_INFO_RELOAD_PARAMS | (resolution_ != value ? SANE_INFO_INEXACT : 0);
  return SANE_STATUS_GOOD;
}

std::string SaneOptionSet::Look(SANE_Int option) const {
  const SANE_Option_Descriptor& d = desc_[option];
  std::string look = std::to_string(d.cap) + " ";
  if (d.constraint_type == SANE_CONSTRAINT_RANGE)
    look += std::to_string(d.constraint.range->min) + ".." + std::to_string(d.constraint.range->max) + "/" +
            std::to_string(d.constraint.range->quant);
  else if (d.constraint_type == SANE_CONSTRAINT_WORD_LIST)
    for (SANE_Word i = 1; i <= d.constraint.word_list[0]; ++i) look += std::to_string(d.constraint.word_list[i]) + ",";
  switch (option) {
    case kMode: return look + " " + mode_;
    case kSource: return look + " " + source_;
    case kResolution: return look + " " + std::to_string(resolution_);
    case kPreview: return look + " " + std::to_string(preview_);
    case kTlX: case kTlY: case kBrX: case kBrY: return look + " " + std::to_string(geometry_[option - kTlX]);
    default: return look;
  }
}

SANE_Status SaneOptionSet::Control(SANE_Int option, SANE_Action action, void* value, SANE_Int* info) {
  if (action != SANE_ACTION_SET_VALUE || option < 0 || option >= kCount || !value)
    return Apply(option, action, value, info);
  // Any other option whose activity, constraint or value the change moved makes the frontend
  // read them all again.
  std::string before[kCount];
  for (SANE_Int i = 0; i < kCount; ++i) before[i] = Look(i);
  const bool text = desc_[option].type == SANE_TYPE_STRING;
  const std::string asked = text ? std::string(static_cast<const char*>(value), strnlen(static_cast<const char*>(value), 64))
                                 : std::to_string(*static_cast<const SANE_Word*>(value));
  SANE_Int got = 0;
  const SANE_Status s = Apply(option, action, value, &got);
  for (SANE_Int i = 0; i < kCount && s == SANE_STATUS_GOOD; ++i)
    if (i != option && Look(i) != before[i]) got |= SANE_INFO_RELOAD_OPTIONS;
  if (info) *info = got;
  if (SaneDebug::On(SaneDebug::kOption)) {
    const SANE_Word word = text ? 0 : *static_cast<const SANE_Word*>(value);
    const bool fixed = desc_[option].type == SANE_TYPE_FIXED;
    char back[80];
    if (text) std::snprintf(back, sizeof back, "%s", static_cast<const char*>(value));
    else if (fixed) std::snprintf(back, sizeof back, "%.4f", SANE_UNFIX(word));
    else std::snprintf(back, sizeof back, "%d", word);
    const std::string was = fixed ? std::to_string(SANE_UNFIX(std::stoi(asked))) : asked;
    SaneDebug::Print(SaneDebug::kOption, "set %s = %s: status %d, value %s, info 0x%X", desc_[option].name,
                     was.c_str(), static_cast<int>(s), back, static_cast<unsigned>(got));
  }
  return s;
}

SANE_Status SaneOptionSet::Apply(SANE_Int option, SANE_Action action, void* value, SANE_Int* info) {
  if (info) *info = 0;
  if (option < 0 || option >= kCount || desc_[option].type == SANE_TYPE_GROUP || !value) return SANE_STATUS_INVAL;
  if (action == SANE_ACTION_GET_VALUE) {
    switch (option) {
      case kNumOptions: *static_cast<SANE_Word*>(value) = kCount; break;
      case kMode: std::strcpy(static_cast<char*>(value), mode_.c_str()); break;
      case kSource: std::strcpy(static_cast<char*>(value), source_.c_str()); break;
      case kResolution: *static_cast<SANE_Word*>(value) = resolution_; break;
      case kPreview: *static_cast<SANE_Word*>(value) = preview_; break;
      default: *static_cast<SANE_Word*>(value) = geometry_[option - kTlX]; break;
    }
    return SANE_STATUS_GOOD;
  }
  if (action != SANE_ACTION_SET_VALUE || option == kNumOptions) return SANE_STATUS_INVAL;
  switch (option) {
    case kMode:
    case kSource:
      return SetString(option, static_cast<char*>(value), info);
    case kResolution: {
      SANE_Word* v = static_cast<SANE_Word*>(value);
      const SANE_Status s = SetResolution(*v, info);
      *v = resolution_;
      return s;
    }
    case kPreview: {
      const SANE_Word v = *static_cast<SANE_Word*>(value);
      if (v != SANE_FALSE && v != SANE_TRUE) return SANE_STATUS_INVAL;
      preview_ = v;
      if (info) *info |= SANE_INFO_RELOAD_PARAMS;
      return SANE_STATUS_GOOD;
    }
    default: {
      // Onto the range's steps (the scanner's unit), then to what the scanner scans.
      SANE_Fixed* v = static_cast<SANE_Fixed*>(value);
      const SANE_Fixed asked = *v;
      geometry_[option - kTlX] = Snap(*desc_[option].constraint.range, asked);
      FitAxis((option - kTlX) % 2);
      *v = geometry_[option - kTlX];
      if (info) *info |= SANE_INFO_RELOAD_PARAMS | (*v != asked ? SANE_INFO_INEXACT : 0);
      return SANE_STATUS_GOOD;
    }
  }
}

bool SaneOptionSet::ToScanOptions(ScanOptions* o, std::string* why) const {
  o->command = ScanCommand::Scan;
  o->mode = mode_ == SANE_VALUE_SCAN_MODE_COLOR ? ColorMode::Color
            : mode_ == SANE_VALUE_SCAN_MODE_GRAY ? ColorMode::Gray
                                                 : ColorMode::BlackWhite;
  o->source = source_ == "Flatbed" ? ScanSource::Platen : source_ == "ADF" ? ScanSource::Adf : ScanSource::Duplex;
  o->resolution = static_cast<unsigned>(ScanResolution());
  // The corners, named as the frontend knows them.
  for (int axis = 0; axis < 2; ++axis) {
    if (geometry_[axis + 2] > geometry_[axis]) continue;
    char text[160];
    std::snprintf(text, sizeof text, "the scan area is empty: %s %.3f mm is not before %s %.3f mm",
                  desc_[kTlX + axis].name, SANE_UNFIX(geometry_[axis]), desc_[kBrX + axis].name,
                  SANE_UNFIX(geometry_[axis + 2]));
    *why = text;
    return false;
  }
  const double x0 = SANE_UNFIX(geometry_[0]), x1 = SANE_UNFIX(geometry_[2]);
  const double y0 = SANE_UNFIX(geometry_[1]), y1 = SANE_UNFIX(geometry_[3]);
  o->hasRegion = true;
  o->region = RegionMm{x0, y0, x1 - x0, y1 - y0};
  return true;
}

SANE_Parameters SaneOptionSet::Estimate() const {
  SANE_Parameters p = {};
  const bool color = mode_ == SANE_VALUE_SCAN_MODE_COLOR, lineart = mode_ == SANE_VALUE_SCAN_MODE_LINEART;
  p.format = color ? SANE_FRAME_RGB : SANE_FRAME_GRAY;
  p.last_frame = SANE_TRUE;
  p.depth = lineart ? 1 : 8;
  const uint32_t dpi = static_cast<uint32_t>(ScanResolution());
  uint32_t origin = 0, width = 0, length = 0;
  if (AxisUnits(0, &origin, &width)) width = std::max(width, kMinimumUnits);
  else width = 0;
  if (AxisUnits(1, &origin, &length)) length = std::max(length, kMinimumUnits);
  else length = 0;
  // The scanner's arithmetic: whole pixels, one-bit rows in whole bytes.
  uint32_t pixels = dpi * width / 300;
  if (lineart) pixels -= pixels % 8;
  p.pixels_per_line = static_cast<SANE_Int>(pixels);
  p.lines = static_cast<SANE_Int>(dpi * length / 300);
  p.bytes_per_line = static_cast<SANE_Int>(lineart ? pixels / 8 : color ? pixels * 3 : pixels);
  return p;
}
