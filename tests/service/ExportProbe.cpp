// A shared module built from the service library alone, the way the driver module links it,
// for ServiceExportsTest: its dynamic symbol table shows what the service code exports.
#include "service/ServiceContext.h"
#include "service/WscnService.h"

extern "C" __attribute__((visibility("default"))) int CavixServiceProbe(const char* endpoint) {
  struct soap* soap = ServiceContext::Create(ServiceContext::kChunkedOutput);
  wscn__PadInfoResponseType response;
  int status = soap_call_wscn__GetPreviousImagePadInfo(soap, endpoint, nullptr, &response);
  ServiceContext::Destroy(soap);
  return status;
}
