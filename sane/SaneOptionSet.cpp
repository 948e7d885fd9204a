#include "sane/SaneOptionSet.h"

#include <sane/saneopts.h>
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "tools/ScanCommandLine.h"

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

}  // namespace

SaneOptionSet::SaneOptionSet() : mode_(kModes[0]), source_(kSources[0]) {
  std::memset(desc_, 0, sizeof desc_);
  const RegionMm platen = ScanCommandLine::SourceArea(ScanSource::Platen);
  xRange_ = SANE_Range{0, SANE_FIX(platen.width), 0};
  yRange_ = SANE_Range{0, SANE_FIX(platen.height), 0};
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

  d = &desc_[kModeGroup];
  d->name = "";
  d->title = SANE_TITLE_SCAN_MODE;
  d->desc = "";
  d->type = SANE_TYPE_GROUP;

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

  d = &desc_[kGeometryGroup];
  d->name = "";
  d->title = SANE_TITLE_GEOMETRY;
  d->desc = "";
  d->type = SANE_TYPE_GROUP;

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

const SANE_Option_Descriptor* SaneOptionSet::Descriptor(SANE_Int option) const {
  if (option < 0 || option >= kCount) return nullptr;
  return &desc_[option];
}

void SaneOptionSet::ApplySource() {
  const bool feeder = IsFeeder(source_);
  const RegionMm area = ScanCommandLine::SourceArea(feeder ? ScanSource::Adf : ScanSource::Platen);
  const SANE_Fixed oldMax = yRange_.max;
  yRange_.max = SANE_FIX(area.height);
  // A scan area that reached the end of the old source reaches the end of the new one.
  if (geometry_[3] == oldMax) geometry_[3] = yRange_.max;
  for (int i : {1, 3}) geometry_[i] = std::min(geometry_[i], yRange_.max);
  desc_[kResolution].constraint.word_list = feeder ? kFeederResolutions : kPlatenResolutions;
  if (feeder && resolution_ > 300) resolution_ = 300;
}

SANE_Status SaneOptionSet::SetString(SANE_Int option, const char* value, SANE_Int* info) {
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
      if (info && changed) *info |= SANE_INFO_RELOAD_OPTIONS | SANE_INFO_RELOAD_PARAMS;
    }
    if (info && std::strcmp(*list, value) != 0) *info |= SANE_INFO_INEXACT;
    return SANE_STATUS_GOOD;
  }
  return SANE_STATUS_INVAL;
}

SANE_Status SaneOptionSet::Control(SANE_Int option, SANE_Action action, void* value, SANE_Int* info) {
  if (info) *info = 0;
  if (option < 0 || option >= kCount || desc_[option].type == SANE_TYPE_GROUP || !value) return SANE_STATUS_INVAL;
  if (action == SANE_ACTION_GET_VALUE) {
    switch (option) {
      case kNumOptions: *static_cast<SANE_Word*>(value) = kCount; break;
      case kMode: std::strcpy(static_cast<char*>(value), mode_.c_str()); break;
      case kSource: std::strcpy(static_cast<char*>(value), source_.c_str()); break;
      case kResolution: *static_cast<SANE_Word*>(value) = resolution_; break;
      default: *static_cast<SANE_Word*>(value) = geometry_[option - kTlX]; break;
    }
    return SANE_STATUS_GOOD;
  }
  if (action != SANE_ACTION_SET_VALUE || option == kNumOptions) return SANE_STATUS_INVAL;
  switch (option) {
    case kMode:
    case kSource:
      return SetString(option, static_cast<const char*>(value), info);
    case kResolution: {
      const SANE_Word v = *static_cast<SANE_Word*>(value);
      const SANE_Word* list = desc_[kResolution].constraint.word_list;
      for (SANE_Word i = 1; i <= list[0]; ++i) {
        if (list[i] == v) {
          resolution_ = v;
          if (info) *info |= SANE_INFO_RELOAD_PARAMS;
          return SANE_STATUS_GOOD;
        }
      }
      return SANE_STATUS_INVAL;
    }
    default: {
      const SANE_Range* r = desc_[option].constraint.range;
      const SANE_Fixed v = *static_cast<SANE_Fixed*>(value);
      const SANE_Fixed clamped = std::min(r->max, std::max(r->min, v));
      geometry_[option - kTlX] = clamped;
      if (info) *info |= SANE_INFO_RELOAD_PARAMS | (clamped != v ? SANE_INFO_INEXACT : 0);
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
  o->resolution = static_cast<unsigned>(resolution_);
  const double x0 = SANE_UNFIX(std::min(geometry_[0], geometry_[2]));
  const double x1 = SANE_UNFIX(std::max(geometry_[0], geometry_[2]));
  const double y0 = SANE_UNFIX(std::min(geometry_[1], geometry_[3]));
  const double y1 = SANE_UNFIX(std::max(geometry_[1], geometry_[3]));
  if (x1 - x0 <= 0 || y1 - y0 <= 0) {
    *why = "the scan area is empty";
    return false;
  }
  o->hasRegion = true;
  o->region = RegionMm{x0, y0, x1 - x0, y1 - y0};
  return true;
}
