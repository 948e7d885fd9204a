// The repeat of a SOAP exchange after a TCP failure: runs the routine; when it ends with the
// library's TCP error (SOAP_TCP_ERROR, 28) and the protocol finds the device again, runs it
// once more and gives that status; when the device is not found again, gives 28. The routine
// must take the endpoint from protocol->GetEndpoint() each time it runs, so that the repeat
// goes to the rediscovered address.
// Threads: the thread that owns the protocol's context.
#ifndef CAVIX_TRANSPORT_RPCRETRY_H
#define CAVIX_TRANSPORT_RPCRETRY_H

#include "transport/ISoapIoProtocol.h"

class RpcRetry {
 public:
  static constexpr int kTcpError = 28;  // SOAP_TCP_ERROR

  template <class Routine>
  static int Call(ISoapIoProtocol* protocol, Routine&& routine) {
    const int status = routine();
    if (status != kTcpError || !protocol) return status;
    if (!protocol->RediscoverDevice()) return kTcpError;
    return routine();
  }
};

#endif
