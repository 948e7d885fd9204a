// Soak test of the scan path: feeder pages through the in-process simulated scanner on
// 127.0.93.x with random device faults (jams, open cover, mispicks, full storage, a busy or
// not-accepting scanner, dropped connections, slow transfers, refused pages and cancels) and
// random host cancels, first from two host threads of this process sharing one device under
// the thread lock, then from two host processes contending for the scanner lock, then with
// the lock holder killed. Every page must arrive whole and equal to what the simulator sent, or
// end with an error code that the injected fault documents; no call may outlast its documented
// limit (shortened); threads, descriptors, page mappings, temporary files and the scanner lock
// must all be given back.
//
// The seed comes from CAVIX_SOAK_SEED when set, else from the clock; it is printed at the start
// and with every failure. The program also serves as the child host processes
// (--soak-child, --soak-holder).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "driver/CScannerLock2.h"
#include "driver/CavixDriver.h"
#include "driver/CavixErrors.h"
#include "driver/DriverModule.h"
#include "platform/Mutex.h"
#include "platform/NamedLock.h"
#include "sim/DeviceSimulator.h"
#include "tests/device/DeviceTestSupport.h"
#include "tests/soak/SoakTestSupport.h"
#include "tests/support/HostCalls.h"

extern char** environ;

namespace {

using cavixsim::DeviceSimulator;
using cavixsim::InjectedFault;
using cavixsim::Operation;
using cavixsim::SimConfig;
using namespace soak;

constexpr const char* kAddress = "127.0.93.1";
constexpr int kThreadPages = 120;      // page attempts of the two threads
constexpr int kChildPages = 40;        // page attempts of each of the two processes
constexpr DWORD kLockWaitMs = 30000;   // a host's wait for the scanner lock

std::string DeviceName() {
  return std::string("\\\\?\\cavixnet#\\macaddr:00:1B:78:93:00:01\\port1\\ipaddr:") + kAddress +
         "\\guid{5D0A93C1-3E2F-4A55-8B6C-0D1E2F3A4B93}";
}
using testsupport::Wide;

uint64_t SeedFromEnvironment() {
  if (const char* s = getenv("CAVIX_SOAK_SEED")) return std::strtoull(s, nullptr, 0);
  return static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
}

// Page parameters of a host (units 1/300 inch): a 2 x 1.5 inch region at 100 dpi, in one of
// the modes that come as JPEG (grey, colour) or raw rows (black and white).
SCANNER_PARAMETERS FeederParameters(Random& rnd) {
  static const struct { DWORD mode; BYTE bits; } modes[] = {
      {C_SCANMODE_GREYSCALE, 8}, {C_SCANMODE_COLOR, 8}, {C_SCANMODE_BW, 1}};
  const auto& m = modes[rnd.Between(0, 2)];
  SCANNER_PARAMETERS p;
  std::memset(&p, 0, sizeof p);
  p.wScanMethod = C_SCANMETHOD_ADF;
  p.dwWidth = 600;
  p.dwLength = 450;
  p.dwScanMode = m.mode;
  p.byBitsPerChannel = m.bits;
  p.wXResolution = 100;
  p.wYResolution = 100;
  return p;
}

// A host's driver object and session. One thread uses it at a time.
struct Host {
  explicit Host(CallClock& clock) : clock(clock) {}
  ~Host() {
    if (adf2) adf2->Release();
    if (scanner) scanner->Release();
  }
  bool Open() {
    if (CavixDriver::Create(nullptr, IID_IScanner, reinterpret_cast<void**>(&scanner)) != S_OK) return false;
    if (scanner->QueryInterface(IID_IADF2, reinterpret_cast<void**>(&adf2)) != S_OK) return false;
    const std::u16string name = Wide(DeviceName());
    DWORD code = 0;
    return clock.Time(Call::Open, [&] { return scanner->OpenScannerSession(name.c_str(), C_IOTYPE_NETWORK, &session, &code); }) == S_OK;
  }
  HRESULT Close() {
    DWORD code = 0;
    return clock.Time(Call::Close, [&] { return scanner->CloseScannerSession(session, &code); });
  }
  HRESULT Lock(WORD type) {
    DWORD code = 0;
    return clock.Time(Call::Lock, [&] { return scanner->LockScanner(session, type, kLockWaitMs, &code); }, kLockWaitMs);
  }
  HRESULT Unlock() {
    DWORD code = 0;
    return scanner->UnlockScanner(session, &code);
  }
  // Feeder options (simplex, multi-page flow) and the page parameters; the page size in bytes.
  uint64_t Prepare(SCANNER_PARAMETERS p) {
    DWORD code = 0;
    if (adf2->SetADFOptions(session, 0x4, &code) != S_OK) return 0;
    if (clock.Time(Call::Parameters, [&] { return scanner->SetScannerParameters(session, &p, &code); }) != S_OK) return 0;
    BUFFER_INFO info{};
    if (scanner->GetBufferInfo(session, &p, &info, &code) != S_OK) return 0;
    return uint64_t(info.dwBytesPerLine) * info.dwPixelHeight;
  }
  // 1 loaded, 0 empty, -1 the query failed (code in *failure).
  int AdfReady(DWORD* failure) {
    BYTE ready = 0;
    DWORD code = 0;
    if (clock.Time(Call::AdfReady, [&] { return adf2->ADFIsReady(session, &ready, &code); }) != S_OK) {
      *failure = code;
      return -1;
    }
    return ready ? 1 : 0;
  }
  HRESULT Eject() {
    DWORD code = 0;
    return clock.Time(Call::Eject, [&] { return adf2->ADFEjectMedia(session, &code); });
  }
  HRESULT Reset() {
    DWORD code = 0;
    return scanner->ResetScanner(session, &code);
  }

