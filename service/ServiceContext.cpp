#include "service/ServiceContext.h"

#include <stdsoap2.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <string>

namespace {

using PostHeaderFn = int (*)(struct soap*, const char*, const char*);
// gSOAP's own writer of a request's header line, the same for every context soap_init sets up.
std::atomic<PostHeaderFn> libraryPostHeader{nullptr};

// A link-local endpoint's zone ("[fe80::1%eth0]") names an interface of this host only: the
// Host header goes without it, as a device's server expects (RFC 6874); the connection still
// goes out through that interface.
int PostHeader(struct soap* soap, const char* key, const char* value) {
  const char* percent = key && value && std::strcmp(key, "Host") == 0 ? std::strchr(value, '%') : nullptr;
  const char* close = percent ? std::strchr(percent, ']') : nullptr;
  if (!close) return libraryPostHeader.load()(soap, key, value);
  const std::string host = std::string(value, percent) + close;
  return libraryPostHeader.load()(soap, key, host.c_str());
}

}  // namespace

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
  PostHeaderFn library = nullptr;
  libraryPostHeader.compare_exchange_strong(library, soap->fposthdr);
  if (soap->fposthdr == libraryPostHeader.load()) soap->fposthdr = PostHeader;
}

void ServiceContext::Destroy(struct soap* soap) {
  if (!soap) return;
  soap_destroy(soap);
  soap_end(soap);
  soap_free(soap);
}
