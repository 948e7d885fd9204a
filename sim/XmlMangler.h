// Rewrites a response envelope the way some devices write theirs: the body's elements in
// reverse order, extra elements the schema does not have, enumerations and booleans as decimal
// numbers, or a SOAP 1.1 envelope instead of SOAP 1.2. Works on the text of a well-formed
// document without comments or CDATA (what the SOAP library writes). Stateless; any thread.
#ifndef CAVIX_SIM_XMLMANGLER_H
#define CAVIX_SIM_XMLMANGLER_H

#include <string>

namespace cavixsim {

class XmlMangler {
 public:
  struct Options {
    bool reorder = false;
    bool extraElements = false;
    bool enumNumbers = false;
    bool soap11 = false;
    // Arrays as SOAP-ENC:arrayType="T[n]" (the SOAP 1.1 encoding form that devices write)
    // instead of SOAP-ENC:itemType="T" SOAP-ENC:arraySize="n".
    bool arrayTypeForm = false;
  };

  // Returns the rewritten document, or the input unchanged when it cannot be parsed.
  static std::string Apply(const std::string& document, const Options& options);
  // The decimal code of an enumeration literal written in element `element` (or in an item of
  // array `element`), or -1 when the element holds no enumeration or the literal is unknown.
  static int EnumCode(const std::string& element, const std::string& literal);
};

}  // namespace cavixsim

#endif
