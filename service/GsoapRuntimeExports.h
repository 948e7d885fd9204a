// Compiled in front of the generated serializers (forced include). libgsoap++.so calls back
// into the application for the namespace table, the SOAP header and fault serializers and
// the generic element dispatch; it resolves these names when it is loaded, so they must be
// visible in the dynamic symbol table of whatever module links the service code. Declaring
// them here first, with default visibility, exports exactly these and nothing else of the
// generated code (the project builds with hidden visibility).
#ifndef CAVIX_SERVICE_GSOAPRUNTIMEEXPORTS_H
#define CAVIX_SERVICE_GSOAPRUNTIMEEXPORTS_H

#include <stddef.h>

struct soap;
struct Namespace;

#define CAVIX_GSOAP_CALLBACK __attribute__((visibility("default")))

CAVIX_GSOAP_CALLBACK int soap_getfault(struct soap*);
CAVIX_GSOAP_CALLBACK int soap_putfault(struct soap*);
CAVIX_GSOAP_CALLBACK void soap_serializefault(struct soap*);
CAVIX_GSOAP_CALLBACK int soap_getheader(struct soap*);
CAVIX_GSOAP_CALLBACK int soap_putheader(struct soap*);
CAVIX_GSOAP_CALLBACK void soap_serializeheader(struct soap*);
CAVIX_GSOAP_CALLBACK const char** soap_faultcode(struct soap*);
CAVIX_GSOAP_CALLBACK const char** soap_faultsubcode(struct soap*);
CAVIX_GSOAP_CALLBACK const char** soap_faultstring(struct soap*);
CAVIX_GSOAP_CALLBACK const char** soap_faultdetail(struct soap*);
CAVIX_GSOAP_CALLBACK const char* soap_fault_subcode(struct soap*);
CAVIX_GSOAP_CALLBACK const char* soap_fault_string(struct soap*);
CAVIX_GSOAP_CALLBACK const char* soap_fault_detail(struct soap*);

extern "C" {
CAVIX_GSOAP_CALLBACK void soap_markelement(struct soap*, const void*, int);
CAVIX_GSOAP_CALLBACK void* soap_getelement(struct soap*, const char*, int*);
CAVIX_GSOAP_CALLBACK int soap_putelement(struct soap*, const void*, const char*, int, int);
CAVIX_GSOAP_CALLBACK void* soap_dupelement(struct soap*, const void*, int);
CAVIX_GSOAP_CALLBACK void soap_delelement(const void*, int);
}

#endif
