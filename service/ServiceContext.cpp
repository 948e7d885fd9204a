#include "service/ServiceContext.h"

#include <stdsoap2.h>
#include <sys/socket.h>

struct soap* ServiceContext::Create(Output output) {
  struct soap* soap = soap_new();
  if (!soap) return nullptr;
  if (output == kChunkedOutput) soap_set_omode(soap, SOAP_IO_CHUNK);
  Prepare(soap);
  return soap;
}

void ServiceContext::Prepare(struct soap* soap) {
  if (!soap) return;
  soap_set_namespaces(soap, namespaces);
  soap->socket_flags = MSG_NOSIGNAL;
}

void ServiceContext::Destroy(struct soap* soap) {
  if (!soap) return;
  soap_destroy(soap);
  soap_end(soap);
  soap_free(soap);
}
