#include "service/ServiceFault.h"

#include <cstring>
#include <string>

#include "platform/NetworkText.h"
#include "service/WscnService.h"

namespace {

struct StatusEntry {
  int status;
  const char* name;
};

const StatusEntry kStatusNames[] = {
    {ServiceFault::kOk, "ok"},
    {ServiceFault::kSenderFault, "sender fault"},
    {ServiceFault::kReceiverFault, "receiver fault"},
    {ServiceFault::kTagMismatch, "unexpected response element"},
    {ServiceFault::kTypeMismatch, "value of the wrong type"},
    {ServiceFault::kNoElement, "empty response body"},
    {ServiceFault::kIndexOutOfBounds, "array index out of bounds"},
    {ServiceFault::kMustUnderstand, "must-understand fault"},
    {ServiceFault::kOtherFault, "fault"},
    {ServiceFault::kConnectFailed, "no connection"},
    {ServiceFault::kDimeHref, "attachment mismatch"},
    {ServiceFault::kVersionMismatch, "version-mismatch fault"},
    {ServiceFault::kConnectionBroken, "connection broken"},
};

static_assert(ServiceFault::kSenderFault == SOAP_CLI_FAULT, "gSOAP status");
static_assert(ServiceFault::kReceiverFault == SOAP_SVR_FAULT, "gSOAP status");
static_assert(ServiceFault::kTagMismatch == SOAP_TAG_MISMATCH, "gSOAP status");
static_assert(ServiceFault::kTypeMismatch == SOAP_TYPE, "gSOAP status");
static_assert(ServiceFault::kNoElement == SOAP_NO_TAG, "gSOAP status");
static_assert(ServiceFault::kIndexOutOfBounds == SOAP_IOB, "gSOAP status");
static_assert(ServiceFault::kMustUnderstand == SOAP_MUSTUNDERSTAND, "gSOAP status");
static_assert(ServiceFault::kOtherFault == SOAP_FAULT, "gSOAP status");
static_assert(ServiceFault::kConnectFailed == SOAP_TCP_ERROR, "gSOAP status");
static_assert(ServiceFault::kDimeHref == SOAP_DIME_HREF, "gSOAP status");
static_assert(ServiceFault::kVersionMismatch == SOAP_VERSIONMISMATCH, "gSOAP status");
static_assert(ServiceFault::kConnectionBroken == SOAP_EOF, "gSOAP status");

struct FaultCodeEntry {
  const char* code;  // as gSOAP stores a code under a prefix bound to the envelope namespace
  int status;
};

const FaultCodeEntry kFaultCodes[] = {
    {"SOAP-ENV:Client", ServiceFault::kSenderFault},
    {"SOAP-ENV:Sender", ServiceFault::kSenderFault},
    {"SOAP-ENV:Server", ServiceFault::kReceiverFault},
    {"SOAP-ENV:Receiver", ServiceFault::kReceiverFault},
    {"SOAP-ENV:MustUnderstand", ServiceFault::kMustUnderstand},
    {"SOAP-ENV:VersionMismatch", ServiceFault::kVersionMismatch},
};

int FaultStatus(const char* code) {
  if (code)
    for (const FaultCodeEntry& entry : kFaultCodes)
      if (std::strcmp(entry.code, code) == 0) return entry.status;
  return ServiceFault::kOtherFault;
}

// Replaces the context's fault with one made here for a response that held no fault.
void SetLocalFault(struct soap* soap, const char* reason) {
  soap->fault = nullptr;
  soap_fault(soap);
  if (!soap->fault) return;
  *soap_faultcode(soap) = soap->version == 2 ? "SOAP-ENV:Sender" : "SOAP-ENV:Client";
  *soap_faultstring(soap) = reason;
}

bool IsSoap12(const struct soap* soap, const SOAP_ENV__Fault* fault) {
  return soap->version == 2 && fault->SOAP_ENV__Code;
}

}  // namespace

const char* ServiceFault::StatusName(int status) {
  for (const StatusEntry& entry : kStatusNames)
    if (entry.status == status) return entry.name;
  return "other error";
}

