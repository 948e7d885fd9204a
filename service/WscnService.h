// The scan service's generated types and calls, for every layer that talks to the device.
//
// Client calls (each takes the calling thread's context, the endpoint, the SOAPAction, which
// the driver always passes as null, the request parts, and the response to fill; each returns
// the gSOAP status, see ServiceFault.h for the codes):
//   soap_call_wscn__CreateScanJobRequest(soap, endpoint, nullptr, scanIdentifier,
//       destinationToken, &ticket, &createResponse)
//   soap_call_wscn__RetrieveImageRequest(soap, endpoint, nullptr, jobId, jobToken,
//       &documentDescription, imageResponse)
//   soap_call_wscn__CancelJobRequest(soap, endpoint, nullptr, jobId, &cancelResponse)
//   soap_call_wscn__GetScannerElements(soap, endpoint, nullptr, &scanElements)
//   soap_call_wscn__GetJobInfo(soap, endpoint, nullptr, jobId, &jobSummary)
//   soap_call_wscn__GetPreviousImagePadInfo(soap, endpoint, nullptr, &padInfo)
// Each call writes a SOAP 1.2 document/literal request (no encodingStyle, no xsi:type, null
// strings left out, no SOAPAction) on a new connection, and reads the response leniently
// (SOAP 1.1 or 1.2; any child order; unknown or repeated elements skipped; missing ones left
// at their defaults; enumerations as literal or any decimal number). Results and the fault
// left in the context: ServiceFault.h. Response data lives in the context until soap_end.
//
// Contexts come from ServiceContext (namespace table, MSG_NOSIGNAL, chunked output where
// wanted); callbacks find their objects through SoapPointerMap. The page image of
// RetrieveImage streams through the context's fdimewriteopen/fdimewrite/fdimewriteclose
// hooks (which may be called with length 0); the response's __ptr is then the hooks' handle
// and __size 0.
//
// Enumeration constants are named after their type: wscn__ScanDocumentFormat__zkraw,
// wscn__JobStateType__Pending_Held ("Pending-Held"), ...; see service/wscn.h.
#ifndef CAVIX_SERVICE_WSCNSERVICE_H
#define CAVIX_SERVICE_WSCNSERVICE_H

#include "service/gen/wscnH.h"

#endif
