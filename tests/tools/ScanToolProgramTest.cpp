// cavix-scan as a program: usage errors (message and exit status 2), the registration and the
// log switches it writes into the HKLM store (checked against hand-written .reg text), the
// capability table from the embedded simulated scanner, and the busy exit status when another
// host holds the scanner; shared directories checked before use, the store repaired by register.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "ToolTestSupport.h"
#include "driver/CavixScanner.h"
#include "platform/ComCreate.h"
#include "sim/DeviceSimulator.h"
#include "tools/DeviceName.h"

namespace {

const std::string kScan = CAVIX_SCAN_PATH;
const std::string kModule = CAVIX_MODULE_PATH;

class ScanToolProgramTest : public ::testing::Test {
 protected:
  tooltest::ProcessResult Scan(std::vector<std::string> args) {
    args.insert(args.begin(), kScan);
    return tooltest::Run(args);
  }
  tooltest::Scratch scratch_;
};

TEST_F(ScanToolProgramTest, WrongOptionsGiveAUsageMessageAndStatus2) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"--bogus"}, "cavix-scan: unknown option '--bogus'\nTry 'cavix-scan --help'.\n"},
      {{"--mode", "sepia"}, "cavix-scan: --mode takes color, gray or bw, not 'sepia'\nTry 'cavix-scan --help'.\n"},
      {{"--source", "adf", "--resolution", "1200", "-o", "x.tif"},
       "cavix-scan: --resolution 1200 is not available from the feeder (75 to 300 dpi)\nTry 'cavix-scan --help'.\n"},
      {{"-o", "scan.gif"},
       "cavix-scan: cannot tell the output format of 'scan.gif': use .png, .tif, .tiff, .pdf, .pnm, .ppm, .pgm or "
       ".pbm\nTry 'cavix-scan --help'.\n"},
      {{"log", "on", "--roll", "6"}, "cavix-scan: --roll takes 0 to 5 copies, not '6'\nTry 'cavix-scan --help'.\n"},
  };
  for (const auto& c : cases) {
    tooltest::ProcessResult r = Scan(c.args);
    EXPECT_EQ(r.exitStatus, 2) << c.args[0];
    EXPECT_EQ(r.err, c.message);
    EXPECT_EQ(r.out, "");
  }
  // A device text that is no name, address or path is a usage error too.
  tooltest::ProcessResult r = Scan({"caps", "--device", "scanner-on-the-left", "--module", kModule});
  EXPECT_EQ(r.exitStatus, 2);
  EXPECT_NE(r.err.find("neither a network device name, an IP address nor a USB device path"), std::string::npos)
      << r.err;
  r = Scan({"--help"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_NE(r.out.find("usage: cavix-scan"), std::string::npos);
}

TEST_F(ScanToolProgramTest, RegisterAndUnregisterWriteTheClassIntoTheStore) {
  tooltest::ProcessResult r = Scan({"register", "--module", kModule});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "registered " + kModule + " in " + scratch_.Hklm() + "\n");
  const std::string reg = tooltest::ReadFile(scratch_.Hklm());
  std::string escaped;
  for (char c : kModule) escaped += c == '\\' ? "\\\\" : std::string(1, c);
  EXPECT_NE(reg.find("[HKEY_LOCAL_MACHINE\\Software\\Classes\\CLSID\\{1422B44C-CBF9-440D-A286-44AD4F87BF5F}\\InprocServer32]\n"
                     "@=\"" + escaped + "\"\n\"ThreadingModel\"=\"Both\"\n"),
            std::string::npos)
      << reg;
  EXPECT_NE(reg.find("[HKEY_LOCAL_MACHINE\\Software\\Classes\\CAVIXDriver.scanner\\CurVer]\n@=\"CAVIXDriver.scanner.1\"\n"),
            std::string::npos)
      << reg;
  // The registered class is what a host without a module path creates.
  void* p = nullptr;
  ASSERT_EQ(CoCreateInstanceFromStore(CLSID_CavixScanner, IID_IScanner, &p), S_OK);
  static_cast<IScanner*>(p)->Release();

  r = Scan({"unregister"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, "unregistered " + kModule + " in " + scratch_.Hklm() + "\n");
  const std::string after = tooltest::ReadFile(scratch_.Hklm());
  EXPECT_EQ(after.find("1422B44C"), std::string::npos) << after;
  EXPECT_EQ(after.find("CAVIXDriver"), std::string::npos) << after;
  r = Scan({"unregister"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out, "the driver is not registered in " + scratch_.Hklm() + "\n");
}

TEST_F(ScanToolProgramTest, LogSwitchesGoIntoTheDriversKey) {
  const std::string file = scratch_.File("state/driver.log");
  tooltest::ProcessResult r = Scan({"log", "on", "--file", file, "--level", "errors", "--size-kb", "64", "--roll", "2"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const std::string key = "[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\{1422B44C-CBF9-440D-A286-44AD4F87BF5F}]\n";
  std::string reg = tooltest::ReadFile(scratch_.Hklm());
  const size_t at = reg.find(key);
  ASSERT_NE(at, std::string::npos) << reg;
  const std::string section = reg.substr(at + key.size(), reg.find("\n\n", at) - at - key.size());
  // Values as the registry editor writes them, in any order.
  for (const std::string& line : {std::string("\"LogEnabled\"=dword:00000001"), std::string("\"LogLevel\"=dword:80000000"),
                                  std::string("\"LogDestination\"=dword:00000001"), std::string("\"LogSizeKB\"=dword:00000040"),
                                  std::string("\"LogRollCount\"=dword:00000002"), "\"LogFile\"=\"" + file + "\""})
    EXPECT_NE(section.find(line), std::string::npos) << line << " in\n" << section;
  EXPECT_TRUE(tooltest::Exists(scratch_.File("state"))) << "the log's directory is made";

  // The driver reads these switches: a command that loads it writes its trace into the file.
  r = Scan({"log", "on", "--level", "normal"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  r = Scan({"caps", "--module", kModule, "--sim-address", "127.0.77.43"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const std::string log = tooltest::ReadFile(file);
  EXPECT_NE(log.find("+++CavixDriver::OpenScannerSession"), std::string::npos) << log.substr(0, 2000);
  EXPECT_NE(log.find("---CavixDriver::GetScannerCapabilities"), std::string::npos);

  r = Scan({"log", "off"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  reg = tooltest::ReadFile(scratch_.Hklm());
  EXPECT_NE(reg.find("\"LogEnabled\"=dword:00000000"), std::string::npos) << reg;
  EXPECT_NE(reg.find("\"LogFile\"=\"" + file + "\""), std::string::npos) << "the other switches stay";
  r = Scan({"log", "show"});
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out.rfind("log: off\n  file:        " + file + "\n", 0), 0u) << r.out;
}

// The lock directory and the log's directories: one another account planted (a link, a
// directory of its own, one anybody may write to without the sticky bit) is refused with its
// name and what is wrong, and nothing appears in it; the log never falls back to a shared place.
TEST_F(ScanToolProgramTest, SharedDirectoriesAreCheckedBeforeAnythingIsMadeInThem) {
  const std::string planted = scratch_.File("planted"), lock = scratch_.File("lock");
  ASSERT_EQ(::mkdir(planted.c_str(), 0777), 0);
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  enum Plant { kNone, kLink, kForeign, kOpen };
  const struct {
    Plant plant;
    const char* dir;  // under the scratch directory
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    int status;
    std::string message;  // in the error output, or in the store for a success
  } cases[] = {
      {kLink, "lock", {"caps"}, {}, 1, "the lock directory " + lock + ": it is a symbolic link"},
      {kForeign, "lock", {"caps"}, {}, 1, lock + ": it belongs to user 65534, neither root nor this user"},
      {kOpen, "lock", {"caps"}, {}, 1, lock + ": others may write to it but it is not sticky (mode 0777)"},
      {kLink, "state", {"log", "on", "--file", scratch_.File("state/cavix/d.log")}, {}, 1, scratch_.File("state") + ": it is a symbolic link"},
      {kLink, "state", {"log", "on"}, {{"XDG_STATE_HOME", scratch_.File("state")}}, 1, "it is a symbolic link"},
      {kNone, "", {"log", "on"}, {{"XDG_STATE_HOME", ""}, {"HOME", ""}}, 1, "neither XDG_STATE_HOME nor HOME names a directory"},
      {kNone, "", {"log", "on", "--file", "rel.log"}, {}, 0, "\"LogFile\"=\"" + std::string(cwd) + "/rel.log\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    const std::string dir = scratch_.File(c.dir);
    if (c.plant == kLink) { ASSERT_EQ(::symlink(planted.c_str(), dir.c_str()), 0); }
    if (c.plant == kForeign || c.plant == kOpen) {
      ASSERT_EQ(::mkdir(dir.c_str(), c.plant == kOpen ? 0777 : 01777), 0);
    }
    if (c.plant == kForeign) { ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0); }
    if (c.plant == kOpen) { ASSERT_EQ(::chmod(dir.c_str(), 0777), 0); }
    std::vector<std::string> argv = c.args;
    argv.insert(argv.begin(), kScan);
    if (c.args[0] == "caps") argv.insert(argv.end(), {"--module", kModule, "--sim-address", "127.0.77.44"});
    const tooltest::ProcessResult r = tooltest::Run(argv, c.env);
    EXPECT_EQ(r.exitStatus, c.status) << r.err;
    EXPECT_NE((c.status ? r.err : tooltest::ReadFile(scratch_.Hklm())).find(c.message), std::string::npos) << r.err;
    EXPECT_TRUE(tooltest::ListDirectory(planted).empty()) << "a file appeared in the planted directory";
    if (c.plant == kLink) ::unlink(dir.c_str());
    if (c.plant == kForeign || c.plant == kOpen) ::rmdir(dir.c_str());
  }
}

// register repairs the store it writes: a store that cannot be read is kept beside a fresh one,
// and the temporary files of a writer that was killed are removed.
TEST_F(ScanToolProgramTest, RegisterRepairsItsStore) {
  const std::string stale = scratch_.Hklm() + ".Ab12Z9", kept = scratch_.Hklm() + ".broken-";
  const char* broken[] = {"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\X]\n\"A\"=dwor",
                          "\x01\x02 no registry file", ""};
  for (const char* old : broken) {
    std::ofstream(scratch_.Hklm()) << old;
    std::ofstream(stale) << "half a store";
    const tooltest::ProcessResult r = Scan({"register", "--module", kModule, "--registered-as", "/usr/lib/cavix/d.so"});
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(tooltest::ReadFile(scratch_.Hklm()).find("InprocServer32]\n@=\"/usr/lib/cavix/d.so\""), std::string::npos);
    EXPECT_FALSE(tooltest::Exists(stale));
    std::string copy;
    for (const std::string& f : tooltest::ListDirectory(scratch_.Path()))
      if (scratch_.File(f).rfind(kept, 0) == 0) copy = scratch_.File(f);
    EXPECT_EQ(r.err.find("kept it as " + copy + " and wrote a fresh one") != std::string::npos, *old != 0) << r.err;
    if (*old) { EXPECT_EQ(tooltest::ReadFile(copy), old); }
    if (*old) { ASSERT_EQ(::unlink(copy.c_str()), 0); }
  }
}

TEST_F(ScanToolProgramTest, CapsFromTheEmbeddedScannerWithoutRegistration) {
  // Not registered: the module beside the program is used, and says so.
  tooltest::ProcessResult r = Scan({"caps", "--sim-address", "127.0.77.41"});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_NE(r.err.find("the driver is not registered; using "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("using the embedded simulated scanner at 127.0.77.41:8289"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("model                      vqm440                 vqm440\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("resolution range (dpi)     75 - 1200              75 - 300\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("4200 (355.6 mm)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("duplex                     -                      yes\n"), std::string::npos) << r.out;
}

TEST_F(ScanToolProgramTest, AScannerHeldByAnotherHostGivesTheBusyStatus) {
  cavixsim::SimConfig config;
  config.listenAddress = "127.0.0.211";
  cavixsim::DeviceSimulator sim(config);
  std::string error;
  ASSERT_TRUE(sim.Start(&error)) << error;
  const std::string name = DeviceName::Network("127.0.0.211", "02:00:7F:00:00:D3");
  // This process is the other host: it holds the scanner lock.
  void* p = nullptr;
  ASSERT_EQ(CoCreateInstanceFromModule(kModule, CLSID_CavixScanner, IID_IScanner, &p), S_OK);
  IScanner* scanner = static_cast<IScanner*>(p);
  const std::u16string wide = DeviceName::Wide(name);
  DWORD session = 0, code = 0;
  ASSERT_EQ(scanner->OpenScannerSession(wide.c_str(), C_IOTYPE_NETWORK, &session, &code), S_OK) << code;
  ASSERT_EQ(scanner->LockScanner(session, C_LOCK_PROCESS, 1000, &code), S_OK) << code;

  tooltest::ProcessResult r = Scan({"status", "--device", name, "--module", kModule, "--lock-timeout", "0"});
  EXPECT_EQ(r.exitStatus, 4) << r.err;
  EXPECT_EQ(r.out, "scanner: busy (another program holds it)\n");
  EXPECT_NE(r.err.find("another program is using the scanner (CERR_SCANNER_LOCK_FAILED, code 5"), std::string::npos)
      << r.err;

  scanner->UnlockScanner(session, &code);
  scanner->CloseScannerSession(session, &code);
  scanner->Release();
}

}  // namespace
