#include "sim/XmlMangler.h"

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

namespace cavixsim {

namespace {

const char* const kEnv12 = "http://www.w3.org/2003/05/soap-envelope";
const char* const kEnc12 = "http://www.w3.org/2003/05/soap-encoding";
const char* const kEnv11 = "http://schemas.xmlsoap.org/soap/envelope/";
const char* const kEnc11 = "http://schemas.xmlsoap.org/soap/encoding/";

using Table = std::map<std::string, int>;

const Table kFormats = {{"jfif", 0}, {"zkraw", 1}, {"mmr", 2}, {"png", 3}};
const Table kSources = {{"ADF", 0}, {"ADFDuplex", 1}, {"Platen", 2}, {"S2", 3}};
const Table kContents = {{"Auto", 0}, {"Document", 1}, {"Photo", 2}, {"Object3D", 3}};
const Table kColors = {{"BlackandWhite1", 0}, {"GrayScale8", 1}, {"RGB24", 2}, {"RGB48", 3}};
const Table kRemoval = {
    {"removeNone", 0}, {"removeAll", 1}, {"remove10to8", 2}, {"remove3x3", 3},
    {"captureLeftAmb", 10}, {"captureLeftFlash", 11}, {"captureRightAmb", 12},
    {"captureRightFlash", 13}, {"captureCenterAmb", 14}, {"captureCenterFlash", 15},
    {"captureLeftLamp", 16}, {"captureRightLamp", 17}, {"captureCenterLamp", 18},
    {"captureLeftUniform", 19}, {"captureRightUniform", 20}, {"captureCenterUniform", 21},
    {"captureMerged", 22}, {"captureDemosaiced", 23}, {"captureDistortionCorrect", 24},
    {"captureAfterLUT", 25}, {"captureFinalSendToBIP", 26}};
const Table kJobStates = {{"Aborted", 0}, {"Canceled", 1}, {"Completed", 2}, {"Creating", 3},
                          {"Pending", 4}, {"Pending-Held", 5}, {"Processing", 6},
                          {"Started", 7}, {"Terminating", 8}, {"Unknown", 9}};
const Table kJobReasons = {
    {"InvalidScanTicket", 0}, {"DocumentFormatError", 1}, {"ImageTransferError", 2},
    {"JobCanceledAtDevice", 3}, {"JobCompletedSuccessfully", 4}, {"JobScanning", 5},
    {"JobScanningAndTransferring", 6}, {"JobTimedOut", 7}, {"JobTransferring", 8},
    {"None", 9}, {"ScannerStopped", 10}, {"MediaMispick", 11}, {"MediaJam", 12},
    {"CoverOpen", 13}, {"InternalStorageFull", 14}};
const Table kScannerStates = {{"Idle", 0}, {"Processing", 1}, {"Stopped", 2}};
const Table kScannerReasons = {
    {"AttentionRequired", 0}, {"Calibrating", 1}, {"CoverOpen", 2}, {"InputTrayEmpty", 3},
    {"InternalStorageFull", 4}, {"LampError", 5}, {"LampWarming", 6}, {"MediaJam", 7},
    {"Busy", 8}, {"None", 9}, {"MediaMispick", 10}};

// Element name (local) -> the enumeration its content (or its items' content) holds.
const std::map<std::string, const Table*> kEnumElements = {
    {"Format", &kFormats},           {"FormatSupported", &kFormats},
    {"InputSource", &kSources},      {"ContentType", &kContents},
    {"ContentSupported", &kContents}, {"ColorProcessing", &kColors},
    {"ColorSupported", &kColors},    {"ImageProcessingRemoval", &kRemoval},
    {"JobState", &kJobStates},       {"JobStateReasons", &kJobReasons},
    {"ScannerState", &kScannerStates}, {"ScannerStateReason", &kScannerReasons}};

std::string LocalName(const std::string& qname) {
  size_t colon = qname.find(':');
  return colon == std::string::npos ? qname : qname.substr(colon + 1);
}

struct Node {
  std::string name;
  std::string attrs;  // raw attribute text, leading blank included
  std::string text;   // character content of a leaf
  std::vector<std::unique_ptr<Node>> children;
  bool empty = false;  // written as <name/>
};

class Parser {
 public:
  explicit Parser(const std::string& s) : s_(s) {}
  std::unique_ptr<Node> Element() {
    SkipBlanks();
    if (pos_ >= s_.size() || s_[pos_] != '<') return nullptr;
    size_t end = s_.find('>', pos_);
    if (end == std::string::npos) return nullptr;
    std::string tag = s_.substr(pos_ + 1, end - pos_ - 1);
    pos_ = end + 1;
    auto node = std::make_unique<Node>();
    if (!tag.empty() && tag.back() == '/') {
      node->empty = true;
      tag.pop_back();
    }
    size_t sp = tag.find_first_of(" \t\r\n");
    node->name = tag.substr(0, sp);
    if (sp != std::string::npos) node->attrs = tag.substr(sp);
    while (!node->attrs.empty() && (node->attrs.back() == ' ')) node->attrs.pop_back();
    if (node->empty) return node;
    for (;;) {
      size_t lt = s_.find('<', pos_);
      if (lt == std::string::npos) return nullptr;
      if (s_.compare(lt, 2, "</") == 0) {
        if (node->children.empty()) node->text = s_.substr(pos_, lt - pos_);
        size_t close = s_.find('>', lt);
        if (close == std::string::npos) return nullptr;
        if (s_.substr(lt + 2, close - lt - 2) != node->name) return nullptr;
        pos_ = close + 1;
        return node;
      }
      pos_ = lt;
      auto child = Element();
      if (!child) return nullptr;
      node->children.push_back(std::move(child));
    }
  }
  size_t pos() const { return pos_; }
  void SkipBlanks() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t'))
      ++pos_;
  }

