#include "tests/service/XmlCanon.h"

#include <algorithm>
#include <map>
#include <stdexcept>
#include <vector>

// A small namespace-aware reader, enough for SOAP messages: declaration, comments,
// elements, attributes, character and entity references, CDATA. It is written here rather
// than taken from a library so that it shares nothing with the code under test.
namespace {

class Canonicaliser {
 public:
  explicit Canonicaliser(const std::string& xml) : xml_(xml) {}

  std::string Run() {
    SkipProlog();
    if (!Peek("<")) Fail("no root element");
    std::string out;
    Element({}, out);
    SkipMisc();
    if (pos_ != xml_.size()) Fail("content after the root element");
    return out;
  }

 private:
  using Bindings = std::map<std::string, std::string>;

  [[noreturn]] void Fail(const std::string& why) const {
    throw std::runtime_error("not well-formed XML (" + why + ") at byte " +
                             std::to_string(pos_) + ": " + xml_);
  }
  bool Peek(const char* text) const { return xml_.compare(pos_, std::char_traits<char>::length(text), text) == 0; }
  void Expect(const char* text) {
    if (!Peek(text)) Fail(std::string("expected ") + text);
    pos_ += std::char_traits<char>::length(text);
  }
  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  void SkipSpace() {
    while (pos_ < xml_.size() && IsSpace(xml_[pos_])) ++pos_;
  }
  void SkipUntil(const char* end) {
    size_t at = xml_.find(end, pos_);
    if (at == std::string::npos) Fail(std::string("missing ") + end);
    pos_ = at + std::char_traits<char>::length(end);
  }
  void SkipMisc() {
    for (;;) {
      SkipSpace();
      if (Peek("<?")) SkipUntil("?>");
      else if (Peek("<!--")) SkipUntil("-->");
      else return;
    }
  }
  void SkipProlog() { SkipMisc(); }

  std::string Name() {
    size_t start = pos_;
    while (pos_ < xml_.size() && !IsSpace(xml_[pos_]) && xml_[pos_] != '>' && xml_[pos_] != '/' &&
           xml_[pos_] != '=')
      ++pos_;
    if (start == pos_) Fail("empty name");
    return xml_.substr(start, pos_ - start);
  }

  std::string Decode(const std::string& raw) const {
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '&') {
        out += raw[i];
        continue;
      }
      size_t end = raw.find(';', i);
      if (end == std::string::npos) Fail("unterminated reference");
      std::string ref = raw.substr(i + 1, end - i - 1);
      if (ref == "lt") out += '<';
      else if (ref == "gt") out += '>';
      else if (ref == "amp") out += '&';
      else if (ref == "quot") out += '"';
      else if (ref == "apos") out += '\'';
      else if (ref.size() > 1 && ref[0] == '#') {
        unsigned long code = ref[1] == 'x' ? std::stoul(ref.substr(2), nullptr, 16)
                                           : std::stoul(ref.substr(1), nullptr, 10);
        if (code > 0x7f) Fail("non-ASCII character reference");
        out += static_cast<char>(code);
      } else {
        Fail("unknown entity " + ref);
      }
      i = end;
    }
    return out;
  }

  static std::string Qualified(const std::string& name, const Bindings& bindings, bool isAttribute,
                               const Canonicaliser& self) {
    size_t colon = name.find(':');
    std::string prefix = colon == std::string::npos ? "" : name.substr(0, colon);
    std::string local = colon == std::string::npos ? name : name.substr(colon + 1);
    std::string uri;
    if (!prefix.empty() || !isAttribute) {
      auto it = bindings.find(prefix);
      if (it != bindings.end()) uri = it->second;
      else if (!prefix.empty()) self.Fail("unbound prefix " + prefix);
    }
    return "{" + uri + "}" + local;
  }

  void Element(Bindings bindings, std::string& out) {
    Expect("<");
    std::string name = Name();
    std::vector<std::pair<std::string, std::string>> rawAttributes;
    for (;;) {
      SkipSpace();
      if (Peek("/>") || Peek(">")) break;
      std::string attribute = Name();
      SkipSpace();
      Expect("=");
      SkipSpace();
      char quote = pos_ < xml_.size() ? xml_[pos_] : '\0';
      if (quote != '"' && quote != '\'') Fail("unquoted attribute");
      size_t end = xml_.find(quote, pos_ + 1);
      if (end == std::string::npos) Fail("unterminated attribute");
      std::string value = Decode(xml_.substr(pos_ + 1, end - pos_ - 1));
      pos_ = end + 1;
      if (attribute == "xmlns")
        bindings[""] = value;
      else if (attribute.rfind("xmlns:", 0) == 0)
        bindings[attribute.substr(6)] = value;
      else
        rawAttributes.emplace_back(attribute, value);
    }
    std::vector<std::string> attributes;
    for (const auto& attribute : rawAttributes)
      attributes.push_back(Qualified(attribute.first, bindings, true, *this) + "=\"" +
                           attribute.second + "\"");
    std::sort(attributes.begin(), attributes.end());
    out += "<" + Qualified(name, bindings, false, *this);
    for (const std::string& attribute : attributes) out += " " + attribute;
    out += ">";
    if (Peek("/>")) {
      pos_ += 2;
      out += "</>";
      return;
    }
    Expect(">");
    std::string text;
    auto flushText = [&] {
      if (!std::all_of(text.begin(), text.end(), IsSpace)) out += text;
      text.clear();
    };
    for (;;) {
      if (pos_ >= xml_.size()) Fail("unterminated element " + name);
      if (Peek("</")) {
        flushText();
        pos_ += 2;
        if (Name() != name) Fail("mismatched end tag of " + name);
        SkipSpace();
        Expect(">");
        out += "</>";
        return;
      }
      if (Peek("<!--")) {
        SkipUntil("-->");
      } else if (Peek("<![CDATA[")) {
        pos_ += 9;
        size_t end = xml_.find("]]>", pos_);
        if (end == std::string::npos) Fail("unterminated CDATA");
        text += xml_.substr(pos_, end - pos_);
        pos_ = end + 3;
      } else if (Peek("<")) {
        flushText();
        Element(bindings, out);
      } else {
        size_t end = xml_.find('<', pos_);
        if (end == std::string::npos) end = xml_.size();
        text += Decode(xml_.substr(pos_, end - pos_));
        pos_ = end;
      }
    }
  }

  const std::string& xml_;
  size_t pos_ = 0;
};

}  // namespace

std::string CanonicalXml(const std::string& xml) { return Canonicaliser(xml).Run(); }
