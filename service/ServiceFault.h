// Results of the scan service calls: the status codes the scan device tells apart, and the
// fault left in a context after a call.
//
// A fault's code, subcode, reason and detail stay in the context until its next call (or
// soap_end). They are read the same way whichever envelope version the device answered in:
// SOAP 1.2 Code/Value, Code/Subcode/Value, Reason/Text, Detail; SOAP 1.1 faultcode,
// faultstring, detail (SOAP 1.1 has no subcode). Fault codes are QNames: a prefix that the
// response binds to the envelope namespace reads as "SOAP-ENV:...", one bound to the scan
// service's namespace as "wscn:...", whatever prefix the device chose.
//
// Threads: the thread that owns the context.
#ifndef CAVIX_SERVICE_SERVICEFAULT_H
#define CAVIX_SERVICE_SERVICEFAULT_H

#include <cstddef>

struct soap;

class ServiceFault {
 public:
  // Status of a call (the gSOAP status code).
  enum Status : int {
    kOk = 0,                 // the expected response element was read
    kSenderFault = 1,        // fault SOAP-ENV:Sender / SOAP-ENV:Client
    kReceiverFault = 2,      // fault SOAP-ENV:Receiver / SOAP-ENV:Server
    kTagMismatch = 3,        // another element than the expected response, no fault
    kTypeMismatch = 4,       // a value that fits no enumeration and is no number
    kNoElement = 6,          // an empty body
    kIndexOutOfBounds = 7,   // an array member placed outside the array's count
    kMustUnderstand = 8,     // fault SOAP-ENV:MustUnderstand
    kOtherFault = 12,        // fault with any other code
    kConnectFailed = 28,     // name resolution, socket, connect or its time-out
    kDimeHref = 33,      // an attachment reference that matches no DIME record
    kVersionMismatch = 39,   // fault SOAP-ENV:VersionMismatch
    kConnectionBroken = -1,  // the connection ended or timed out while sending or receiving
  };

  // A short English name of a status for log lines ("sender fault", ...); "other error" for
  // codes not listed above.
  static const char* StatusName(int status);
  // True for the statuses that come from a SOAP fault in the response (1, 2, 8, 12, 39).
  static bool IsFault(int status);

  // Finishes a client call whose expected response element did not read (the generated
  // calls end here instead of in soap_recv_fault). Returns and leaves in soap->error:
  // - a fault in the body: 1, 2, 8, 39 or 12 from its code, whatever prefix the device bound
  //   to the envelope namespace (gSOAP 2.8.124 only recognises the codes under prefixes that
  //   the response itself binds as "SOAP-ENV");
  // - another element: 3, an empty body: 6, each with a local fault made in the context
  //   (code "SOAP-ENV:Sender" in SOAP 1.2, "SOAP-ENV:Client" in 1.1, no subcode) where gSOAP
  //   would report the HTTP status (200) or success;
  // - a failure inside the expected element or of the connection: that status unchanged.
  // The connection is closed in every case.
  static int ReceiveFault(struct soap* soap);

  // Finishes a client call whose response ended before the envelope and body began. gSOAP
  // reports the HTTP status then; a success status (2xx) becomes kConnectionBroken (-1),
  // since the response ended without an envelope, while an HTTP error status (404, 500 ...)
  // stays as it is. The connection is closed.
  static int ReceiveFailed(struct soap* soap);

  // The fault of the last call, or null when the context holds none (or soap is null).
  // After a tag mismatch or another local failure the context holds the fault that the
  // library makes for it (code "SOAP-ENV:Sender" in SOAP 1.2, "SOAP-ENV:Client" in 1.1).
  static const char* Code(struct soap* soap);
  static const char* Subcode(struct soap* soap);
  static const char* Reason(struct soap* soap);
  static const char* Detail(struct soap* soap);

  // Cuts every text the context's fault holds (codes and subcodes, reason, node, role, actor,
  // detail) to at most `cap` characters and replaces its control characters and bytes that are
  // not UTF-8 (NetworkText::Clean), so that a fault text logged or printed cannot drive a
  // terminal or forge a log line. The library caps a text's length as it reads it, but
  // not on every path: a fault read at the end of a response cut short kept 4 135 characters
  // under a cap of 4 096. No-op without a fault.
  static void ClipTexts(struct soap* soap, size_t cap);
};

#endif
