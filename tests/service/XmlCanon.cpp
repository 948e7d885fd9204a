#include "tests/service/XmlCanon.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

std::string Name(const xmlNs* ns, const xmlChar* local) {
  std::string name = "{";
  if (ns && ns->href) name += reinterpret_cast<const char*>(ns->href);
  name += "}";
  name += reinterpret_cast<const char*>(local);
  return name;
}

bool IsBlank(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

void Write(const xmlNode* node, std::string& out) {
  out += "<" + Name(node->ns, node->name);
  std::vector<std::string> attributes;
  for (const xmlAttr* attr = node->properties; attr; attr = attr->next) {
    xmlChar* value = xmlNodeListGetString(node->doc, attr->children, 1);
    std::string text = Name(attr->ns, attr->name) + "=\"" +
                       (value ? reinterpret_cast<const char*>(value) : "") + "\"";
    xmlFree(value);
    attributes.push_back(text);
  }
  std::sort(attributes.begin(), attributes.end());
  for (const std::string& attribute : attributes) out += " " + attribute;
  out += ">";
  for (const xmlNode* child = node->children; child; child = child->next) {
    if (child->type == XML_ELEMENT_NODE) {
      Write(child, out);
    } else if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
      std::string text = child->content ? reinterpret_cast<const char*>(child->content) : "";
      if (!IsBlank(text)) out += text;
    }
  }
  out += "</>";
}

}  // namespace

std::string CanonicalXml(const std::string& xml) {
  std::unique_ptr<xmlDoc, decltype(&xmlFreeDoc)> doc(
      xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "message.xml", nullptr,
                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
      &xmlFreeDoc);
  if (!doc) throw std::runtime_error("not well-formed XML: " + xml);
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (!root) throw std::runtime_error("XML without a root element: " + xml);
  std::string out;
  Write(root, out);
  return out;
}
