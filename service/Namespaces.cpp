// The namespace table of every SOAP context the module creates. libgsoap++ looks the global
// `namespaces` up by name, so this one definition carries default visibility.
//
// Per row: the prefix, the URI written, the URI (or pattern) also accepted on input.
//   SOAP-ENV  SOAP 1.2 envelope written; SOAP 1.1 envelope accepted.
//   SOAP-ENC  SOAP 1.2 encoding written; SOAP 1.1 encoding accepted.
//   xsi, xsd  the 2001 schema namespaces written; any year accepted ('*' pattern).
//   wscn      the scan service; nothing else accepted.
#define SOAP_NMAC __attribute__((visibility("default")))
#include <stdsoap2.h>

struct Namespace namespaces[] = {
    {"SOAP-ENV", "http://www.w3.org/2003/05/soap-envelope",
     "http://schemas.xmlsoap.org/soap/envelope/", nullptr},
    {"SOAP-ENC", "http://www.w3.org/2003/05/soap-encoding",
     "http://schemas.xmlsoap.org/soap/encoding/", nullptr},
    {"xsi", "http://www.w3.org/2001/XMLSchema-instance", "http://www.w3.org/*/XMLSchema-instance",
     nullptr},
    {"xsd", "http://www.w3.org/2001/XMLSchema", "http://www.w3.org/*/XMLSchema", nullptr},
    {"wscn", "http://tempuri.org/wscn.xsd", nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr}};
