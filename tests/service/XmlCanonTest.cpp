// The canonical form the request tests compare by: equal for documents that differ only in
// prefixes, declarations, attribute order and layout; different for anything else.
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/service/XmlCanon.h"

namespace {

TEST(XmlCanonTest, IgnoresPrefixesDeclarationsAttributeOrderAndLayout) {
  EXPECT_EQ(CanonicalXml("<?xml version=\"1.0\"?><a:E xmlns:a=\"urn:x\" p=\"1\" q=\"2\">"
                         "<C>t &amp; u</C><!-- note --><D/></a:E>"),
            CanonicalXml("<E xmlns=\"urn:x\" xmlns:unused=\"urn:y\" q='2' p='1'>\n  "
                         "<C xmlns=\"\">t &#38; u</C>\n  <D xmlns=\"\"></D>\n</E>"));
}

TEST(XmlCanonTest, TellsApartNamespacesNamesValuesTextAndStructure) {
  const std::string base = CanonicalXml("<a:E xmlns:a=\"urn:x\" p=\"1\"><C>t</C></a:E>");
  EXPECT_NE(base, CanonicalXml("<a:E xmlns:a=\"urn:z\" p=\"1\"><C>t</C></a:E>"));
  EXPECT_NE(base, CanonicalXml("<a:E xmlns:a=\"urn:x\" p=\"2\"><C>t</C></a:E>"));
  EXPECT_NE(base, CanonicalXml("<a:E xmlns:a=\"urn:x\" p=\"1\"><C>T</C></a:E>"));
  EXPECT_NE(base, CanonicalXml("<a:E xmlns:a=\"urn:x\" p=\"1\"><a:C>t</a:C></a:E>"));
  EXPECT_NE(base, CanonicalXml("<a:E xmlns:a=\"urn:x\" p=\"1\"><c>t</c></a:E>"));
  EXPECT_NE(base, CanonicalXml("<a:E xmlns:a=\"urn:x\" p=\"1\"><C>t</C><C/></a:E>"));
  EXPECT_NE(base, CanonicalXml("<a:E xmlns:a=\"urn:x\"><C>t</C></a:E>"));
  EXPECT_NE(CanonicalXml("<E><C></C></E>"), CanonicalXml("<E></E>"));
}

TEST(XmlCanonTest, RejectsDocumentsThatAreNotWellFormed) {
  EXPECT_THROW(CanonicalXml("<E><C></E>"), std::runtime_error);
  EXPECT_THROW(CanonicalXml("<p:E/>"), std::runtime_error);
  EXPECT_THROW(CanonicalXml("<E a=1/>"), std::runtime_error);
  EXPECT_THROW(CanonicalXml(""), std::runtime_error);
  EXPECT_THROW(CanonicalXml("<E/><F/>"), std::runtime_error);
}

}  // namespace
