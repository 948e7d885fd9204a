// Registry keys over the store files: the Windows-style operations, their results, the files
// they leave, malformed stores, and writers in several processes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "platform/RegistryKey.h"
#include "platform/RegistryStore.h"
#include "tests/platform/ScratchDir.h"

namespace {

const char* kHeader = "Windows Registry Editor Version 5.00\n\n";

TEST(RegistryKeyTest, CreateSetQueryEnumerateAndTheFileItLeaves) {
  ScratchDir dir;
  RegistryKey key;
  bool created = false;
  ASSERT_EQ(key.Create(RegistryRoot::LocalMachine, "Software\\Quenterra\\Pixora\\Cavix\\{X}", &created), ERROR_SUCCESS);
  EXPECT_TRUE(created);
  EXPECT_EQ(key.FullName(), "HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\{X}");
  EXPECT_EQ(key.SetDword("LogEnabled", 1), ERROR_SUCCESS);
  EXPECT_EQ(key.SetString("LogFile", "/var/log/cavix \"x\".log"), ERROR_SUCCESS);
  EXPECT_EQ(key.SetString("", "scanner Class"), ERROR_SUCCESS);
  EXPECT_EQ(key.SetDword("logenabled", 0x1e), ERROR_SUCCESS) << "value names are case-insensitive";

  EXPECT_EQ(ScratchDir::ReadFile(dir.Hklm()),
            std::string(kHeader) +
                "[HKEY_LOCAL_MACHINE\\Software]\n\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Quenterra]\n\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora]\n\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix]\n\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\{X}]\n"
                "\"LogEnabled\"=dword:0000001e\n"
                "\"LogFile\"=\"/var/log/cavix \\\"x\\\".log\"\n"
                "@=\"scanner Class\"\n\n");

  RegistryKey reader;
  ASSERT_EQ(reader.Open(RegistryRoot::LocalMachine, "SOFTWARE\\quenterra\\PIXORA\\cavix\\{x}"), ERROR_SUCCESS);
  DWORD d = 0;
  EXPECT_EQ(reader.QueryDword("LOGENABLED", &d), ERROR_SUCCESS);
  EXPECT_EQ(d, 0x1eu);
  std::string s;
  EXPECT_EQ(reader.QueryString("LogFile", &s), ERROR_SUCCESS);
  EXPECT_EQ(s, "/var/log/cavix \"x\".log");
  EXPECT_EQ(reader.QueryString("", &s), ERROR_SUCCESS);
  EXPECT_EQ(s, "scanner Class");
  EXPECT_EQ(reader.QueryDword("LogFile", &d), ERROR_DATATYPE_MISMATCH);
  EXPECT_EQ(reader.QueryString("LogEnabled", &s), ERROR_DATATYPE_MISMATCH);
  EXPECT_EQ(reader.QueryDword("Missing", &d), ERROR_FILE_NOT_FOUND);

  // A second Create of an existing key reports it as not new and does not rewrite the file.
  struct stat before, after;
  ASSERT_EQ(stat(dir.Hklm().c_str(), &before), 0);
  RegistryKey again;
  EXPECT_EQ(again.Create(RegistryRoot::LocalMachine, "Software\\Quenterra", &created), ERROR_SUCCESS);
  EXPECT_FALSE(created);
  ASSERT_EQ(stat(dir.Hklm().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST(RegistryKeyTest, EnumeratesSubkeysAlphabeticallyAndOpensRelativeToAParent) {
  ScratchDir dir;
  ScratchDir::WriteFile(dir.Hklm(),
                        std::string(kHeader) +
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\Class\\0001\\DeviceData]\n"
                            "\"NetworkDeviceID\"=\"dev1\"\n\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\Class\\0000\\DeviceData]\n"
                            "\"NetworkDeviceID\"=\"dev0\"\n\n"
                            "[HKEY_LOCAL_MACHINE\\SYSTEM\\Class\\Properties]\n\n");
  RegistryKey cls;
  ASSERT_EQ(cls.Open(RegistryRoot::LocalMachine, "SYSTEM\\Class"), ERROR_SUCCESS);
  std::vector<std::string> names;
  std::string name;
  DWORD i = 0;
  for (; cls.EnumSubKey(i, &name) == ERROR_SUCCESS; ++i) names.push_back(name);
  EXPECT_EQ(cls.EnumSubKey(i, &name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(names, (std::vector<std::string>{"0000", "0001", "Properties"}));

  RegistryKey data;
  ASSERT_EQ(data.Open(cls, "0001\\DeviceData"), ERROR_SUCCESS);
  std::string id;
  EXPECT_EQ(data.QueryString("NetworkDeviceID", &id), ERROR_SUCCESS);
  EXPECT_EQ(id, "dev1");
  EXPECT_EQ(data.Open(cls, "0002\\DeviceData"), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(data.IsOpen()) << "a failed open closes what the object held";
  // A key may be reopened from itself.
  ASSERT_EQ(cls.Open(cls, "0000"), ERROR_SUCCESS);
  EXPECT_EQ(cls.FullName(), "HKEY_LOCAL_MACHINE\\SYSTEM\\Class\\0000");
}

TEST(RegistryKeyTest, QueryValueReportsTypeSizeAndShortBuffers) {
  ScratchDir dir;
  RegistryKey key;
  ASSERT_EQ(key.Create(RegistryRoot::CurrentUser, "SOFTWARE\\Quenterra\\Lumetrix\\NetworkScanners\\00:1B"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetString("IpAddress", "127.0.0.2"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetDword("ConnectionTimeout", 0x01020304), ERROR_SUCCESS);

  DWORD type = 0, size = 0;
  EXPECT_EQ(key.QueryValue("IpAddress", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 10u) << "text and its NUL";
  char small[4] = {};
  size = sizeof small;
  EXPECT_EQ(key.QueryValue("IpAddress", &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 10u);
  char buf[260] = {};
  size = sizeof buf;
  EXPECT_EQ(key.QueryValue("IpAddress", &type, buf, &size), ERROR_SUCCESS);
  EXPECT_STREQ(buf, "127.0.0.2");
  EXPECT_EQ(size, 10u);

  uint8_t dw[4] = {};
  size = sizeof dw;
  EXPECT_EQ(key.QueryValue("ConnectionTimeout", &type, dw, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(dw[0], 0x04);
  EXPECT_EQ(dw[3], 0x01);
  EXPECT_EQ(key.QueryValue("Nothing", &type, dw, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.QueryValue("IpAddress", &type, buf, nullptr), ERROR_INVALID_PARAMETER);

  // The HKCU file went where CAVIX_REGISTRY_HKCU points, its directory made on the way.
  EXPECT_NE(ScratchDir::ReadFile(dir.Hkcu()).find("\"IpAddress\"=\"127.0.0.2\""), std::string::npos);
}

TEST(RegistryKeyTest, ExpandStringsFromAnExportReadAsText) {
  ScratchDir dir;
  ScratchDir::WriteFile(dir.Hklm(), std::string(kHeader) +
                                        "[HKEY_LOCAL_MACHINE\\A]\n"
                                        "\"E\"=hex(2):25,00,54,00,25,00,00,00\n"
                                        "\"M\"=hex(7):61,00,00,00,62,00,00,00,00,00\n");
  RegistryKey key;
  ASSERT_EQ(key.Open(RegistryRoot::LocalMachine, "A"), ERROR_SUCCESS);
  std::string s;
  EXPECT_EQ(key.QueryString("E", &s), ERROR_SUCCESS);
  EXPECT_EQ(s, "%T%");
  char buf[16];
  DWORD type = 0, size = sizeof buf;
  EXPECT_EQ(key.QueryValue("M", &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(std::string(buf, size), std::string("a\0b\0\0", 5));
}

TEST(RegistryKeyTest, DeletesValuesAndSubtreesAndNoticesDeletedKeys) {
  ScratchDir dir;
  RegistryKey top, leaf;
  ASSERT_EQ(top.Create(RegistryRoot::LocalMachine, "Software\\Classes"), ERROR_SUCCESS);
  ASSERT_EQ(leaf.Create(top, "CLSID\\{C}\\InprocServer32"), ERROR_SUCCESS);
  ASSERT_EQ(leaf.SetString("ThreadingModel", "Both"), ERROR_SUCCESS);
  ASSERT_EQ(leaf.SetString("", "/x.so"), ERROR_SUCCESS);

  EXPECT_EQ(leaf.DeleteValue("threadingmodel"), ERROR_SUCCESS);
  EXPECT_EQ(leaf.DeleteValue("ThreadingModel"), ERROR_FILE_NOT_FOUND);
  std::string s;
  EXPECT_EQ(leaf.QueryString("", &s), ERROR_SUCCESS);

  EXPECT_EQ(top.DeleteSubKey(""), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(top.DeleteSubKey("clsid\\{c}"), ERROR_SUCCESS) << "with its subtree";
  EXPECT_EQ(top.DeleteSubKey("CLSID\\{C}"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(leaf.QueryString("", &s), ERROR_KEY_DELETED);
  EXPECT_EQ(leaf.SetString("", "/y.so"), ERROR_KEY_DELETED) << "a deleted key is not brought back";
  RegistryKey child;
  EXPECT_EQ(child.Create(leaf, "Sub"), ERROR_KEY_DELETED);
  EXPECT_EQ(ScratchDir::ReadFile(dir.Hklm()),
            std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\Software]\n\n[HKEY_LOCAL_MACHINE\\Software\\Classes]\n\n"
                                   "[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID]\n\n");

  EXPECT_EQ(leaf.Close(), ERROR_SUCCESS);
  EXPECT_EQ(leaf.Close(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(leaf.SetDword("x", 1), ERROR_INVALID_HANDLE);
}

TEST(RegistryKeyTest, RefusesBadNamesAndMissingFilesAreEmptyRoots) {
  ScratchDir dir;
  RegistryKey key;
  EXPECT_EQ(key.Open(RegistryRoot::LocalMachine, "Software"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(access(dir.Hklm().c_str(), F_OK), -1) << "reading does not create the file";
  ASSERT_EQ(key.Open(RegistryRoot::LocalMachine, ""), ERROR_SUCCESS) << "the root always exists";
  std::string name;
  EXPECT_EQ(key.EnumSubKey(0, &name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(key.Create(RegistryRoot::LocalMachine, "A\\\\B"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(key.Create(RegistryRoot::LocalMachine, "A\nB"), ERROR_INVALID_PARAMETER);
  ASSERT_EQ(key.Create(RegistryRoot::LocalMachine, "\\A\\"), ERROR_SUCCESS);
  EXPECT_EQ(key.FullName(), "HKEY_LOCAL_MACHINE\\A");
  EXPECT_EQ(key.SetString("bad\nname", "x"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(key.SetString("v", "line\n\xFF"), ERROR_INVALID_PARAMETER) << "not storable without loss";

  // Text that needs the hex(1) form, NULs inside included, and bytes that do not, survive.
  const std::string texts[] = {std::string("two\r\nlines\0and a NUL", 20), "tab\there", "latin1 caf\xE9",
                               "caf\xC3\xA9\n"};
  for (const std::string& text : texts) {
    ASSERT_EQ(key.SetString("v", text), ERROR_SUCCESS);
    std::string back;
    ASSERT_EQ(key.QueryString("v", &back), ERROR_SUCCESS);
    EXPECT_EQ(back, text);
  }

  // A change that changes nothing on a missing file leaves no file behind.
  ScratchDir other;
  RegistryKey root;
  ASSERT_EQ(root.Open(RegistryRoot::CurrentUser, ""), ERROR_SUCCESS);
  EXPECT_EQ(root.DeleteValue("x"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(root.DeleteSubKey("x"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(access(other.Hkcu().c_str(), F_OK), -1);
}

TEST(RegistryKeyTest, MalformedStoreIsReportedWithFileAndLineAndLeftUnchanged) {
  ScratchDir dir;
  const std::string broken = std::string(kHeader) +
                             "[HKEY_LOCAL_MACHINE\\Software\\A]\n"
                             "\"Good\"=dword:00000001\n"
                             "\"Bad\"=dword:xyz\n";
  ScratchDir::WriteFile(dir.Hklm(), broken);
  RegistryKey key;
  EXPECT_EQ(key.Open(RegistryRoot::LocalMachine, "Software\\A"), ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(key.LastErrorText().rfind(dir.Hklm() + ":5: ", 0), 0u) << key.LastErrorText();
  EXPECT_EQ(key.Create(RegistryRoot::LocalMachine, "Software\\B"), ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(key.LastErrorText().rfind(dir.Hklm() + ":5: ", 0), 0u) << key.LastErrorText();
  EXPECT_EQ(ScratchDir::ReadFile(dir.Hklm()), broken);

  // A key opened while the file was sound fails the same way once it breaks.
  ScratchDir::WriteFile(dir.Hklm(), std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\Software\\A]\n");
  ASSERT_EQ(key.Open(RegistryRoot::LocalMachine, "Software\\A"), ERROR_SUCCESS);
  ScratchDir::WriteFile(dir.Hklm(), broken);
  EXPECT_EQ(key.SetDword("New", 2), ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(key.DeleteSubKey("X"), ERROR_REGISTRY_CORRUPT);
  DWORD d;
  EXPECT_EQ(key.QueryDword("Good", &d), ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(ScratchDir::ReadFile(dir.Hklm()), broken);
  EXPECT_EQ(RegistryStore(RegistryRoot::LocalMachine).FilePath(), dir.Hklm());
}

TEST(RegistryKeyTest, RewriteKeepsTheFileModeAndLeavesNoTemporaryFiles) {
  ScratchDir dir;
  ScratchDir::WriteFile(dir.Hklm(), std::string(kHeader));
  ASSERT_EQ(chmod(dir.Hklm().c_str(), 0640), 0);
  RegistryKey key;
  ASSERT_EQ(key.Create(RegistryRoot::LocalMachine, "A"), ERROR_SUCCESS);
  ASSERT_EQ(key.SetDword("v", 1), ERROR_SUCCESS);
  struct stat st;
  ASSERT_EQ(stat(dir.Hklm().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  std::string listing;
  FILE* p = popen(("ls -A '" + dir.Path() + "'").c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[256];
  while (fgets(line, sizeof line, p) != nullptr) listing += line;
  pclose(p);
  EXPECT_EQ(listing, "hklm.reg\n");

  // A store reached through a symbolic link keeps the link and changes its target.
  ASSERT_EQ(rename(dir.Hklm().c_str(), (dir.Path() + "/real.reg").c_str()), 0);
  ASSERT_EQ(symlink("real.reg", dir.Hklm().c_str()), 0);
  ASSERT_EQ(key.SetDword("w", 2), ERROR_SUCCESS);
  struct stat lst;
  ASSERT_EQ(lstat(dir.Hklm().c_str(), &lst), 0);
  EXPECT_TRUE(S_ISLNK(lst.st_mode));
  EXPECT_NE(ScratchDir::ReadFile(dir.Path() + "/real.reg").find("\"w\"=dword:00000002"), std::string::npos);
}

TEST(RegistryStoreTest, DefaultFilesFollowTheEnvironment) {
  ScratchDir dir;
  EXPECT_EQ(RegistryStore::DefaultFilePath(RegistryRoot::LocalMachine), dir.Hklm());
  EXPECT_EQ(RegistryStore::DefaultFilePath(RegistryRoot::CurrentUser), dir.Hkcu());
  unsetenv("CAVIX_REGISTRY_HKLM");
  unsetenv("CAVIX_REGISTRY_HKCU");
  EXPECT_EQ(RegistryStore::DefaultFilePath(RegistryRoot::LocalMachine), "/etc/cavix/hklm.reg");
  const char* xdg = getenv("XDG_CONFIG_HOME");
  std::string oldXdg = xdg != nullptr ? xdg : "";
  setenv("XDG_CONFIG_HOME", "/xdg", 1);
  EXPECT_EQ(RegistryStore::DefaultFilePath(RegistryRoot::CurrentUser), "/xdg/cavix/hkcu.reg");
  unsetenv("XDG_CONFIG_HOME");
  const char* home = getenv("HOME");
  std::string oldHome = home != nullptr ? home : "";
  setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(RegistryStore::DefaultFilePath(RegistryRoot::CurrentUser), "/home/someone/.config/cavix/hkcu.reg");
  if (home != nullptr) setenv("HOME", oldHome.c_str(), 1);
  if (xdg != nullptr) setenv("XDG_CONFIG_HOME", oldXdg.c_str(), 1);
}

// Writes count values named prefix0.. into HKLM\Shared; exits with the number of failures.
int WriteValues(const std::string& prefix, int count) {
  RegistryKey key;
  int failures = 0;
  if (key.Create(RegistryRoot::LocalMachine, "Shared") != ERROR_SUCCESS) return 100;
  for (int i = 0; i < count; ++i) {
    if (key.SetDword(prefix + std::to_string(i), static_cast<DWORD>(i)) != ERROR_SUCCESS) ++failures;
  }
  return failures;
}

TEST(RegistryKeyTest, TwoProcessesWritingOneFileLoseNothing) {
  ScratchDir dir;
  const int kCount = 60;
  pid_t children[2];
  const char* prefixes[2] = {"ChildA_", "ChildB_"};
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) _exit(WriteValues(prefixes[c], kCount));
  }
  // The parent writes too, from two threads, while the children run.
  std::thread t1([&] { EXPECT_EQ(WriteValues("ThreadA_", kCount), 0); });
  std::thread t2([&] { EXPECT_EQ(WriteValues("ThreadB_", kCount), 0); });
  t1.join();
  t2.join();
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  RegistryKey key;
  ASSERT_EQ(key.Open(RegistryRoot::LocalMachine, "Shared"), ERROR_SUCCESS);
  for (const char* prefix : {"ChildA_", "ChildB_", "ThreadA_", "ThreadB_"}) {
    for (int i = 0; i < kCount; ++i) {
      DWORD v = 0xFFFFFFFF;
      EXPECT_EQ(key.QueryDword(prefix + std::to_string(i), &v), ERROR_SUCCESS) << prefix << i;
      EXPECT_EQ(v, static_cast<DWORD>(i));
    }
  }
}

}  // namespace
