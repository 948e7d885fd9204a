// The .reg text format: reading hand-written and Windows-exported files, writing the expected
// text, and refusing malformed files with the file and line.
#include <gtest/gtest.h>

#include "platform/RegFileFormat.h"
#include "platform/RegistryError.h"

namespace {

const char* kFile = "test.reg";

RegistryTree ParseText(const std::string& text, RegistryRoot root = RegistryRoot::LocalMachine) {
  RegistryTree tree;
  RegFileFormat::Parse(text, kFile, root, &tree);
  return tree;
}

const RegistryTree::Node* Key(const RegistryTree& tree, const std::string& path) {
  std::vector<std::string> parts;
  EXPECT_TRUE(RegistryTree::SplitPath(path, &parts));
  return tree.Find(parts);
}

std::string Text(const RegistryValue* v) {
  EXPECT_NE(v, nullptr);
  EXPECT_EQ(v->type, REG_SZ);
  return v == nullptr ? std::string() : std::string(v->data.begin(), v->data.end());
}

uint32_t Dword(const RegistryValue* v) {
  EXPECT_NE(v, nullptr);
  if (v == nullptr) return 0;
  EXPECT_EQ(v->type, REG_DWORD);
  EXPECT_EQ(v->data.size(), 4u);
  return v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) | (static_cast<uint32_t>(v->data[3]) << 24);
}

// The message of the RegistryError that parsing text raises ("" when it parses).
std::string ParseError(const std::string& text, RegistryRoot root = RegistryRoot::LocalMachine) {
  try {
    ParseText(text, root);
  } catch (const RegistryError& e) {
    EXPECT_EQ(e.Code(), ERROR_REGISTRY_CORRUPT);
    return e.what();
  }
  return std::string();
}

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

TEST(RegFileFormatRead, HandWrittenFileWithEscapesDwordsDefaultValueAndComments) {
  const std::string text =
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "; log switches of the driver class\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\{1422B44C-CBF9-440D-A286-44AD4F87BF5F}]\n"
      "@=\"scanner Class\"\n"
      "\"LogEnabled\"=dword:00000001\n"
      "\"LogLevel\"=dword:8000001E\n"
      "\"LogFile\"=\"C:\\\\logs\\\\\\\"cavix\\\".log\"\n"
      "\"Empty\"=\"\"\n"
      "\"Spaced Name\" = dword:1e\n"
      "\n"
      "   \n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000\\"
      "DeviceData]\n"
      "\"NetworkDeviceID\"=\"\\\\\\\\?\\\\cavixnet#\\\\macaddr:00:1B:78:AA:BB:CC\\\\port1\"\n";
  RegistryTree tree = ParseText(text);

  const RegistryTree::Node* log = Key(tree, "Software\\Quenterra\\Pixora\\Cavix\\{1422B44C-CBF9-440D-A286-44AD4F87BF5F}");
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(Text(log->FindValue("")), "scanner Class");
  EXPECT_EQ(Dword(log->FindValue("LogEnabled")), 1u);
  EXPECT_EQ(Dword(log->FindValue("LogLevel")), 0x8000001Eu);
  EXPECT_EQ(Text(log->FindValue("LogFile")), "C:\\logs\\\"cavix\".log");
  EXPECT_EQ(Text(log->FindValue("Empty")), "");
  EXPECT_EQ(Dword(log->FindValue("Spaced Name")), 30u);
  ASSERT_EQ(log->Values().size(), 6u);
  EXPECT_EQ(log->Values()[0].name, "");  // file order kept
  EXPECT_EQ(log->Values()[5].name, "Spaced Name");

  const RegistryTree::Node* data = Key(tree, "system\\currentcontrolset\\control\\class\\"
                                             "{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000\\devicedata");
  ASSERT_NE(data, nullptr) << "key names are case-insensitive";
  EXPECT_EQ(data->Name(), "DeviceData") << "the case as written is kept";
  EXPECT_EQ(Text(data->FindValue("networkdeviceid")), "\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:CC\\port1");
  // Intermediate keys exist even without their own section.
  EXPECT_NE(Key(tree, "SYSTEM\\CurrentControlSet"), nullptr);
}

