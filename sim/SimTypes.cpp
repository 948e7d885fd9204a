#include "sim/SimTypes.h"

#include <cctype>

namespace cavixsim {

namespace {
const char* const kOperationNames[] = {"CreateScanJob", "RetrieveImage", "CancelJob",
                                       "GetScannerElements", "GetJobInfo",
                                       "GetPreviousImagePadInfo"};
}

const char* OperationName(Operation op) {
  int i = static_cast<int>(op);
  return i >= 0 && i < 6 ? kOperationNames[i] : "Unknown";
}

Operation OperationFromName(const std::string& name) {
  for (int i = 0; i < 6; ++i) {
    const std::string candidate = kOperationNames[i];
    if (candidate.size() != name.size()) continue;
    bool same = true;
    for (size_t k = 0; k < name.size() && same; ++k)
      same = std::tolower(static_cast<unsigned char>(name[k])) ==
             std::tolower(static_cast<unsigned char>(candidate[k]));
    if (same) return static_cast<Operation>(i);
  }
  return Operation::Unknown;
}

namespace {
const char* const kMisbehaviourNames[] = {"none",         "trickle",      "endless", "huge",
                                          "http-error",   "empty-chunks", "lying-record",
                                          "reset",        "wrong-size",   "bomb", "absurd"};
}

const char* MisbehaviourName(Misbehaviour kind) {
  const int i = static_cast<int>(kind);
  return i >= 0 && i < 11 ? kMisbehaviourNames[i] : "none";
}

Misbehaviour MisbehaviourFromName(const std::string& name) {
  for (int i = 1; i < 11; ++i) {
    if (name == kMisbehaviourNames[i]) return static_cast<Misbehaviour>(i);
  }
  return Misbehaviour::None;
}

}  // namespace cavixsim
