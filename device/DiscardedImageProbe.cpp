#include "device/DiscardedImageProbe.h"

#include <stdsoap2.h>

namespace {

// The probe whose hook is installed by this thread (the hook is called on the exchange's thread).
thread_local DiscardedImageProbe* t_activeProbe = nullptr;

}  // namespace

DiscardedImageProbe::DiscardedImageProbe(struct soap* soap)
    : soap_(soap), previous_(soap ? soap->fdimewriteopen : nullptr), outer_(t_activeProbe) {
  if (!soap_) return;
  soap_->fdimewriteopen = &DiscardedImageProbe::OpenCallback;
  t_activeProbe = this;
}

DiscardedImageProbe::~DiscardedImageProbe() {
  if (!soap_) return;
  soap_->fdimewriteopen = previous_;
  t_activeProbe = outer_;
}

void* DiscardedImageProbe::OpenCallback(struct soap* soap, const char* id, const char* type, const char* options) {
  // Find the probe of this context among the probes active on this thread.
  DiscardedImageProbe* probe = t_activeProbe;
  while (probe && probe->soap_ != soap) probe = probe->outer_;
  if (!probe) {
    soap->error = SOAP_FATAL_ERROR;
    return nullptr;
  }
  probe->arrived_ = true;
  if (!probe->previous_) {
    // Without a hook of its own the runtime would keep the attachment in memory; refuse it.
    soap->error = SOAP_FATAL_ERROR;
    return nullptr;
  }
  return probe->previous_(soap, id, type, options);
}