TEST(RegFileFormatRead, WindowsExportWithBomCrlfHexValuesAndDeletions) {
  // As the registry editor writes it (saved as UTF-8): BOM, CRLF, hex values with continuation
  // lines, then an import-style deletion of a key and of a value.
  const std::string text =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Quenterra\\Lumetrix\\NetworkScanners\\00:1B:78:AA:BB:CC]\r\n"
      "\"IpAddress\"=\"127.0.0.2\"\r\n"
      "\"ConnectionTimeout\"=dword:00000014\r\n"
      "\"Blob\"=hex:de,ad,BE,ef\r\n"
      "\"ExpandSz\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,\\\r\n"
      "  74,00,25,00,00,00\r\n"
      "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
      "\"Big\"=hex(b):01,02,03,04,05,06,07,08\r\n"
      "\"Wide\"=hex(1):48,00,e9,00,0a,00,00,00\r\n"
      "\"Gone\"=\"x\"\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Old\\Sub]\r\n"
      "\"v\"=dword:00000001\r\n"
      "\r\n"
      "[-HKEY_CURRENT_USER\\SOFTWARE\\Old]\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Quenterra\\Lumetrix\\NetworkScanners\\00:1B:78:AA:BB:CC]\r\n"
      "\"Gone\"=-\r\n";
  RegistryTree tree = ParseText(text, RegistryRoot::CurrentUser);
  const RegistryTree::Node* key = Key(tree, "SOFTWARE\\Quenterra\\Lumetrix\\NetworkScanners\\00:1B:78:AA:BB:CC");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(Text(key->FindValue("IpAddress")), "127.0.0.2") << "no CR left in the text";
  EXPECT_EQ(Dword(key->FindValue("ConnectionTimeout")), 20u);
  ASSERT_NE(key->FindValue("Blob"), nullptr);
  EXPECT_EQ(key->FindValue("Blob")->type, REG_BINARY);
  EXPECT_EQ(key->FindValue("Blob")->data, Bytes({0xde, 0xad, 0xbe, 0xef}));
  ASSERT_NE(key->FindValue("ExpandSz"), nullptr);
  EXPECT_EQ(key->FindValue("ExpandSz")->type, REG_EXPAND_SZ);
  EXPECT_EQ(key->FindValue("ExpandSz")->data.size(), 26u) << "continuation line joined";
  EXPECT_EQ(key->FindValue("Multi")->type, REG_MULTI_SZ);
  EXPECT_EQ(key->FindValue("Big")->type, REG_QWORD);
  EXPECT_EQ(key->FindValue("Big")->data, Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(Text(key->FindValue("Wide")), "H\xC3\xA9\n") << "hex(1) is UTF-16LE text";
  EXPECT_EQ(key->FindValue("Gone"), nullptr) << "\"x\"=- deletes the value";
  EXPECT_EQ(Key(tree, "SOFTWARE\\Old"), nullptr) << "[-KEY] deletes the key and its subtree";
  EXPECT_NE(Key(tree, "SOFTWARE"), nullptr);
}

TEST(RegFileFormatRead, Utf16FileAsTheRegistryEditorSavesIt) {
  const std::string utf8 =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\A]\r\n\"Name\"=\"caf\xC3\xA9\"\r\n";
  std::string utf16 = "\xFF\xFE";
  // Hand-encoded: every character here is below U+0100 ("é" is U+00E9).
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == 0xC3) {
      utf16 += '\xE9';
      ++i;
    } else {
      utf16 += static_cast<char>(c);
    }
    utf16 += '\0';
  }
  RegistryTree tree = ParseText(utf16);
  const RegistryTree::Node* key = Key(tree, "Software\\A");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(Text(key->FindValue("Name")), "caf\xC3\xA9");
}

