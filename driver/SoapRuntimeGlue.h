// The gSOAP runtime library (libgsoap++.so) calls back into "the program" by global name: the
// namespace table `namespaces` and the serializer callbacks of GsoapRuntimeExports.h. The
// driver module exports nothing but its four COM entry points, so these names live in a small
// library of their own, libcavixsoapglue.so, which the module links: each callback there
// forwards to the module's own (local) function, and `namespaces` holds a copy of the module's
// table. The module attaches its functions when it is loaded, before it makes any SOAP context.
// Threads: attached once at load, read-only afterwards.
#ifndef CAVIX_DRIVER_SOAPRUNTIMEGLUE_H
#define CAVIX_DRIVER_SOAPRUNTIMEGLUE_H

struct soap;
struct Namespace;

struct CavixSoapCallbacks {
  int (*getfault)(struct soap*);
  int (*putfault)(struct soap*);
  void (*serializefault)(struct soap*);
  int (*getheader)(struct soap*);
  int (*putheader)(struct soap*);
  void (*serializeheader)(struct soap*);
  const char** (*faultcode)(struct soap*);
  const char** (*faultsubcode)(struct soap*);
  const char** (*faultstring)(struct soap*);
  const char** (*faultdetail)(struct soap*);
  const char* (*fault_subcode)(struct soap*);
  const char* (*fault_string)(struct soap*);
  const char* (*fault_detail)(struct soap*);
  void (*markelement)(struct soap*, const void*, int);
  void* (*getelement)(struct soap*, const char*, int*);
  int (*putelement)(struct soap*, const void*, const char*, int, int);
  void* (*dupelement)(struct soap*, const void*, int);
  void (*delelement)(const void*, int);
  const struct Namespace* namespaces;  // ended by a row with a null id
};

// Points the forwarders at `callbacks` and copies its namespace table (at most 31 rows).
extern "C" __attribute__((visibility("default"))) void CavixAttachSoapCallbacks(const CavixSoapCallbacks* callbacks);

#endif
