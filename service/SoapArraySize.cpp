#include "service/SoapArraySize.h"

#include <stdsoap2.h>

#include <cstring>

const char* SoapArraySize(struct soap* soap) {
  if (*soap->arraySize) return soap->arraySize;
  for (const struct soap_attribute* attribute = soap->attributes; attribute; attribute = attribute->next) {
    if (attribute->visible != 2 || !attribute->value) continue;
    const char* colon = std::strchr(attribute->name, ':');
    const char* local = colon ? colon + 1 : attribute->name;
    if (std::strcmp(local, "arrayType") != 0) continue;
    const char* bracket = std::strrchr(attribute->value, '[');
    if (bracket && std::strlen(bracket) < sizeof soap->arraySize)
      soap_strcpy(soap->arraySize, sizeof soap->arraySize, bracket);
    break;
  }
  return soap->arraySize;
}