TEST(RegFileFormatRead, EmptyTextAndHeaderOnlyAreEmptyRoots) {
  EXPECT_TRUE(ParseText("").Root().Children().empty());
  EXPECT_TRUE(ParseText("Windows Registry Editor Version 5.00\n").Root().Children().empty());
  EXPECT_TRUE(ParseText("Windows Registry Editor Version 5.00").Root().Children().empty());
}

TEST(RegFileFormatRead, MalformedFilesNameFileAndLine) {
  const std::string h = "Windows Registry Editor Version 5.00\n\n";
  struct Case {
    std::string text;
    std::string where;
  };
  const Case cases[] = {
      {"REGEDIT4\n", "test.reg:1:"},
      {"\n" + h, "test.reg:1:"},
      {h + "\"a\"=dword:1\n", "test.reg:3:"},  // value before any key
      {h + "[HKEY_LOCAL_MACHINE\\A\n", "test.reg:3:"},
      {h + "[HKEY_CURRENT_USER\\A]\n", "test.reg:3:"},  // other root in the HKLM file
      {h + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n", "test.reg:3:"},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:123456789\n", "test.reg:4:"},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:12x4\n", "test.reg:4:"},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"open\n", "test.reg:4:"},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"bad \\n escape\"\n", "test.reg:4:"},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"x\" trailing\n", "test.reg:4:"},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"a\" dword:1\n", "test.reg:4:"},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=qword:1\n", "test.reg:4:"},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,,02\n", "test.reg:4:"},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n  0g\n", "test.reg:5:"},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\\n", "test.reg:5:"},  // continued onto a blank line
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex:01,\\", "test.reg:4:"},    // continued past the end
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex(1):41\n", "test.reg:4:"},  // odd UTF-16
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=hex(zz):01\n", "test.reg:4:"},
      {h + "[HKEY_LOCAL_MACHINE\\A]\nstray text\n", "test.reg:4:"},
      {h + "[HKEY_LOCAL_MACHINE\\A]\n\"a\"=\"x" + std::string(1, '\0') + "\"\n", "test.reg:4:"},  // NUL
      {h + "[-HKEY_LOCAL_MACHINE]\n", "test.reg:3:"},
      {h + "[-HKEY_LOCAL_MACHINE\\A]\n\"a\"=dword:1\n", "test.reg:4:"},
  };
  for (const Case& c : cases) {
    std::string message = ParseError(c.text);
    EXPECT_EQ(message.rfind(c.where, 0), 0u) << "text:\n" << c.text << "\nmessage: " << message;
  }
}

TEST(RegFileFormatWrite, ProducesTheExpectedText) {
  RegistryTree tree;
  // Inserted out of order and in mixed case: sections come out depth first, subkeys sorted
  // without regard to case, values in the order they were set.
  RegistryTree::Node* b = tree.FindOrCreate({"Software", "beta"});
  b->SetValue("Quote\"d", REG_SZ, Bytes({'a', '\\', 'b', '"', 'c'}));
  RegistryTree::Node* a = tree.FindOrCreate({"Software", "Alpha"});
  a->SetValue("Zed", REG_DWORD, Bytes({0x1e, 0, 0, 0}));
  a->SetValue("", REG_SZ, Bytes({'d', 'e', 'f'}));
  a->SetValue("zed", REG_DWORD, Bytes({0xef, 0xbe, 0xad, 0xde}));  // same value, other case
  std::vector<uint8_t> blob;
  for (int i = 0; i < 30; ++i) blob.push_back(static_cast<uint8_t>(i));
  a->SetValue("Bin", REG_BINARY, blob);
  a->SetValue("Lines", REG_SZ, Bytes({'a', '\n', 'b'}));
  a->SetValue("Tab", REG_SZ, Bytes({'a', '\t', 'b'}));
  a->SetValue("Q", REG_QWORD, Bytes({1, 0, 0, 0, 0, 0, 0, 0}));
  tree.FindOrCreate({"Software", "Alpha", "0001"});

  const std::string expected =
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Software]\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Alpha]\n"
      "\"Zed\"=dword:deadbeef\n"
      "@=\"def\"\n"
      "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\n"
      "  17,18,19,1a,1b,1c,1d\n"
      "\"Lines\"=hex(1):61,00,0a,00,62,00,00,00\n"
      "\"Tab\"=\"a\tb\"\n"
      "\"Q\"=hex(b):01,00,00,00,00,00,00,00\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Alpha\\0001]\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Software\\beta]\n"
      "\"Quote\\\"d\"=\"a\\\\b\\\"c\"\n"
      "\n";
  EXPECT_EQ(RegFileFormat::Format(tree, RegistryRoot::LocalMachine), expected);
}