  CallClock& clock;
  IScanner* scanner = nullptr;
  IADF2* adf2 = nullptr;
  DWORD session = 0;
};

CancelAt PickCancel(Random& rnd) {
  const int r = rnd.Between(0, 99);
  if (r < 8) return CancelAt::BeforeRead;
  if (r < 25) return CancelAt::MidPage;
  return CancelAt::Never;
}

// ---- device scenarios of the thread rounds -------------------------------------------------

// A round's device fault and the error codes it documents for the host.
struct Scenario {
  std::string name;
  std::set<DWORD> codes;
};

Scenario PickScenario(Random& rnd, int sheets, SimConfig& config) {
  const int fault = rnd.Between(0, 10);
  const int sheet = rnd.Between(1, sheets);
  InjectedFault f;
  switch (fault) {
    case 1:
      config.jamAtSheet = sheet;
      return {"jam at sheet " + std::to_string(sheet), {CERR_ADF_JAMMED}};
    case 2:
      config.coverOpenAtSheet = sheet;
      return {"cover open at sheet " + std::to_string(sheet), {CERR_ADF_HATCH_OPEN}};
    case 3:
      config.mispickAtSheet = sheet;
      return {"mispick at sheet " + std::to_string(sheet), {CERR_ADF_PICK_FAILED}};
    case 4:
      // Full storage is a busy condition: the host sees the communication failure code.
      config.storageFullAtSheet = sheet;
      return {"storage full at sheet " + std::to_string(sheet), {CERR_SCANNER_COMMUNICATION_FAILED}};
    case 5:
      config.scannerCondition = cavixsim::kScannerBusy;
      return {"scanner busy", {CERR_SCANNER_COMMUNICATION_FAILED}};
    case 6:
      // Refuses new jobs for a moment; the driver waits for the scanner to become idle.
      config.notAcceptingSeconds = 0.2;
      return {"not accepting jobs for 0.2 s", {CERR_SCANNER_COMMUNICATION_FAILED}};
    case 7:
      config.closeMidPage = sheet;
      return {"connection dropped in page " + std::to_string(sheet),
              {CERR_SCANNER_COMMUNICATION_FAILED, CERR_UNKNOWN}};
    case 8:
      config.rateBytesPerSecond = 400000;
      return {"slow transfer", {}};
    case 9:
      f.op = Operation::RetrieveImage;
      f.fault.code = "Receiver";
      f.fault.subcode = "wscn:ServerErrorTemporaryError";
      f.fault.reason = "Temporary error";
      f.remaining = 1;
      f.after = sheet - 1;
      config.faults.push_back(f);
      return {"page " + std::to_string(sheet) + " refused", {CERR_UNKNOWN}};
    case 10:
      config.cancelJobIdNotFound = 3;
      return {"cancels answered job id not found", {}};
    default:
      return {"no fault", {}};
  }
}

// Codes a host cancel may leave to the pages after it: the cancel's own, and the end of the
// feeder when the cancelled job took the last sheet.
const std::set<DWORD> kAfterCancelCodes = {CERR_CANCEL_PRESSED, CERR_ADF_EMPTY};

struct Tally {
  int attempts = 0;
  int whole = 0;
  int hostCancels = 0;
  std::map<DWORD, int> errors;  // documented error endings by code
  int faultRounds = 0;
  void Print(const char* what) const {
    std::cout << "[soak] " << what << ": " << attempts << " page attempts, " << whole << " whole, " << hostCancels
              << " host cancels, errors:";
    for (const auto& e : errors) std::cout << " " << e.first << "x" << e.second;
    if (faultRounds) std::cout << ", " << faultRounds << " rounds with device faults";
    std::cout << std::endl;
  }
};

class SoakTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    seed_ = SeedFromEnvironment();
    std::cout << "[soak] seed " << seed_ << " (set CAVIX_SOAK_SEED=" << seed_ << " to repeat)" << std::endl;
  }

  void SetUp() override {
    sandbox_ = std::make_unique<devicetest::Sandbox>();
    tmpDir_ = sandbox_->Path("tmp");
    ASSERT_EQ(0, mkdir(tmpDir_.c_str(), 0700));
    setenv("TMPDIR", tmpDir_.c_str(), 1);
    // CAVIX_SOAK_LOG=FILE: the driver's log at every level, copied to FILE at the end.
    if (getenv("CAVIX_SOAK_LOG")) sandbox_->CaptureLog();
    DriverModule::Load();
    ShortenTimeLimits();
    devicetest::ThreadCount();  // starts the runtime's helper threads before the baseline
    baseThreads_ = ThreadCount();
    baseFds_ = DescriptorCount();
    baseMappings_ = SharedMappingCount();
  }

  void TearDown() override {
    DriverModule::Unload();
    if (const char* keep = getenv("CAVIX_SOAK_LOG")) devicetest::WriteText(keep, sandbox_->Log());
    unsetenv("TMPDIR");
    sandbox_.reset();
  }

  void StartSim(SimConfig config) {
    config.listenAddress = kAddress;
    config.keepPageBytes = true;
    sim_ = std::make_unique<DeviceSimulator>(config);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
  }
  void Reconfigure(SimConfig config) {
    config.keepPageBytes = true;
    std::string error;
    ASSERT_TRUE(sim_->Reconfigure(config, &error)) << error;
  }

  // The round's exchanges as the scanner saw them, to tell what a failed page went through.
  void PrintRequests() const {
    for (const cavixsim::RequestRecord& r : sim_->Requests())
      std::cout << "[soak]   " << r.msSinceStart << " ms " << cavixsim::OperationName(r.op) << " job " << r.jobId
                << (r.faultSubcode.empty() ? "" : " -> " + r.faultSubcode) << std::endl;
  }

  // Every whole page equals a distinct page the simulator sent whole.
  void CheckWholePages(const std::vector<uint64_t>& hostHashes) {
    std::multiset<uint64_t> sent = WholePageHashes(sim_->SentPages());
    for (uint64_t h : hostHashes) {
      auto it = sent.find(h);
      EXPECT_TRUE(it != sent.end()) << "a page the host read whole differs from every page the scanner sent";
      if (it != sent.end()) sent.erase(it);
    }
  }

  // Nothing of the driver is left once its sessions are closed and the scanner is gone.
  void CheckNothingLeft() {
    sim_->Stop();
    // No more threads than before: a thread that was still ending when the count before was
    // taken may have gone since.
    EXPECT_TRUE(devicetest::Eventually([&] { return ThreadCount() <= baseThreads_; }))
        << ThreadCount() << " threads, " << baseThreads_ << " before";
    EXPECT_TRUE(devicetest::Eventually([&] { return DescriptorCount() == baseFds_; }))
        << DescriptorCount() << " descriptors, " << baseFds_ << " before";
    EXPECT_EQ(baseMappings_, SharedMappingCount());
    EXPECT_EQ(0, CountEntries(tmpDir_)) << "temporary files left in " << tmpDir_;
    EXPECT_TRUE(LockIsFree());
  }

  static bool LockIsFree() {
    NamedLock lock(CScannerLock2::SemaphoreName(DeviceName().c_str()));
    if (!lock.Acquire(0)) return false;
    lock.Release();
    return true;
  }

  void CheckTimes(const CallClock& clock) {
    for (const std::string& late : clock.Late()) ADD_FAILURE() << late;
  }

  static inline uint64_t seed_ = 0;
  std::unique_ptr<devicetest::Sandbox> sandbox_;
  std::unique_ptr<DeviceSimulator> sim_;
  std::string tmpDir_;
  int baseThreads_ = 0;
  int baseFds_ = 0;
  int baseMappings_ = 0;
};