bool ServiceFault::IsFault(int status) {
  return status == kSenderFault || status == kReceiverFault || status == kMustUnderstand ||
         status == kOtherFault || status == kVersionMismatch;
}

int ServiceFault::ReceiveFault(struct soap* soap) {
  const int error = soap->error;
  // Only a wrong or missing element directly in the body may be a fault; anything else
  // failed inside the expected element or on the connection.
  const bool atBody = error == SOAP_NO_TAG || (error == SOAP_TAG_MISMATCH && soap->level == 2);
  if (!atBody) return soap_closesock(soap);

  soap->error = SOAP_OK;
  soap->fault = nullptr;
  if (soap_getfault(soap) == SOAP_OK && soap->fault) {
    soap->error = FaultStatus(Code(soap));
    return soap_closesock(soap);
  }
  if (soap->error == SOAP_EOF) return soap_closesock(soap);
  SetLocalFault(soap, error == SOAP_NO_TAG ? "empty response body"
                                           : "unexpected response element");
  soap->error = error;
  return soap_closesock(soap);
}

int ServiceFault::ReceiveFailed(struct soap* soap) {
  if (soap->error >= 200 && soap->error <= 299) soap->error = SOAP_EOF;
  return soap_closesock(soap);
}

const char* ServiceFault::Code(struct soap* soap) {
  if (!soap || !soap->fault) return nullptr;
  const SOAP_ENV__Fault* fault = soap->fault;
  if (IsSoap12(soap, fault)) return fault->SOAP_ENV__Code->SOAP_ENV__Value;
  return fault->faultcode;
}

const char* ServiceFault::Subcode(struct soap* soap) {
  if (!soap || !soap->fault) return nullptr;
  const SOAP_ENV__Fault* fault = soap->fault;
  if (!IsSoap12(soap, fault) || !fault->SOAP_ENV__Code->SOAP_ENV__Subcode) return nullptr;
  return fault->SOAP_ENV__Code->SOAP_ENV__Subcode->SOAP_ENV__Value;
}

const char* ServiceFault::Reason(struct soap* soap) {
  if (!soap || !soap->fault) return nullptr;
  const SOAP_ENV__Fault* fault = soap->fault;
  if (soap->version == 2 && fault->SOAP_ENV__Reason) return fault->SOAP_ENV__Reason->SOAP_ENV__Text;
  return fault->faultstring;
}

const char* ServiceFault::Detail(struct soap* soap) {
  if (!soap || !soap->fault) return nullptr;
  const SOAP_ENV__Fault* fault = soap->fault;
  const SOAP_ENV__Detail* detail = soap->version == 2 ? fault->SOAP_ENV__Detail : fault->detail;
  if (!detail) detail = fault->SOAP_ENV__Detail ? fault->SOAP_ENV__Detail : fault->detail;
  return detail ? detail->__any : nullptr;
}

namespace {

// The clean form replaces the text when it differs (the library owns both).
void Clip(struct soap* soap, char*& text, size_t cap) {
  if (text == nullptr) return;
  const std::string clean = NetworkText::Clean(text, strnlen(text, cap * 4 + 4), cap);
  if (clean != text) text = soap_strdup(soap, clean.c_str());
}

}  // namespace

void ServiceFault::ClipTexts(struct soap* soap, size_t cap) {
  if (!soap || !soap->fault) return;
  SOAP_ENV__Fault* fault = soap->fault;
  for (char** text : {&fault->faultcode, &fault->faultstring, &fault->faultactor, &fault->SOAP_ENV__Node,
                      &fault->SOAP_ENV__Role})
    Clip(soap, *text, cap);
  for (SOAP_ENV__Detail* detail : {fault->detail, fault->SOAP_ENV__Detail})
    if (detail) Clip(soap, detail->__any, cap);
  if (fault->SOAP_ENV__Reason) Clip(soap, fault->SOAP_ENV__Reason->SOAP_ENV__Text, cap);
  // Subcodes nest; the library bounds the nesting, and so does this walk.
  SOAP_ENV__Code* code = fault->SOAP_ENV__Code;
  for (int level = 0; code != nullptr && level < 256; ++level, code = code->SOAP_ENV__Subcode)
    Clip(soap, code->SOAP_ENV__Value, cap);
}
