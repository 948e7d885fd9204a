// GUIDs in registry form: "{1422B44C-CBF9-440D-A286-44AD4F87BF5F}" (braces, upper-case hex).
// Free functions, callable from any thread.
#ifndef CAVIX_PLATFORM_COMGUID_H
#define CAVIX_PLATFORM_COMGUID_H

#include <string>

#include "driver/CavixCom.h"

// Registry form with braces and upper-case hexadecimal digits.
std::string GuidToString(REFGUID guid);

// Reads the registry form (braces required, either letter case). Returns false and leaves *guid
// untouched for anything else (wrong length, missing braces or hyphens, non-hex digits).
bool GuidFromString(const std::string& text, GUID* guid);

// Strict weak order for GUIDs as map keys (byte order of the structure).
struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const;
};

#endif