// ---- two host threads ------------------------------------------------------------------------

struct Round {
  Mutex lock;
  bool over GUARDED_BY(lock) = false;
  int errors GUARDED_BY(lock) = 0;
  bool cancelled GUARDED_BY(lock) = false;  // a host cancel happened in the round
  std::vector<uint64_t> wholeHashes GUARDED_BY(lock);
  std::vector<std::string> faults GUARDED_BY(lock);  // unexpected outcomes
};

TEST_F(SoakTest, FeederPagesFromTwoThreadsOnOneDevice) {
  SCOPED_TRACE("seed " + std::to_string(seed_));
  Random rnd(seed_);
  CallClock clock;
  ASSERT_NO_FATAL_FAILURE(StartSim(SimConfig()));
  // All opens of one device name in a process share one session (and its handle); its first
  // close ends it for everyone, so the threads share the one open and it is closed once.
  Host main(clock), a(clock), b(clock);
  ASSERT_TRUE(main.Open());
  for (Host* h : {&a, &b}) {
    ASSERT_EQ(S_OK, CavixDriver::Create(nullptr, IID_IScanner, reinterpret_cast<void**>(&h->scanner)));
    ASSERT_EQ(S_OK, h->scanner->QueryInterface(IID_IADF2, reinterpret_cast<void**>(&h->adf2)));
    h->session = main.session;
  }

  Tally tally;
  std::atomic<int> attempts{0};
  for (int round = 0; attempts < kThreadPages && round < 200; ++round) {
    SimConfig config;
    config.listenAddress = kAddress;
    config.adfSheets = rnd.Between(1, 5);
    config.padLines = static_cast<uint32_t>(rnd.Between(0, 3));
    const Scenario scenario = PickScenario(rnd, config.adfSheets, config);
    if (!scenario.codes.empty()) ++tally.faultRounds;
    SCOPED_TRACE("round " + std::to_string(round) + ": " + scenario.name);
    ASSERT_NO_FATAL_FAILURE(Reconfigure(config));

    // The round's parameters, and a device without a job left from the round before.
    ASSERT_EQ(S_OK, main.Lock(C_LOCK_THREAD));
    const uint64_t pageBytes = main.Prepare(FeederParameters(rnd));
    EXPECT_EQ(S_OK, main.Reset());
    ASSERT_EQ(S_OK, main.Unlock());
    ASSERT_NE(0u, pageBytes);

    Round state;
    auto worker = [&](Host& host, uint64_t threadSeed) {
      Random r(threadSeed);
      for (;;) {
        if (host.Lock(C_LOCK_THREAD) != S_OK) {
          MutexLock g(state.lock);
          state.faults.push_back("LockScanner failed");
          state.over = true;
          return;
        }
        bool over;
        {
          MutexLock g(state.lock);
          over = state.over || attempts >= kThreadPages;
        }
        if (!over) {
          DWORD failure = 0;
          const int ready = host.AdfReady(&failure);
          MutexLock g(state.lock);
          if (ready < 0) {
            if (!scenario.codes.count(failure) && !(state.cancelled && kAfterCancelCodes.count(failure)))
              state.faults.push_back("ADFIsReady failed with " + std::to_string(failure));
            state.over = true;
          } else if (ready == 0) {
            state.over = true;
          }
          over = state.over;
        }
        if (!over) {
          const CancelAt cancel = PickCancel(r);
          const PageResult page = ScanPage(host.scanner, host.session, pageBytes, cancel, r, clock);
          ++attempts;
          MutexLock g(state.lock);
          ++tally.attempts;
          if (page.stopResult != S_OK) state.faults.push_back("StopScan failed");
          switch (page.outcome) {
            case Outcome::Whole:
              ++tally.whole;
              if (page.bytes.size() != pageBytes)
                state.faults.push_back("whole page of " + std::to_string(page.bytes.size()) + " bytes");
              state.wholeHashes.push_back(DeviceSimulator::Hash(page.bytes));
              break;
            case Outcome::HostCancel:
              ++tally.hostCancels;
              state.cancelled = true;
              break;
            case Outcome::Error:
              ++tally.errors[page.code];
              if (!scenario.codes.count(page.code) && !(state.cancelled && kAfterCancelCodes.count(page.code)))
                state.faults.push_back(page.where + " failed with code " + std::to_string(page.code) +
                                       " (result " + std::to_string(page.hr) + ")");
              if (++state.errors >= 2) state.over = true;
              break;
          }
        }
        host.Unlock();
        if (over) return;
      }
    };
    std::thread ta(worker, std::ref(a), seed_ * 7919 + round * 2);
    std::thread tb(worker, std::ref(b), seed_ * 7919 + round * 2 + 1);
    ta.join();
    tb.join();
    {
      MutexLock g(state.lock);
      for (const std::string& f : state.faults) ADD_FAILURE() << f;
      if (!state.faults.empty()) PrintRequests();
      CheckWholePages(state.wholeHashes);
    }
    if (HasFailure()) break;
  }
  tally.Print("two threads");
  EXPECT_GE(tally.attempts, kThreadPages);
  EXPECT_GT(tally.whole, 0);
  EXPECT_EQ(S_OK, main.Close());
  CheckTimes(clock);
  std::cout << "[soak] " << clock.Calls() << " timed calls, longest " << clock.Longest() << std::endl;
  CheckNothingLeft();
}

