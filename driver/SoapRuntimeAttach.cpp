// Part of the shared module when it carries the SOAP scan device: hands the module's own gSOAP
// callbacks and namespace table to libcavixsoapglue.so when the module is loaded.
#include <stdsoap2.h>

#include "driver/SoapRuntimeGlue.h"
#include "service/GsoapRuntimeExports.h"

namespace {

struct SoapRuntimeAttach {
  SoapRuntimeAttach() {
    static const CavixSoapCallbacks callbacks = {
        &soap_getfault,       &soap_putfault,      &soap_serializefault, &soap_getheader,    &soap_putheader,
        &soap_serializeheader, &soap_faultcode,    &soap_faultsubcode,   &soap_faultstring,  &soap_faultdetail,
        &soap_fault_subcode,  &soap_fault_string,  &soap_fault_detail,   &soap_markelement,  &soap_getelement,
        &soap_putelement,     &soap_dupelement,    &soap_delelement,     namespaces,
    };
    CavixAttachSoapCallbacks(&callbacks);
  }
};
SoapRuntimeAttach g_attach;

}  // namespace
