// Canonical text of an XML document for comparing what the module writes with hand-written
// expectations: elements and attributes named {namespace-uri}local-name (prefixes and where
// namespaces are declared do not matter; an unqualified element has an empty URI),
// attributes sorted, namespace declarations dropped, whitespace-only text between elements
// dropped, all other text kept byte for byte.
#ifndef CAVIX_TESTS_SERVICE_XMLCANON_H
#define CAVIX_TESTS_SERVICE_XMLCANON_H

#include <string>

// Throws std::runtime_error when xml is not well-formed (or uses an unbound prefix).
std::string CanonicalXml(const std::string& xml);

#endif
