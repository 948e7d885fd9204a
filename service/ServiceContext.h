// Creation and set-up of the SOAP contexts the module talks to the scan service with.
//
// Every context gets the module's namespace table and sends with MSG_NOSIGNAL, so that a
// device dropping the connection yields a status (-1) instead of a SIGPIPE that would kill
// the host, and writes the Host header of a link-local endpoint without its zone. Keep-alive is
// never asked for: each call opens its own connection.
//
// Typical use:
//   struct soap* scan = ServiceContext::Create(ServiceContext::kChunkedOutput);
//   SoapPointerMap::Attach(scan, &map);           // see SoapPointerMap.h
//   ... soap_call_wscn__...(scan, endpoint, nullptr, ...) ...
//   ServiceContext::Destroy(scan);
// A context made some other way (soap_new, soap_copy, an embedded struct soap after
// soap_init) is brought to the same state with Prepare.
//
// Threads: any thread; a context is then used by one thread at a time.
#ifndef CAVIX_SERVICE_SERVICECONTEXT_H
#define CAVIX_SERVICE_SERVICECONTEXT_H

struct soap;

class ServiceContext {
 public:
  enum Output {
    kPlainOutput,    // Content-Length, computed in the counting pass
    kChunkedOutput,  // HTTP chunked transfer encoding (the scan thread's context)
  };

  // A new context with the namespace table, MSG_NOSIGNAL and the Host header's writer; null when
  // out of memory.
  static struct soap* Create(Output output);
  // Applies the namespace table, MSG_NOSIGNAL and the Host header's writer to soap (chunking
  // untouched). Null is ignored.
  static void Prepare(struct soap* soap);
  // Frees the context's data and the context itself (the user pointer is not touched). Null is
  // ignored.
  static void Destroy(struct soap* soap);
};

#endif