// ---- two host processes, then a killed holder --------------------------------------------------

pid_t Spawn(const std::vector<std::string>& args, int* stdoutPipe = nullptr) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int fds[2] = {-1, -1};
  if (stdoutPipe) {
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  }
  pid_t pid = -1;
  if (posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (stdoutPipe) {
    close(fds[1]);
    *stdoutPipe = fds[0];
  }
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(SoakTest, FeederPagesFromTwoProcessesOnOneDeviceAndAKilledLockHolder) {
  SCOPED_TRACE("seed " + std::to_string(seed_));
  Random rnd(seed_ ^ 0x5eed);
  SimConfig config;
  config.adfSheets = 1000;
  config.feederCapacity = 1000;
  config.padLines = 2;
  config.rateBytesPerSecond = 4000000;
  config.closeMidPage = rnd.Between(5, 40);
  config.cancelJobIdNotFound = 2;
  InjectedFault refused;
  refused.op = Operation::RetrieveImage;
  refused.fault.code = "Receiver";
  refused.fault.subcode = "wscn:ServerErrorTemporaryError";
  refused.fault.reason = "Temporary error";
  refused.remaining = 1;
  refused.after = rnd.Between(3, 40);
  config.faults.push_back(refused);
  InjectedFault notAccepting;
  notAccepting.op = Operation::CreateScanJob;
  notAccepting.fault.code = "Receiver";
  notAccepting.fault.subcode = "wscn:ServerErrorNotAcceptingJobs";
  notAccepting.fault.reason = "Not accepting jobs";
  notAccepting.remaining = 1;
  notAccepting.after = rnd.Between(1, 10);
  config.faults.push_back(notAccepting);
  SCOPED_TRACE("dropped connection in page " + std::to_string(config.closeMidPage) + ", page refused after " +
               std::to_string(refused.after) + ", job refused after " + std::to_string(notAccepting.after));
  ASSERT_NO_FATAL_FAILURE(StartSim(config));

  // Two processes, each with its share of pages, contending for the scanner lock.
  std::vector<pid_t> children;
  std::vector<std::string> results;
  for (int i = 0; i < 2; ++i) {
    results.push_back(sandbox_->Path("child" + std::to_string(i) + ".txt"));
    children.push_back(Spawn({"soak", "--soak-child", results.back(), std::to_string(seed_ * 31 + i),
                              std::to_string(kChildPages)}));
    ASSERT_GT(children.back(), 0);
  }
  for (pid_t pid : children) EXPECT_EQ(0, WaitExit(pid));

  // The documented endings of the faults above: a refused page and a dropped connection.
  const std::set<DWORD> codes = {CERR_UNKNOWN, CERR_SCANNER_COMMUNICATION_FAILED};
  Tally tally;
  std::vector<uint64_t> wholeHashes;
  for (const std::string& path : results) {
    std::ifstream in(path);
    std::string line;
    bool done = false;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string kind;
      fields >> kind;
      if (kind == "whole") {
        uint64_t hash = 0;
        fields >> hash;
        wholeHashes.push_back(hash);
        ++tally.whole;
        ++tally.attempts;
      } else if (kind == "cancel") {
        ++tally.hostCancels;
        ++tally.attempts;
      } else if (kind == "error") {
        DWORD code = 0;
        fields >> code;
        ++tally.errors[code];
        ++tally.attempts;
        if (!codes.count(code) && !kAfterCancelCodes.count(code)) ADD_FAILURE() << path << ": " << line;
      } else if (kind == "done") {
        done = true;
      } else {
        ADD_FAILURE() << path << ": " << line;
      }
    }
    EXPECT_TRUE(done) << path << " has no end line";
  }
  tally.Print("two processes");
  EXPECT_GE(tally.attempts, 2 * kChildPages);
  EXPECT_GT(tally.whole, 0);
  CheckWholePages(wholeHashes);
  EXPECT_TRUE(LockIsFree());

  // A holder killed while it reads a slowly sent page leaves the scanner lock free.
  SimConfig slow;
  slow.listenAddress = kAddress;
  slow.adfSheets = 5;
  slow.rateBytesPerSecond = 2000;
  ASSERT_NO_FATAL_FAILURE(Reconfigure(slow));
  int out = -1;
  const pid_t holder = Spawn({"soak", "--soak-holder"}, &out);
  ASSERT_GT(holder, 0);
  char said[16] = {};
  ssize_t n = read(out, said, sizeof said - 1);
  close(out);
  kill(holder, SIGKILL);
  EXPECT_EQ(128 + SIGKILL, WaitExit(holder));
  ASSERT_GT(n, 0);
  EXPECT_EQ("locked\n", std::string(said, static_cast<size_t>(n)));
  EXPECT_TRUE(LockIsFree());

  // The device serves the next host: its lock at once, a whole page.
  SimConfig normal;
  normal.listenAddress = kAddress;
  normal.adfSheets = 1;
  ASSERT_NO_FATAL_FAILURE(Reconfigure(normal));
  CallClock clock;
  {
    Host host(clock);
    ASSERT_TRUE(host.Open());
    DWORD code = 0;
    EXPECT_EQ(S_OK, host.scanner->LockScanner(host.session, C_LOCK_PROCESS, 0, &code)) << code;
    Random r(seed_);
    const uint64_t pageBytes = host.Prepare(FeederParameters(r));
    const PageResult page = ScanPage(host.scanner, host.session, pageBytes, CancelAt::Never, r, clock);
    EXPECT_TRUE(page.outcome == Outcome::Whole) << page.where << " " << page.code;
    CheckWholePages({DeviceSimulator::Hash(page.bytes)});
    EXPECT_EQ(S_OK, host.Unlock());
    EXPECT_EQ(S_OK, host.Close());
  }
  CheckTimes(clock);
  CheckNothingLeft();
}

