#include "platform/RegFileFormat.h"

#include <cstdio>

#include "platform/RegistryError.h"

// ---- UTF-8 / UTF-16LE ----

bool RegFileFormat::Utf16LeToUtf8(const std::vector<uint8_t>& bytes, std::string* text, bool stopAtNul) {
  if (bytes.size() % 2 != 0) return false;
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    uint32_t cp = bytes[i] | (bytes[i + 1] << 8);
    if (cp == 0 && stopAtNul) break;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 3 >= bytes.size()) return false;
      uint32_t lo = bytes[i + 2] | (bytes[i + 3] << 8);
      if (lo < 0xDC00 || lo > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
      i += 2;
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return false;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  *text = std::move(out);
  return true;
}

bool RegFileFormat::Utf8ToUtf16Le(const std::string& text, std::vector<uint8_t>* bytes) {
  std::vector<uint8_t> out;
  auto put = [&out](uint32_t unit) {
    out.push_back(static_cast<uint8_t>(unit & 0xFF));
    out.push_back(static_cast<uint8_t>(unit >> 8));
  };
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    uint32_t cp;
    size_t len;
    if (c < 0x80) {
      cp = c;
      len = 1;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      len = 2;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      len = 3;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      len = 4;
    } else {
      return false;
    }
    if (i + len > text.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
    i += len;
  }
  put(0);
  *bytes = std::move(out);
  return true;
}

// ---- reading ----

namespace {

class Parser {
 public:
  Parser(const std::string& fileName, RegistryRoot root, RegistryTree* tree)
      : fileName_(fileName), root_(root), tree_(tree) {}

  void Run(const std::string& text);

 private:
  [[noreturn]] void Fail(const std::string& reason) const {
    throw RegistryError(ERROR_REGISTRY_CORRUPT, fileName_ + ":" + std::to_string(lineNo_) + ": " + reason);
  }
  void Section(const std::string& line);
  void Value(const std::string& line, const std::vector<std::string>& lines, size_t* index);
  std::string Quoted(const std::string& line, size_t* pos) const;
  std::vector<uint8_t> HexBytes(std::string data, const std::vector<std::string>& lines, size_t* index);

  const std::string& fileName_;
  RegistryRoot root_;
  RegistryTree* tree_;
  RegistryTree::Node* key_ = nullptr;  // current section's key; null before one or after [-KEY]
  size_t lineNo_ = 0;
};

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWithNoCase(const std::string& s, size_t pos, const char* prefix) {
  for (size_t i = 0; prefix[i] != 0; ++i) {
    if (pos + i >= s.size()) return false;
    char c = s[pos + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != prefix[i]) return false;
  }
  return true;
}

void Parser::Run(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  lineNo_ = 1;
  if (Trim(lines[0]) != RegFileFormat::kHeader) {
    Fail(std::string("expected \"") + RegFileFormat::kHeader + "\"");
  }
  for (size_t i = 1; i < lines.size(); ++i) {
    lineNo_ = i + 1;
    std::string line = Trim(lines[i]);
    if (line.find('\0') != std::string::npos) Fail("NUL character in the text");
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      Section(line);
    } else if (line[0] == '"' || line[0] == '@') {
      Value(line, lines, &i);
    } else {
      Fail("unexpected text \"" + line.substr(0, 40) + "\"");
    }
  }
}

void Parser::Section(const std::string& line) {
  if (line.back() != ']') Fail("key line without closing ']'");
  std::string body = line.substr(1, line.size() - 2);
  bool remove = !body.empty() && body[0] == '-';
  if (remove) body.erase(0, 1);
  std::string rootName = RegistryRootName(root_);
  size_t sep = body.find('\\');
  std::string first = body.substr(0, sep);
  if (RegistryTree::CompareNames(first, rootName) != 0) Fail("key \"" + body + "\" is not under " + rootName);
  std::vector<std::string> path;
  std::string rest = sep == std::string::npos ? std::string() : body.substr(sep + 1);
  if (sep != std::string::npos && (rest.empty() || rest.front() == '\\' || rest.back() == '\\')) {
    Fail("empty key name in \"" + body + "\"");
  }
  if (!RegistryTree::SplitPath(rest, &path)) Fail("empty key name in \"" + body + "\"");
  if (remove) {
    if (path.empty()) Fail("cannot delete the root key");
    tree_->Remove(path);
    key_ = nullptr;
  } else {
    key_ = tree_->FindOrCreate(path);
  }
}