TEST(RegFileFormatWrite, ExportedFileIsWrittenBackUnchanged) {
  // A file in the registry editor's layout (LF line ends): reading and writing it again gives
  // the same text, hex values and their line breaks included.
  const std::string text =
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software]\n"
      "\n"
      "[HKEY_CURRENT_USER\\Software\\Example]\n"
      "@=\"default\"\n"
      "\"ExpandSz\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,\\\n"
      "  74,00,25,00,00,00\n"
      "\"Long\"=hex:00,11,22,33,44,55,66,77,88,99,aa,bb,cc,dd,ee,ff,00,11,22,33,44,55,\\\n"
      "  66,77,88,99,aa,bb,cc,dd,ee,ff,00,11,22,33,44,55,66,77,88,99,aa,bb,cc,dd,ee,\\\n"
      "  ff,00\n"
      "\"Fits\"=hex:00,11,22,33,44,55,66,77,88,99,aa,bb,cc,dd,ee,ff,00,11,22,33,44,55,\\\n"
      "  66,77,88,99,aa,bb,cc,dd,ee,ff,00,11,22,33,44,55,66,77,88,99,aa,bb,cc,dd,ee,ff\n"
      "\"Empty\"=hex:\n"
      "\"Count\"=dword:00000000\n"
      "\"None\"=hex(0):\n"
      "\n";
  RegistryTree tree = ParseText(text, RegistryRoot::CurrentUser);
  EXPECT_EQ(RegFileFormat::Format(tree, RegistryRoot::CurrentUser), text);
}

TEST(RegFileFormatUtf16, ConvertsBothWaysAndRefusesBrokenInput) {
  std::vector<uint8_t> wide;
  // U+0041, U+00E9, U+20AC, U+1F600 (surrogate pair D83D DE00), NUL.
  ASSERT_TRUE(RegFileFormat::Utf8ToUtf16Le("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", &wide));
  EXPECT_EQ(wide, Bytes({0x41, 0, 0xE9, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
  std::string narrow;
  ASSERT_TRUE(RegFileFormat::Utf16LeToUtf8(wide, &narrow));
  EXPECT_EQ(narrow, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");

  EXPECT_FALSE(RegFileFormat::Utf16LeToUtf8(Bytes({0x41}), &narrow));
  EXPECT_FALSE(RegFileFormat::Utf16LeToUtf8(Bytes({0x3D, 0xD8, 0x41, 0x00}), &narrow));  // lone high
  EXPECT_FALSE(RegFileFormat::Utf16LeToUtf8(Bytes({0x00, 0xDE}), &narrow));              // lone low
  EXPECT_FALSE(RegFileFormat::Utf8ToUtf16Le("\xC3", &wide));
  EXPECT_FALSE(RegFileFormat::Utf8ToUtf16Le("\xC0\x80", &wide));  // overlong NUL
  EXPECT_FALSE(RegFileFormat::Utf8ToUtf16Le("\xED\xA0\x80", &wide));  // encoded surrogate
}

}  // namespace
