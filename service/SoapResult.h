// The one place where a failure from the layers below becomes a SOAP runtime result: the
// hooks the SOAP runtime calls (DIME reception, the USB transport's send and receive) answer
// with these codes, nothing else does.
// Threads: any; no state.
#ifndef CAVIX_SERVICE_SOAPRESULT_H
#define CAVIX_SERVICE_SOAPRESULT_H

#include <cstddef>

#include "platform/ScanError.h"

// None -> SOAP_OK; EndOfData -> SOAP_EOF; Failed -> SOAP_FATAL_ERROR; Declined -> the
// chunk's length (any non-zero result stops the runtime's reception; a chunk of more than
// INT_MAX bytes gives INT_MAX, an empty one SOAP_OK).
int SoapResultOf(const ScanError& error, size_t chunkLength = 0);

#endif
