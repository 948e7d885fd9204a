// libcavixsoapglue.so: the names libgsoap++.so resolves in the program, forwarding to the
// driver module's functions (see SoapRuntimeGlue.h). Before the module attaches, every
// callback fails as a SOAP fault would.
#define SOAP_NMAC __attribute__((visibility("default")))
#include <stdsoap2.h>

#include "driver/SoapRuntimeGlue.h"
#include "service/GsoapRuntimeExports.h"

namespace {

constexpr int kNamespaceRows = 32;
CavixSoapCallbacks g_callbacks;  // written once by CavixAttachSoapCallbacks at module load

}  // namespace

struct Namespace namespaces[kNamespaceRows];

extern "C" void CavixAttachSoapCallbacks(const CavixSoapCallbacks* callbacks) {
  g_callbacks = *callbacks;
  int row = 0;
  for (; row < kNamespaceRows - 1 && callbacks->namespaces && callbacks->namespaces[row].id; ++row)
    namespaces[row] = callbacks->namespaces[row];
  namespaces[row] = Namespace{nullptr, nullptr, nullptr, nullptr};
}

int soap_getfault(struct soap* s) { return g_callbacks.getfault ? g_callbacks.getfault(s) : SOAP_FATAL_ERROR; }
int soap_putfault(struct soap* s) { return g_callbacks.putfault ? g_callbacks.putfault(s) : SOAP_FATAL_ERROR; }
void soap_serializefault(struct soap* s) {
  if (g_callbacks.serializefault) g_callbacks.serializefault(s);
}
int soap_getheader(struct soap* s) { return g_callbacks.getheader ? g_callbacks.getheader(s) : SOAP_FATAL_ERROR; }
int soap_putheader(struct soap* s) { return g_callbacks.putheader ? g_callbacks.putheader(s) : SOAP_FATAL_ERROR; }
void soap_serializeheader(struct soap* s) {
  if (g_callbacks.serializeheader) g_callbacks.serializeheader(s);
}
const char** soap_faultcode(struct soap* s) { return g_callbacks.faultcode ? g_callbacks.faultcode(s) : nullptr; }
const char** soap_faultsubcode(struct soap* s) {
  return g_callbacks.faultsubcode ? g_callbacks.faultsubcode(s) : nullptr;
}
const char** soap_faultstring(struct soap* s) {
  return g_callbacks.faultstring ? g_callbacks.faultstring(s) : nullptr;
}
const char** soap_faultdetail(struct soap* s) {
  return g_callbacks.faultdetail ? g_callbacks.faultdetail(s) : nullptr;
}
const char* soap_fault_subcode(struct soap* s) {
  return g_callbacks.fault_subcode ? g_callbacks.fault_subcode(s) : nullptr;
}
const char* soap_fault_string(struct soap* s) {
  return g_callbacks.fault_string ? g_callbacks.fault_string(s) : nullptr;
}
const char* soap_fault_detail(struct soap* s) {
  return g_callbacks.fault_detail ? g_callbacks.fault_detail(s) : nullptr;
}

extern "C" {
void soap_markelement(struct soap* s, const void* p, int type) {
  if (g_callbacks.markelement) g_callbacks.markelement(s, p, type);
}
void* soap_getelement(struct soap* s, const char* tag, int* type) {
  return g_callbacks.getelement ? g_callbacks.getelement(s, tag, type) : nullptr;
}
int soap_putelement(struct soap* s, const void* p, const char* tag, int id, int type) {
  return g_callbacks.putelement ? g_callbacks.putelement(s, p, tag, id, type) : SOAP_FATAL_ERROR;
}
void* soap_dupelement(struct soap* s, const void* p, int type) {
  return g_callbacks.dupelement ? g_callbacks.dupelement(s, p, type) : nullptr;
}
void soap_delelement(const void* p, int type) {
  if (g_callbacks.delelement) g_callbacks.delelement(p, type);
}
}