// ---- the child host processes -------------------------------------------------------------------

// Scans `pages` feeder pages in lock holds of one to three pages, each hold ending its job;
// writes one line a page ("whole HASH", "cancel", "error CODE WHERE"), one line per call that
// outlasted its bound ("late ...") and "done" at the end.
int ChildMain(const std::string& resultPath, uint64_t seed, int pages) {
  std::ofstream out(resultPath);
  DriverModule::Load();
  ShortenTimeLimits();
  Random rnd(seed);
  CallClock clock;
  int attempts = 0;
  {
    Host host(clock);
    if (!host.Open()) {
      out << "fail open\n";
      return 1;
    }
    // A scanner that stops answering ends the child instead of keeping it trying for good.
    constexpr int kIdleHoldsLimit = 50;
    int idleHolds = 0;
    while (attempts < pages) {
      if (++idleHolds > kIdleHoldsLimit) {
        out << "fail no page in " << kIdleHoldsLimit << " holds\n";
        break;
      }
      if (host.Lock(C_LOCK_PROCESS) != S_OK) {
        out << "fail lock\n";
        break;
      }
      const uint64_t pageBytes = host.Prepare(FeederParameters(rnd));
      if (pageBytes == 0) out << "fail parameters\n";
      bool cancelled = false;
      for (int k = rnd.Between(1, 3); k > 0 && attempts < pages && pageBytes; --k) {
        DWORD failure = 0;
        const int ready = host.AdfReady(&failure);
        if (ready != 1) {
          out << "fail ADFIsReady " << ready << " " << failure << "\n";
          break;
        }
        const CancelAt cancel = PickCancel(rnd);
        const PageResult page = ScanPage(host.scanner, host.session, pageBytes, cancel, rnd, clock);
        ++attempts;
        idleHolds = 0;
        if (page.stopResult != S_OK) out << "fail StopScan\n";
        if (page.outcome == Outcome::Whole) {
          if (page.bytes.size() != pageBytes) out << "fail size " << page.bytes.size() << "\n";
          out << "whole " << DeviceSimulator::Hash(page.bytes) << "\n";
        } else if (page.outcome == Outcome::HostCancel) {
          cancelled = true;
          out << "cancel\n";
        } else {
          out << "error " << page.code << " " << page.where << (cancelled ? " after-cancel" : "") << "\n";
          break;
        }
      }
      // The hold ends its job, so that the other process starts a job of its own.
      if (host.Eject() != S_OK) out << "fail ADFEjectMedia\n";
      if (host.Unlock() != S_OK) out << "fail unlock\n";
      // A pause between holds longer than the lock's polling back-off (50 ms): a host that takes
      // the lock again at once can keep a polling waiter out for good.
      std::this_thread::sleep_for(std::chrono::milliseconds(rnd.Between(60, 120)));
    }
    if (host.Close() != S_OK) out << "fail close\n";
  }
  for (const std::string& late : clock.Late()) out << "late " << late << "\n";
  DriverModule::Unload();
  out << "done\n";
  out.flush();
  return out ? 0 : 1;
}

// Takes the scanner lock, starts a page and reads its first bytes, says "locked" and keeps
// reading until it is killed.
int HolderMain() {
  DriverModule::Load();
  ShortenTimeLimits();
  CallClock clock;
  Host host(clock);
  if (!host.Open() || host.Lock(C_LOCK_PROCESS) != S_OK) return 1;
  Random rnd(1);
  const uint64_t pageBytes = host.Prepare(FeederParameters(rnd));
  DWORD code = 0;
  if (pageBytes == 0 || host.scanner->StartScan(host.session, &code) != S_OK) return 2;
  BYTE buffer[256];
  DWORD got = 0;
  if (host.scanner->ReadScanEx(host.session, buffer, sizeof buffer, &got, &code) != S_OK) return 3;
  if (write(1, "locked\n", 7) != 7) return 4;
  for (;;) {
    if (host.scanner->ReadScanEx(host.session, buffer, sizeof buffer, &got, &code) != S_OK) pause();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--soak-child")
    return ChildMain(argv[2], std::strtoull(argv[3], nullptr, 10), std::atoi(argv[4]));
  if (argc == 2 && std::string(argv[1]) == "--soak-holder") return HolderMain();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
