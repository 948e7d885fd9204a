// The built module end to end: loaded with dlopen alone (no test device), it scans a platen
// page from the simulated scanner (cavix-devsim, a process of its own on a loopback address)
// over the network. This also proves that the SOAP runtime finds its callbacks through
// libcavixsoapglue.so while the module exports only its four entry points.
#include <ftw.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/driver/DriverHost.h"

namespace {

constexpr const char* kSimAddress = "127.0.0.63";
constexpr const char* kDeviceName =
    "\\\\?\\cavixnet#\\macaddr:00:1B:78:AA:BB:3F\\port1\\ipaddr:127.0.0.63\\guid{5D0C3A41-27E8-4B5A-9C11-0A2B3C4D5E6F}";

std::string g_tempDir;
std::string g_logFile;
DriverModuleEntries g_module;
pid_t g_sim = -1;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Starts cavix-devsim on kSimAddress and waits for its ready line.
bool StartSimulator(std::string* readyLine) {
  int out[2];
  if (pipe(out) != 0) return false;
  g_sim = fork();
  if (g_sim == 0) {
    // The simulator goes with the test process, also when a failure aborts it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(out[1], 1);
    close(out[0]);
    execl(CAVIX_DEVSIM, CAVIX_DEVSIM, "--listen", kSimAddress, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  FILE* in = fdopen(out[0], "r");
  char line[256];
  bool ok = in != nullptr && std::fgets(line, sizeof line, in) != nullptr;
  if (ok) *readyLine = line;
  return ok;
}

// The end of the log, to show why a step failed.
std::string LogTail() {
  const std::string log = ReadFile(g_logFile);
  return log.size() > 4000 ? log.substr(log.size() - 4000) : log;
}

void StopSimulator() {
  if (g_sim <= 0) return;
  kill(g_sim, SIGTERM);
  int status = 0;
  waitpid(g_sim, &status, 0);
}

TEST(ModuleScan, ScansAPlatenPageFromTheSimulatedScanner) {
  IScanner* scanner = CreateScanner(g_module);
  ASSERT_NE(scanner, nullptr);
  const std::string name = kDeviceName;
  const std::u16string wide(name.begin(), name.end());
  DWORD session = 0, code = 0xDEAD;
  ASSERT_EQ(scanner->OpenScannerSession(wide.c_str(), C_IOTYPE_NETWORK, &session, &code), S_OK);
  ASSERT_EQ(code, 0u);
  ASSERT_EQ(scanner->LockScanner(session, C_LOCK_PROCESS, 10000, &code), S_OK);

  SCANNER_CAPABILITIES caps{};
  ASSERT_EQ(scanner->GetScannerCapabilities(session, &caps, &code), S_OK);
  EXPECT_STREQ(reinterpret_cast<const char*>(caps.byModelNumber), "vqm440");

  SCANNER_PARAMETERS params{};
  params.wScanMethod = C_SCANMETHOD_FLATBED;
  params.dwWidth = 300;
  params.dwLength = 400;
  params.dwScanMode = C_SCANMODE_GREYSCALE;
  params.byBitsPerChannel = 8;
  params.wXResolution = 300;
  params.wYResolution = 300;
  ASSERT_EQ(scanner->SetScannerParameters(session, &params, &code), S_OK) << code;
  BUFFER_INFO info{};
  ASSERT_EQ(scanner->GetBufferInfo(session, &params, &info, &code), S_OK) << code;
  const uint64_t pageBytes = uint64_t(info.dwBytesPerLine) * info.dwPixelHeight;
  ASSERT_GT(pageBytes, 0u);

  // A SOAP exchange of its own: the feeder state comes from the scanner's elements.
  IADF2* adf = nullptr;
  ASSERT_EQ(scanner->QueryInterface(IID_IADF2, reinterpret_cast<void**>(&adf)), S_OK);
  BYTE ready = 7;
  EXPECT_EQ(adf->ADFIsReady(session, &ready, &code), S_OK) << code << "\n" << LogTail();
  EXPECT_TRUE(ready == 0 || ready == 1);
  adf->Release();

  ASSERT_EQ(scanner->StartScan(session, &code), S_OK) << code << "\n" << LogTail();
  std::vector<BYTE> buffer(8192);
  uint64_t total = 0;
  HRESULT hr = S_OK;
  for (int reads = 0; reads < 100000; ++reads) {
    DWORD got = 0;
    hr = scanner->ReadScanEx(session, buffer.data(), static_cast<DWORD>(buffer.size()), &got, &code);
    if (hr != S_OK) break;
    total += got;
    if (code == CERR_SCANNER_END_OF_PAGE) break;
  }
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(code, static_cast<DWORD>(CERR_SCANNER_END_OF_PAGE));
  EXPECT_EQ(total, pageBytes);
  EXPECT_EQ(scanner->StopScan(session, &code), S_OK) << code;
  EXPECT_EQ(scanner->UnlockScanner(session, &code), S_OK);
  EXPECT_EQ(scanner->CloseScannerSession(session, &code), S_OK);
  scanner->Release();

  const std::string log = ReadFile(g_logFile);
  EXPECT_NE(log.find("+++SoapScanDevice::BeginScan"), std::string::npos);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  char dir[] = "/tmp/cavix-driver-scan-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  g_tempDir = dir;
  g_logFile = g_tempDir + "/driver.log";
  {
    std::ofstream out(g_tempDir + "/hklm.reg");
    out << "Windows Registry Editor Version 5.00\n\n"
        << "[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\{1422B44C-CBF9-440D-A286-44AD4F87BF5F}]\n"
        << "\"LogEnabled\"=dword:00000001\n\"LogLevel\"=dword:b000005e\n\"LogDestination\"=dword:00000001\n"
        << "\"LogFile\"=\"" << g_logFile << "\"\n\n";
  }
  setenv("CAVIX_REGISTRY_HKLM", (g_tempDir + "/hklm.reg").c_str(), 1);
  setenv("CAVIX_REGISTRY_HKCU", (g_tempDir + "/hkcu.reg").c_str(), 1);
  setenv("CAVIX_LOCK_DIR", (g_tempDir + "/locks").c_str(), 1);
  unsetenv("CAVIX_TEST_DEVICE_PLUGIN");
  unsetenv("CAVIX_NEIGHBOUR_TABLE");

  int rc = 1;
  std::string ready;
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
  if (!listing && !StartSimulator(&ready)) {
    std::fprintf(stderr, "cavix-devsim did not start\n");
  } else {
    std::string error = LoadDriverModuleOnly(CAVIX_DRIVER_MODULE, &g_module);
    if (!error.empty()) {
      std::fprintf(stderr, "%s\n", error.c_str());
    } else {
      rc = RUN_ALL_TESTS();
    }
  }
  StopSimulator();
  nftw(g_tempDir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  return rc;
}