 private:
  const std::string& s_;
  size_t pos_ = 0;
};

void Write(const Node& n, std::string& out) {
  out += "<" + n.name + n.attrs;
  if (n.empty) {
    out += "/>";
    return;
  }
  out += ">";
  if (n.children.empty()) out += n.text;
  for (const auto& c : n.children) Write(*c, out);
  out += "</" + n.name + ">";
}

bool IsArray(const Node& n) {
  return n.attrs.find("arrayType") != std::string::npos || n.attrs.find("arraySize") != std::string::npos;
}

void ToNumbers(Node& n, const Table* inherited) {
  const std::string local = LocalName(n.name);
  auto it = kEnumElements.find(local);
  const Table* table = it != kEnumElements.end() ? it->second : nullptr;
  if (n.children.empty()) {
    const Table* t = table ? table : (local == "item" ? inherited : nullptr);
    if (t) {
      auto lit = t->find(n.text);
      if (lit != t->end()) n.text = std::to_string(lit->second);
    } else if (n.text == "true") {
      n.text = "1";
    } else if (n.text == "false") {
      n.text = "0";
    }
    return;
  }
  for (auto& c : n.children) ToNumbers(*c, table);
}

void Reorder(Node& n) {
  if (!IsArray(n)) std::reverse(n.children.begin(), n.children.end());
  for (auto& c : n.children) Reorder(*c);
}

void AddExtras(Node& n) {
  if (n.children.empty() || IsArray(n)) return;
  for (auto& c : n.children) AddExtras(*c);
  auto extra = std::make_unique<Node>();
  extra->name = "VendorExtension";
  auto inner = std::make_unique<Node>();
  inner->name = "Revision";
  inner->text = "7";
  extra->children.push_back(std::move(inner));
  n.children.insert(n.children.begin(), std::move(extra));
}

// Rewrites SOAP-ENC:itemType="T" SOAP-ENC:arraySize="n" into SOAP-ENC:arrayType="T[n]".
void ArrayTypeForm(Node& n) {
  const std::string itemKey = "SOAP-ENC:itemType=\"", sizeKey = "SOAP-ENC:arraySize=\"";
  size_t item = n.attrs.find(itemKey), size = n.attrs.find(sizeKey);
  if (item != std::string::npos && size != std::string::npos) {
    size_t itemEnd = n.attrs.find('"', item + itemKey.size());
    size_t sizeEnd = n.attrs.find('"', size + sizeKey.size());
    if (itemEnd != std::string::npos && sizeEnd != std::string::npos) {
      const std::string type = n.attrs.substr(item + itemKey.size(), itemEnd - item - itemKey.size());
      const std::string count = n.attrs.substr(size + sizeKey.size(), sizeEnd - size - sizeKey.size());
      n.attrs = " SOAP-ENC:arrayType=\"" + type + "[" + count + "]\"";
    }
  }
  for (auto& c : n.children) ArrayTypeForm(*c);
}

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
}

}  // namespace

int XmlMangler::EnumCode(const std::string& element, const std::string& literal) {
  auto it = kEnumElements.find(LocalName(element));
  if (it == kEnumElements.end()) return -1;
  auto lit = it->second->find(literal);
  return lit == it->second->end() ? -1 : lit->second;
}

std::string XmlMangler::Apply(const std::string& document, const Options& o) {
  std::string doc = document;
  if (o.soap11) {
    ReplaceAll(doc, kEnv12, kEnv11);
    ReplaceAll(doc, kEnc12, kEnc11);
  }
  if (!o.reorder && !o.extraElements && !o.enumNumbers && !o.arrayTypeForm) return doc;
  // Keep the XML declaration as it stands; rewrite the envelope below it.
  size_t start = 0;
  if (doc.compare(0, 5, "<?xml") == 0) {
    start = doc.find("?>");
    if (start == std::string::npos) return document;
    start += 2;
  }
  std::string rest = doc.substr(start);
  Parser parser(rest);
  std::unique_ptr<Node> envelope = parser.Element();
  if (!envelope) return document;
  Node* body = nullptr;
  for (auto& c : envelope->children)
    if (LocalName(c->name) == "Body") body = c.get();
  if (!body) return document;
  for (auto& top : body->children) {
    if (LocalName(top->name) == "Fault") continue;
    if (o.arrayTypeForm) ArrayTypeForm(*top);
    if (o.enumNumbers) ToNumbers(*top, nullptr);
    if (o.reorder) Reorder(*top);
    if (o.extraElements) AddExtras(*top);
  }
  std::string out = doc.substr(0, start);
  if (start) out += "\n";
  Write(*envelope, out);
  out += "\n";
  return out;
}

}  // namespace cavixsim
