// Count of the SOAP-encoded array whose start tag was just read, for the generated array
// readers (the build points them here instead of at soap->arraySize).
//
// gSOAP fills soap->arraySize from SOAP-ENC:arrayType only in SOAP 1.1 envelopes, and from
// SOAP-ENC:arraySize in SOAP 1.2 ones. The device sends SOAP-ENC:arrayType="wscn:X[n]" in
// either envelope, so when arraySize is empty this takes the "[n]" of an arrayType attribute
// of the current element, whatever prefix it carries, and stores it in soap->arraySize.
#ifndef CAVIX_SERVICE_SOAPARRAYSIZE_H
#define CAVIX_SERVICE_SOAPARRAYSIZE_H

struct soap;

// soap->arraySize after the completion above ("" when the array has no count).
const char* SoapArraySize(struct soap* soap);

#endif
