# Run by the build after soapcpp2 (cmake -P), on the generated serializers FILE:
# 1. Enumerations read any decimal number as its code: soapcpp2 rejects numbers outside the
#    range of the enumeration's constants ("42" for a job state), the device may send them.
#    An empty literal fails like any other unlisted text, with the type code (4), not with
#    the library's "empty" code.
# 2. SOAP-encoded arrays take their count from SOAP-ENC:arrayType in SOAP 1.2 envelopes too
#    (see SoapArraySize.h).
# Each rewrite must match exactly the expected number of places, so that a different gSOAP
# release fails the build here instead of silently changing the wire behaviour.
file(READ ${FILE} code)

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