// A quoted string at line[*pos] == '"', with \\ and \" escapes; *pos moves past the closing quote.
std::string Parser::Quoted(const std::string& line, size_t* pos) const {
  std::string out;
  size_t i = *pos + 1;
  for (; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      *pos = i + 1;
      return out;
    }
    if (c == '\\') {
      if (i + 1 >= line.size()) break;
      char n = line[++i];
      if (n != '\\' && n != '"') Fail(std::string("unknown escape \\") + n + " in string");
      out += n;
    } else {
      out += c;
    }
  }
  Fail("string without closing quote");
}

std::vector<uint8_t> Parser::HexBytes(std::string data, const std::vector<std::string>& lines, size_t* index) {
  // Continuation: a line ending in '\' goes on with the next line.
  while (!data.empty() && data.back() == '\\') {
    data.pop_back();
    if (*index + 1 >= lines.size()) Fail("hex data continued past the end of the file");
    ++*index;
    lineNo_ = *index + 1;
    data += Trim(lines[*index]);
  }
  std::vector<uint8_t> bytes;
  data = Trim(data);
  if (data.empty()) return bytes;
  size_t pos = 0;
  while (true) {
    size_t comma = data.find(',', pos);
    std::string item = Trim(data.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    if (item.empty() || item.size() > 2) Fail("bad byte \"" + item + "\" in hex data");
    int v = 0;
    for (char c : item) {
      int d = HexValue(c);
      if (d < 0) Fail("bad byte \"" + item + "\" in hex data");
      v = v * 16 + d;
    }
    bytes.push_back(static_cast<uint8_t>(v));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  return bytes;
}

void Parser::Value(const std::string& line, const std::vector<std::string>& lines, size_t* index) {
  if (key_ == nullptr) Fail("value outside a key");
  std::string name;
  size_t pos = 0;
  if (line[0] == '@') {
    pos = 1;
  } else {
    name = Quoted(line, &pos);
  }
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  if (pos >= line.size() || line[pos] != '=') Fail("expected '=' after the value name");
  ++pos;
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  std::string data = line.substr(pos);

  if (data == "-") {
    key_->RemoveValue(name);
    return;
  }
  if (!data.empty() && data[0] == '"') {
    size_t end = 0;
    std::string text = Quoted(data, &end);
    if (!Trim(data.substr(end)).empty()) Fail("text after the closing quote");
    key_->SetValue(name, REG_SZ, std::vector<uint8_t>(text.begin(), text.end()));
    return;
  }
  if (StartsWithNoCase(data, 0, "dword:")) {
    std::string digits = Trim(data.substr(6));
    if (digits.empty() || digits.size() > 8) Fail("bad dword \"" + digits + "\"");
    uint32_t v = 0;
    for (char c : digits) {
      int d = HexValue(c);
      if (d < 0) Fail("bad dword \"" + digits + "\"");
      v = (v << 4) | static_cast<uint32_t>(d);
    }
    key_->SetValue(name, REG_DWORD,
                   {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                    static_cast<uint8_t>(v >> 24)});
    return;
  }
  if (StartsWithNoCase(data, 0, "hex")) {
    DWORD type = REG_BINARY;
    size_t p = 3;
    if (p < data.size() && data[p] == '(') {
      size_t close = data.find(')', p);
      if (close == std::string::npos || close == p + 1 || close > p + 9) Fail("bad hex type");
      uint32_t t = 0;
      for (size_t k = p + 1; k < close; ++k) {
        int d = HexValue(data[k]);
        if (d < 0) Fail("bad hex type");
        t = (t << 4) | static_cast<uint32_t>(d);
      }
      type = t;
      p = close + 1;
    }
    if (p >= data.size() || data[p] != ':') Fail("expected ':' after hex");
    int startLine = static_cast<int>(lineNo_);
    std::vector<uint8_t> bytes = HexBytes(data.substr(p + 1), lines, index);
    if (type == REG_SZ) {
      // A string written as UTF-16LE bytes: keep it as text.
      // Only the terminating NUL goes; NULs inside the text are kept.
      std::string text;
      if (!RegFileFormat::Utf16LeToUtf8(bytes, &text, false)) {
        lineNo_ = static_cast<size_t>(startLine);
        Fail("hex(1) data is not UTF-16LE text");
      }
      if (!text.empty() && text.back() == '\0') text.pop_back();
      bytes.assign(text.begin(), text.end());
    }
    key_->SetValue(name, type, std::move(bytes));
    return;
  }
  Fail("unrecognised value data \"" + data.substr(0, 40) + "\"");
}

// Text of the file as UTF-8 without BOM; UTF-16LE files (with BOM) are converted.
std::string Decode(const std::string& raw, const std::string& fileName) {
  if (raw.size() >= 2 && static_cast<uint8_t>(raw[0]) == 0xFF && static_cast<uint8_t>(raw[1]) == 0xFE) {
    std::vector<uint8_t> units(raw.begin() + 2, raw.end());
    // NULs are kept here so that the line check names the line that holds one.
    std::string text;
    if (!RegFileFormat::Utf16LeToUtf8(units, &text, false)) {
      throw RegistryError(ERROR_REGISTRY_CORRUPT, fileName + ":1: file is not valid UTF-16LE");
    }
    return text;
  }
  if (raw.size() >= 3 && static_cast<uint8_t>(raw[0]) == 0xEF && static_cast<uint8_t>(raw[1]) == 0xBB &&
      static_cast<uint8_t>(raw[2]) == 0xBF) {
    return raw.substr(3);
  }
  return raw;
}

}  // namespace

void RegFileFormat::Parse(const std::string& text, const std::string& fileName, RegistryRoot root,
                          RegistryTree* tree) {
  if (text.empty()) return;
  std::string decoded = Decode(text, fileName);
  Parser parser(fileName, root, tree);
  parser.Run(decoded);
}

// ---- writing ----

namespace {

std::string Escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// Characters that cannot stand inside a quoted string of one line (a tab can).
bool HasControlCharacters(const std::vector<uint8_t>& data) {
  for (uint8_t b : data) {
    if ((b < 0x20 && b != '\t') || b == 0x7F) return true;
  }
  return false;
}

// "hex(...):xx,xx,..." wrapped like the registry editor: no line longer than 80 characters,
// continued with ",\" and two spaces.
void AppendHex(std::string* out, size_t lineStart, const std::string& prefix, const std::vector<uint8_t>& bytes) {
  *out += prefix;
  size_t lineLen = out->size() - lineStart;
  for (size_t i = 0; i < bytes.size(); ++i) {
    bool last = i + 1 == bytes.size();
    if (lineLen + (last ? 2 : 3) > 79 && i > 0) {
      *out += "\\\n  ";
      lineLen = 2;
    }
    char buf[4];
    std::snprintf(buf, sizeof buf, last ? "%02x" : "%02x,", bytes[i]);
    *out += buf;
    lineLen += last ? 2 : 3;
  }
}

void WriteKey(std::string* out, const RegistryTree::Node& node, const std::string& fullName, bool isRoot) {
  if (!isRoot || !node.Values().empty()) {
    *out += "[" + fullName + "]\n";
    for (const RegistryValue& v : node.Values()) {
      size_t lineStart = out->size();
      *out += v.name.empty() ? std::string("@") : "\"" + Escaped(v.name) + "\"";
      *out += "=";
      if (v.type == REG_SZ && !HasControlCharacters(v.data)) {
        *out += "\"" + Escaped(std::string(v.data.begin(), v.data.end())) + "\"";
      } else if (v.type == REG_SZ) {
        std::vector<uint8_t> utf16;
        if (!RegFileFormat::Utf8ToUtf16Le(std::string(v.data.begin(), v.data.end()), &utf16)) {
          // Not UTF-8: keep the bytes, widened one by one, rather than lose them.
          utf16.clear();
          for (uint8_t b : v.data) {
            utf16.push_back(b);
            utf16.push_back(0);
          }
          utf16.push_back(0);
          utf16.push_back(0);
        }
        AppendHex(out, lineStart, "hex(1):", utf16);
      } else if (v.type == REG_DWORD && v.data.size() == 4) {
        char buf[16];
        uint32_t d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<uint32_t>(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        *out += buf;
      } else if (v.type == REG_BINARY) {
        AppendHex(out, lineStart, "hex:", v.data);
      } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        AppendHex(out, lineStart, buf, v.data);
      }
      *out += "\n";
    }
    *out += "\n";
  }
  for (const auto& child : node.Children()) WriteKey(out, *child, fullName + "\\" + child->Name(), false);
}

}  // namespace

std::string RegFileFormat::Format(const RegistryTree& tree, RegistryRoot root) {
  std::string out = std::string(kHeader) + "\n\n";
  WriteKey(&out, tree.Root(), RegistryRootName(root), true);
  return out;
}
