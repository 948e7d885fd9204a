// A shared module linking the service library the way the driver module does, for
// ServiceExportsTest. It names nothing of the generated code itself, so the serializers'
// callbacks that libgsoap++.so needs must come in through the library's own link options.
#include <stdsoap2.h>

#include "service/ServiceContext.h"

extern "C" __attribute__((visibility("default"))) int CavixServiceProbe() {
  struct soap* soap = ServiceContext::Create(ServiceContext::kChunkedOutput);
  if (!soap) return -1;
  int chunked = (soap->omode & SOAP_IO) == SOAP_IO_CHUNK ? 1 : 0;
  ServiceContext::Destroy(soap);
  return chunked;
}
