# Run by the build after soapcpp2 (cmake -P), on the generated serializers FILE (or, with
# -DCLIENT=1, on the generated client calls):
# 1. Enumerations read any decimal number as its code: soapcpp2 rejects numbers outside the
#    range of the enumeration's constants ("42" for a job state), the device may send them.
#    An empty literal fails like any other unlisted text, with the type code (4), not with
#    the library's "empty" code.
# 2. SOAP-encoded arrays take their count from SOAP-ENC:arrayType in SOAP 1.2 envelopes too
#    (see SoapArraySize.h).
# 3. (CLIENT) The client calls finish a response without the expected element in
#    ServiceFault::ReceiveFault instead of soap_recv_fault, and a response whose envelope
#    could not be read in ServiceFault::ReceiveFailed (see ServiceFault.h).
# 4. (STUB) The enumerations get the fixed base type int, so that every code read as a number
#    in (1) is a value of its type (without a fixed base, a code beyond the constants' range
#    is undefined behaviour).
# Each rewrite must match exactly the expected number of places, so that a different gSOAP
# release fails the build here instead of silently changing the wire behaviour.
file(READ ${FILE} code)

if(DEFINED STUB)
  string(REGEX MATCHALL "\nenum wscn__[A-Za-z]+ {" enums "${code}")
  list(LENGTH enums count)
  if(NOT count EQUAL 9)
    message(FATAL_ERROR "expected 9 enumeration definitions in ${FILE}, found ${count}")
  endif()
  string(REGEX REPLACE "\nenum (wscn__[A-Za-z]+) {" "\nenum \\1 : int {" code "${code}")
  file(WRITE ${FILE} "${code}")
  return()
endif()

if(DEFINED CLIENT)
  string(REGEX MATCHALL "return soap_recv_fault\\(soap, 0\\)" faults "${code}")
  list(LENGTH faults count)
  if(NOT count EQUAL 6)
    message(FATAL_ERROR "expected 6 fault receptions in ${FILE}, found ${count}")
  endif()
  string(REPLACE "return soap_recv_fault(soap, 0)" "return ServiceFault::ReceiveFault(soap)"
         code "${code}")
  set(begin "soap_body_begin_in(soap))\n\t\treturn soap_closesock(soap)")
  string(REGEX MATCHALL "soap_body_begin_in\\(soap\\)\\)\n\t\treturn soap_closesock\\(soap\\)"
         begins "${code}")
  list(LENGTH begins count)
  if(NOT count EQUAL 6)
    message(FATAL_ERROR "expected 6 envelope receptions in ${FILE}, found ${count}")
  endif()
  string(REPLACE "${begin}" "soap_body_begin_in(soap))\n\t\treturn ServiceFault::ReceiveFailed(soap)"
         code "${code}")
  file(WRITE ${FILE} "${code}")
  return()
endif()

string(REGEX MATCHALL "soap_s2int\\(soap, s, &n\\) \\|\\| n < -?[0-9]+ \\|\\| n > -?[0-9]+\\)"
       ranges "${code}")
list(LENGTH ranges count)
if(NOT count EQUAL 9)
  message(FATAL_ERROR "expected 9 enumeration range checks in ${FILE}, found ${count}")
endif()
string(REGEX REPLACE "soap_s2int\\(soap, s, &n\\) \\|\\| n < -?[0-9]+ \\|\\| n > -?[0-9]+\\)"
       "soap_s2int(soap, s, &n))" code "${code}")

string(REGEX MATCHALL "soap->error = SOAP_EMPTY" empties "${code}")
list(LENGTH empties count)
if(NOT count EQUAL 10)
  message(FATAL_ERROR "expected 10 empty-literal checks in ${FILE}, found ${count}")
endif()
string(REPLACE "soap->error = SOAP_EMPTY" "soap->error = SOAP_TYPE" code "${code}")

string(REGEX MATCHALL "if \\(\\*soap->arraySize\\)" sizes "${code}")
list(LENGTH sizes count)
if(NOT count EQUAL 4)
  message(FATAL_ERROR "expected 4 array size tests in ${FILE}, found ${count}")
endif()
string(REPLACE "if (*soap->arraySize)" "if (*SoapArraySize(soap))" code "${code}")

file(WRITE ${FILE} "${code}")
