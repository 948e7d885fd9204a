// The built backend libsane-cavix.so.1 as a frontend uses it, against simulated scanners that
// the test starts on loopback addresses: pages read to SANE_STATUS_EOF equal the pages sent,
// failures come back as SANE statuses at sane_start, sane_cancel from a signal handler stops a
// page and the handle scans again; scanimage --batch through the dll meta-backend writes a
// three-sheet duplex job as six PNM pages equal to the scanner's; and scanimage -L lists the
// configured devices, then the scanners discovery finds on the (loopback) network.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <sane/sane.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <sys/stat.h>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "ToolTestSupport.h"
#include "sim/DeviceSimulator.h"
#include "tools/DeviceName.h"

using tooltest::Image;

namespace {

const std::string kModule = CAVIX_MODULE_PATH;
const std::string kBackendDir = CAVIX_SANE_BACKEND_DIR;

// The backend's entry points, looked up by the names the dll meta-backend uses.
struct Backend {
  void* lib = nullptr;
  SANE_Status (*init)(SANE_Int*, SANE_Auth_Callback) = nullptr;
  void (*exit)() = nullptr;
  SANE_Status (*getDevices)(const SANE_Device***, SANE_Bool) = nullptr;
  SANE_Status (*open)(SANE_String_Const, SANE_Handle*) = nullptr;
  void (*close)(SANE_Handle) = nullptr;
  SANE_Status (*control)(SANE_Handle, SANE_Int, SANE_Action, void*, SANE_Int*) = nullptr;
  const SANE_Option_Descriptor* (*descriptor)(SANE_Handle, SANE_Int) = nullptr;
  SANE_Status (*parameters)(SANE_Handle, SANE_Parameters*) = nullptr;
  SANE_Status (*start)(SANE_Handle) = nullptr;
  SANE_Status (*read)(SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int*) = nullptr;
  void (*cancel)(SANE_Handle) = nullptr;
  SANE_Status (*ioMode)(SANE_Handle, SANE_Bool) = nullptr;
  SANE_Status (*selectFd)(SANE_Handle, SANE_Int*) = nullptr;

  bool Load() {
    lib = dlopen((kBackendDir + "/libsane-cavix.so.1").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) return false;
    auto sym = [this](const char* n) { return dlsym(lib, (std::string("sane_cavix_") + n).c_str()); };
    init = reinterpret_cast<decltype(init)>(sym("init"));
    exit = reinterpret_cast<decltype(exit)>(sym("exit"));
    getDevices = reinterpret_cast<decltype(getDevices)>(sym("get_devices"));
    open = reinterpret_cast<decltype(open)>(sym("open"));
    close = reinterpret_cast<decltype(close)>(sym("close"));
    control = reinterpret_cast<decltype(control)>(sym("control_option"));
    descriptor = reinterpret_cast<decltype(descriptor)>(sym("get_option_descriptor"));
    parameters = reinterpret_cast<decltype(parameters)>(sym("get_parameters"));
    start = reinterpret_cast<decltype(start)>(sym("start"));
    read = reinterpret_cast<decltype(read)>(sym("read"));
    cancel = reinterpret_cast<decltype(cancel)>(sym("cancel"));
    ioMode = reinterpret_cast<decltype(ioMode)>(sym("set_io_mode"));
    selectFd = reinterpret_cast<decltype(selectFd)>(sym("get_select_fd"));
    return init && exit && getDevices && open && close && control && descriptor && parameters && start && read &&
           cancel && ioMode && selectFd;
  }
};

Backend g_backend;
SANE_Handle g_signalHandle = nullptr;
void CancelFromSignal(int) { g_backend.cancel(g_signalHandle); }

class SaneBackendTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(g_backend.Load()) << dlerror(); }

  void SetUp() override {
    const char* old = std::getenv("SANE_CONFIG_DIR");
    oldConfigDir_ = old ? old : "";
    hadConfigDir_ = old != nullptr;
    ::setenv("SANE_CONFIG_DIR", scratch_.Path().c_str(), 1);
  }
  void TearDown() override {
    if (hadConfigDir_) ::setenv("SANE_CONFIG_DIR", oldConfigDir_.c_str(), 1);
    else ::unsetenv("SANE_CONFIG_DIR");
  }

  void StartScanner(int host, cavixsim::SimConfig config) {
    address_ = "127.0.78." + std::to_string(host);
    config.listenAddress = address_;
    config.keepPageBytes = true;
    sim_ = std::make_unique<cavixsim::DeviceSimulator>(config);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    std::ofstream(scratch_.File("cavix.conf")) << "# test devices\nmodule " << kModule << "\n" << address_ << "\n"
                                               << "127.0.78.250   # nobody listens here\n";
    std::ofstream(scratch_.File("dll.conf")) << "cavix\n";
  }

  void SetString(SANE_Handle h, const char* name, const char* value) {
    for (SANE_Int i = 0;; ++i) {
      const SANE_Option_Descriptor* d = g_backend.descriptor(h, i);
      ASSERT_NE(d, nullptr) << name;
      if (d->name && std::string(d->name) == name) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%s", value);
        ASSERT_EQ(g_backend.control(h, i, SANE_ACTION_SET_VALUE, buf, nullptr), SANE_STATUS_GOOD) << name;
        return;
      }
    }
  }
  void SetWord(SANE_Handle h, const char* name, SANE_Word value) {
    ASSERT_EQ(TrySetWord(h, name, value), SANE_STATUS_GOOD) << name;
  }
  SANE_Status TrySetWord(SANE_Handle h, const char* name, SANE_Word value) {
    for (SANE_Int i = 0;; ++i) {
      const SANE_Option_Descriptor* d = g_backend.descriptor(h, i);
      if (!d) return SANE_STATUS_UNSUPPORTED;
      if (d->name && std::string(d->name) == name)
        return g_backend.control(h, i, SANE_ACTION_SET_VALUE, &value, nullptr);
    }
  }
  SANE_Word GetWord(SANE_Handle h, const char* name) {
    for (SANE_Int i = 0;; ++i) {
      const SANE_Option_Descriptor* d = g_backend.descriptor(h, i);
      if (!d) return -1;
      SANE_Word v = -1;
      if (d->name && std::string(d->name) == name) {
        EXPECT_EQ(g_backend.control(h, i, SANE_ACTION_GET_VALUE, &v, nullptr), SANE_STATUS_GOOD);
        return v;
      }
    }
  }
  void SmallGrayArea(SANE_Handle h, const char* source) {
    SetString(h, "source", source);
    SetString(h, "mode", "Gray");
    SetWord(h, "resolution", 75);
    SetWord(h, "br-x", SANE_FIX(80.0));
    SetWord(h, "br-y", SANE_FIX(100.0));
  }
  // Reads until EOF; the status that ended the page.
  SANE_Status ReadPage(SANE_Handle h, std::vector<uint8_t>* bytes) {
    SANE_Byte buf[5000];
    for (;;) {
      SANE_Int n = 0;
      SANE_Status s = g_backend.read(h, buf, sizeof buf, &n);
      if (s != SANE_STATUS_GOOD) return s;
      bytes->insert(bytes->end(), buf, buf + n);
    }
  }
  // scanimage with the backend from the build tree and this test's configuration.
  tooltest::ProcessResult Scanimage(const std::vector<std::string>& args, const std::string& configDir = "") {
    return tooltest::Scanimage(args, kBackendDir, configDir.empty() ? scratch_.Path() : configDir);
  }
  // Compares the PNM files base1.pnm ... with the pages the scanner sent from `first` on.
  void ExpectPagesSent(const std::string& base, size_t count, size_t first = 0) {
    for (size_t i = 1; i <= count; ++i) {
      std::vector<Image> pages;
      std::string error;
      const std::string file = scratch_.File(base + std::to_string(i) + ".pnm");
      ASSERT_TRUE(tooltest::DecodePnm(file, &pages, &error)) << file << ": " << error;
      ASSERT_EQ(pages.size(), 1u);
      const Image want = Sent(first + i - 1);
      EXPECT_EQ(pages[0].width, want.width) << file;
      EXPECT_EQ(pages[0].height, want.height) << file;
      EXPECT_TRUE(pages[0].pixels == want.pixels) << file << " differs from the page sent";
    }
    EXPECT_FALSE(tooltest::Exists(scratch_.File(base + std::to_string(count + 1) + ".pnm")));
  }
  Image Sent(size_t index) {
    Image img;
    std::string error;
    const auto pages = sim_->SentPages();
    EXPECT_LT(index, pages.size());
    if (index < pages.size()) {
      EXPECT_TRUE(tooltest::DecodeSentPage(pages[index], &img, &error)) << error;
    }
    return img;
  }
  size_t CancelJobs() {
    size_t n = 0;
    for (const auto& r : sim_->Requests()) n += r.op == cavixsim::Operation::CancelJob;
    return n;
  }

  tooltest::Scratch scratch_;
  std::string oldConfigDir_;
  bool hadConfigDir_ = false;
  std::string address_;
  std::unique_ptr<cavixsim::DeviceSimulator> sim_;
};

TEST_F(SaneBackendTest, FailuresComeBackAsSaneStatusesAtStart) {
  cavixsim::SimConfig config;
  config.adfSheets = 2;
  config.jamAtSheet = 1;
  StartScanner(21, config);
  ASSERT_EQ(g_backend.init(nullptr, nullptr), SANE_STATUS_GOOD);
  const SANE_Device** devices = nullptr;
  ASSERT_EQ(g_backend.getDevices(&devices, SANE_TRUE), SANE_STATUS_GOOD);
  ASSERT_NE(devices[0], nullptr);
  EXPECT_EQ(std::string(devices[0]->name), address_);
  EXPECT_EQ(std::string(devices[1]->name), "127.0.78.250");
  EXPECT_EQ(devices[2], nullptr);
  SANE_Handle h = nullptr;
  ASSERT_EQ(g_backend.open(address_.c_str(), &h), SANE_STATUS_GOOD);
  SmallGrayArea(h, "ADF");
  EXPECT_EQ(g_backend.start(h), SANE_STATUS_JAMMED);

  config = cavixsim::SimConfig();
  config.adfSheets = 2;
  config.coverOpenAtSheet = 1;
  ASSERT_TRUE(sim_->Reconfigure(config));
  EXPECT_EQ(g_backend.start(h), SANE_STATUS_COVER_OPEN);

  config = cavixsim::SimConfig();
  config.adfSheets = 0;
  ASSERT_TRUE(sim_->Reconfigure(config));
  EXPECT_EQ(g_backend.start(h), SANE_STATUS_NO_DOCS);

  config = cavixsim::SimConfig();
  config.scannerCondition = cavixsim::kScannerBusy;
  ASSERT_TRUE(sim_->Reconfigure(config));
  SetString(h, "source", "Flatbed");
  EXPECT_EQ(g_backend.start(h), SANE_STATUS_DEVICE_BUSY);
  g_backend.close(h);

  ASSERT_EQ(g_backend.open("127.0.78.250", &h), SANE_STATUS_GOOD);
  SmallGrayArea(h, "Flatbed");
  EXPECT_EQ(g_backend.start(h), SANE_STATUS_IO_ERROR);
  g_backend.close(h);
  g_backend.exit();
}

TEST_F(SaneBackendTest, CancelFromASignalHandlerStopsThePageAndTheHandleScansAgain) {
  cavixsim::SimConfig config;
  config.rateBytesPerSecond = 30000;
  StartScanner(22, config);
  ASSERT_EQ(g_backend.init(nullptr, nullptr), SANE_STATUS_GOOD);
  SANE_Handle h = nullptr;
  ASSERT_EQ(g_backend.open(address_.c_str(), &h), SANE_STATUS_GOOD);
  SetString(h, "mode", "Lineart");
  SetWord(h, "resolution", 150);
  ASSERT_EQ(g_backend.start(h), SANE_STATUS_GOOD);
  SANE_Byte buf[1000];
  SANE_Int n = 0;
  ASSERT_EQ(g_backend.read(h, buf, sizeof buf, &n), SANE_STATUS_GOOD);
  g_signalHandle = h;
  struct sigaction sa = {};
  sa.sa_handler = CancelFromSignal;
  ::sigaction(SIGUSR1, &sa, nullptr);
  ::raise(SIGUSR1);
  std::vector<uint8_t> rest;
  EXPECT_EQ(ReadPage(h, &rest), SANE_STATUS_CANCELLED);
  ::signal(SIGUSR1, SIG_DFL);
  // The driver's cancel thread sends CancelJob after StopScan returned.
  for (int i = 0; i < 200 && CancelJobs() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_GE(CancelJobs(), 1u) << "the job is cancelled on the scanner";
  EXPECT_FALSE(sim_->SentPages()[0].complete);

  // The same handle scans a whole page next, equal to the page sent (small, so the slow
  // transfer does not matter).
  SmallGrayArea(h, "Flatbed");
  ASSERT_EQ(g_backend.start(h), SANE_STATUS_GOOD);
  SANE_Parameters p;
  ASSERT_EQ(g_backend.parameters(h, &p), SANE_STATUS_GOOD);
  std::vector<uint8_t> page;
  EXPECT_EQ(ReadPage(h, &page), SANE_STATUS_EOF);
  ASSERT_EQ(page.size(), size_t(p.bytes_per_line) * p.lines);
  const Image want = Sent(1);
  EXPECT_EQ(uint32_t(p.pixels_per_line), want.width);
  EXPECT_TRUE(page == want.pixels);
  // A cancel after the end of the page changes nothing, and the handle starts again.
  g_backend.cancel(h);
  ASSERT_EQ(g_backend.start(h), SANE_STATUS_GOOD);
  page.clear();
  EXPECT_EQ(ReadPage(h, &page), SANE_STATUS_EOF);
  EXPECT_TRUE(page == Sent(2).pixels);

  // A cancel from another thread ends a blocking read that waits in the driver for the rest of
  // a page that would take about 27 s to come.
  config.rateBytesPerSecond = 10000;
  ASSERT_TRUE(sim_->Reconfigure(config));
  SetString(h, "mode", "Lineart");
  SetWord(h, "resolution", 150);
  SetWord(h, "br-x", SANE_FIX(210.0));
  SetWord(h, "br-y", SANE_FIX(296.0));
  ASSERT_EQ(g_backend.start(h), SANE_STATUS_GOOD);
  ASSERT_EQ(g_backend.parameters(h, &p), SANE_STATUS_GOOD);
  ASSERT_GT(size_t(p.bytes_per_line) * p.lines, 250000u);
  std::vector<SANE_Byte> whole(size_t(p.bytes_per_line) * p.lines);
  std::thread canceller([h] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    g_backend.cancel(h);
  });
  const auto before = std::chrono::steady_clock::now();
  SANE_Status s = SANE_STATUS_GOOD;
  while (s == SANE_STATUS_GOOD) s = g_backend.read(h, whole.data(), static_cast<SANE_Int>(whole.size()), &n);
  EXPECT_EQ(s, SANE_STATUS_CANCELLED);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(15)) << "the cancel ends the read";
  canceller.join();
  EXPECT_FALSE(sim_->SentPages().back().complete);
  g_backend.close(h);
  g_backend.exit();
}

// The calls of the SANE standard around a scan, on one handle and on two of the same device.
TEST_F(SaneBackendTest, ParametersIoModesCancelAndTheLastPageFollowTheStandard) {
  cavixsim::SimConfig config;
  config.adfSheets = 1;
  config.rateBytesPerSecond = 200000;
  StartScanner(24, config);
  ASSERT_EQ(g_backend.init(nullptr, nullptr), SANE_STATUS_GOOD);
  SANE_Handle h = nullptr;
  ASSERT_EQ(g_backend.open(address_.c_str(), &h), SANE_STATUS_GOOD);
  SANE_Parameters p = {};
  SANE_Int fd = -1;
  EXPECT_EQ(g_backend.ioMode(h, SANE_TRUE), SANE_STATUS_INVAL) << "no scan yet";
  EXPECT_EQ(g_backend.ioMode(h, SANE_FALSE), SANE_STATUS_INVAL) << "no scan yet";
  EXPECT_EQ(g_backend.selectFd(h, &fd), SANE_STATUS_INVAL) << "no scan yet";

  // An empty area: the parameters are an empty frame, and sane_start refuses it.
  SetWord(h, "tl-x", SANE_FIX(300.0));
  ASSERT_EQ(g_backend.parameters(h, &p), SANE_STATUS_GOOD);
  EXPECT_EQ(p.pixels_per_line, 0);
  EXPECT_EQ(p.bytes_per_line, 0);
  EXPECT_EQ(g_backend.start(h), SANE_STATUS_INVAL);

  // The estimate before the scan is the scan's frame; below the minimum the area grows.
  SetWord(h, "tl-x", 0);
  SmallGrayArea(h, "Flatbed");
  SetWord(h, "br-x", SANE_FIX(250.0));
  SetWord(h, "tl-x", SANE_FIX(200.0));
  SetWord(h, "br-y", SANE_FIX(10.0));
  SANE_Parameters before = {};
  ASSERT_EQ(g_backend.parameters(h, &before), SANE_STATUS_GOOD);
  EXPECT_EQ(before.pixels_per_line, 144);  // 576 units at 75 dpi
  EXPECT_EQ(before.lines, 144);
  ASSERT_EQ(g_backend.start(h), SANE_STATUS_GOOD);
  ASSERT_EQ(g_backend.parameters(h, &p), SANE_STATUS_GOOD);
  EXPECT_EQ(std::make_tuple(p.format, p.pixels_per_line, p.lines, p.bytes_per_line, p.depth),
            std::make_tuple(before.format, before.pixels_per_line, before.lines, before.bytes_per_line, before.depth));
  EXPECT_EQ(TrySetWord(h, "resolution", 150), SANE_STATUS_DEVICE_BUSY) << "options stay as they are during a scan";
  EXPECT_EQ(GetWord(h, "resolution"), 75);
  EXPECT_EQ(TrySetWord(h, "resolution", 75), SANE_STATUS_GOOD) << "setting the value it has changes nothing";

  // Non-blocking: reads answer at once, and the descriptor is readable whenever rows or the
  // end of the page wait.
  ASSERT_EQ(g_backend.ioMode(h, SANE_TRUE), SANE_STATUS_GOOD);
  ASSERT_EQ(g_backend.selectFd(h, &fd), SANE_STATUS_GOOD);
  std::vector<uint8_t> page;
  SANE_Status s = SANE_STATUS_GOOD;
  for (int polls = 0; s == SANE_STATUS_GOOD && polls < 100000; ++polls) {
    pollfd pfd = {fd, POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 30000), 1) << "rows arrive";
    SANE_Byte buf[4096];
    SANE_Int n = -1;
    s = g_backend.read(h, buf, sizeof buf, &n);
    if (s == SANE_STATUS_GOOD) page.insert(page.end(), buf, buf + n);
  }
  EXPECT_EQ(s, SANE_STATUS_EOF);
  ASSERT_EQ(page.size(), size_t(p.bytes_per_line) * p.lines);
  EXPECT_TRUE(page == Sent(0).pixels);
  EXPECT_EQ(g_backend.ioMode(h, SANE_FALSE), SANE_STATUS_INVAL) << "the scan is over";
  SANE_Int n = -1;
  SANE_Byte buf[4096];
  EXPECT_EQ(g_backend.read(h, buf, sizeof buf, &n), SANE_STATUS_EOF);
  EXPECT_EQ(n, 0);

  // Reads after a cancel say so until the next start, which scans again.
  SetWord(h, "tl-x", 0);
  SetWord(h, "br-y", SANE_FIX(200.0));
  ASSERT_EQ(g_backend.start(h), SANE_STATUS_GOOD);
  ASSERT_EQ(g_backend.read(h, buf, sizeof buf, &n), SANE_STATUS_GOOD);
  g_backend.cancel(h);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(g_backend.read(h, buf, sizeof buf, &n), SANE_STATUS_CANCELLED) << i;
  EXPECT_EQ(n, 0);
  EXPECT_EQ(g_backend.selectFd(h, &fd), SANE_STATUS_INVAL);
  ASSERT_EQ(g_backend.start(h), SANE_STATUS_GOOD);
  ASSERT_EQ(g_backend.read(h, buf, sizeof buf, &n), SANE_STATUS_GOOD);
  // A start before the end of the page abandons it and scans a new one whole.
  ASSERT_EQ(g_backend.start(h), SANE_STATUS_GOOD);
  ASSERT_EQ(g_backend.parameters(h, &p), SANE_STATUS_GOOD);
  page.clear();
  EXPECT_EQ(ReadPage(h, &page), SANE_STATUS_EOF);
  EXPECT_EQ(page.size(), size_t(p.bytes_per_line) * p.lines);
  EXPECT_TRUE(page == Sent(sim_->SentPages().size() - 1).pixels);
  EXPECT_EQ(TrySetWord(h, "br-y", SANE_FIX(60.0)), SANE_STATUS_GOOD) << "the job is over";

  // The feeder's one sheet, then sane_start after the last page.
  SetString(h, "source", "ADF");
  ASSERT_EQ(g_backend.start(h), SANE_STATUS_GOOD);
  page.clear();
  EXPECT_EQ(ReadPage(h, &page), SANE_STATUS_EOF);
  EXPECT_EQ(g_backend.start(h), SANE_STATUS_NO_DOCS);
  EXPECT_EQ(TrySetWord(h, "resolution", 150), SANE_STATUS_GOOD) << "the job is over";

  // Two handles on one device: one scans at a time, each with its own options.
  config = cavixsim::SimConfig();
  ASSERT_TRUE(sim_->Reconfigure(config));
  SANE_Handle h2 = nullptr;
  ASSERT_EQ(g_backend.open(address_.c_str(), &h2), SANE_STATUS_GOOD);
  SmallGrayArea(h, "Flatbed");
  SmallGrayArea(h2, "Flatbed");
  SetWord(h2, "resolution", 150);
  EXPECT_EQ(GetWord(h, "resolution"), 75) << "each handle has options of its own";
  ASSERT_EQ(g_backend.start(h), SANE_STATUS_GOOD);
  EXPECT_EQ(g_backend.start(h2), SANE_STATUS_DEVICE_BUSY) << "the other handle is scanning";
  page.clear();
  EXPECT_EQ(ReadPage(h, &page), SANE_STATUS_EOF);
  ASSERT_EQ(g_backend.start(h2), SANE_STATUS_GOOD);
  page.clear();
  EXPECT_EQ(ReadPage(h2, &page), SANE_STATUS_EOF);
  ASSERT_EQ(g_backend.parameters(h2, &p), SANE_STATUS_GOOD);
  EXPECT_EQ(page.size(), size_t(p.bytes_per_line) * p.lines);
  g_backend.close(h2);
  ASSERT_EQ(g_backend.start(h), SANE_STATUS_GOOD) << "closing one handle leaves the other's session open";
  page.clear();
  EXPECT_EQ(ReadPage(h, &page), SANE_STATUS_EOF);
  ASSERT_EQ(g_backend.parameters(h, &p), SANE_STATUS_GOOD);
  EXPECT_EQ(page.size(), size_t(p.bytes_per_line) * p.lines);
  EXPECT_EQ(p.pixels_per_line, 236);  // 80 mm at 75 dpi

  // Pages larger than the backend's read-ahead (4 MB). Blocking reads first, then the select
  // descriptor asked for in the middle of the page and a pause in which the read-ahead fills:
  // the rows come whole and in order. The next page is ready on the descriptor the frontend
  // kept, read by polling it before every read.
  config.keepPageBytes = true;
  ASSERT_TRUE(sim_->Reconfigure(config));
  SetString(h, "mode", "Gray");
  SetWord(h, "resolution", 300);
  SetWord(h, "br-x", SANE_FIX(210.0));
  SetWord(h, "br-y", SANE_FIX(296.0));
  for (int pageIndex = 0; pageIndex < 2; ++pageIndex) {
    SCOPED_TRACE(pageIndex);
    ASSERT_EQ(g_backend.start(h), SANE_STATUS_GOOD);
    ASSERT_EQ(g_backend.parameters(h, &p), SANE_STATUS_GOOD);
    ASSERT_GT(size_t(p.bytes_per_line) * p.lines, size_t(8) << 20);
    page.clear();
    s = SANE_STATUS_GOOD;
    if (pageIndex == 0) {
      while (s == SANE_STATUS_GOOD && page.size() < 100000) {
        s = g_backend.read(h, buf, 4000, &n);
        page.insert(page.end(), buf, buf + n);
      }
      ASSERT_EQ(g_backend.selectFd(h, &fd), SANE_STATUS_GOOD);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    for (int polls = 0; s == SANE_STATUS_GOOD && polls < 100000; ++polls) {
      pollfd pfd = {fd, POLLIN, 0};
      ASSERT_EQ(::poll(&pfd, 1, 30000), 1) << "rows arrive";
      s = g_backend.read(h, buf, sizeof buf, &n);
      if (s == SANE_STATUS_GOOD) page.insert(page.end(), buf, buf + n);
    }
    EXPECT_EQ(s, SANE_STATUS_EOF);
    ASSERT_EQ(page.size(), size_t(p.bytes_per_line) * p.lines);
    EXPECT_TRUE(page == Sent(sim_->SentPages().size() - 1).pixels);
  }
  g_backend.close(h);
  g_backend.exit();
}

TEST_F(SaneBackendTest, ScanimageTestsTheBackendInEveryModeAndSource) {
  cavixsim::SimConfig config;
  config.adfSheets = 2;
  StartScanner(25, config);
  for (const char* source : {"Flatbed", "ADF", "ADF Duplex"}) {
    for (const char* mode : {"Color", "Gray", "Lineart"}) {
      SCOPED_TRACE(std::string(source) + ", " + mode);
      ASSERT_TRUE(sim_->Reconfigure(config));
      tooltest::ProcessResult r = Scanimage({"-d", "cavix:" + address_, "-T", "--source", source, "--mode", mode,
                                             "--resolution", "75", "-x", "60", "-y", "70"});
      EXPECT_EQ(r.exitStatus, 0) << r.err;
      EXPECT_NE(r.err.find("scanimage: scanning image of size"), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("stepped read, 3 bytes... \tPASS"), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("FAIL"), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("[cavix]"), std::string::npos) << "no debug output unless asked for";
    }
  }
}

// The embedded simulator on a fixed address: busy while another program serves the address,
// and session after session once it is free.
TEST_F(SaneBackendTest, AnOccupiedSimulatorAddressIsBusyAndSessionsFollowEachOther) {
  cavixsim::SimConfig config;
  config.listenAddress = "127.0.78.30";
  auto other = std::make_unique<cavixsim::DeviceSimulator>(config);
  std::string error;
  ASSERT_TRUE(other->Start(&error)) << error;
  std::ofstream(scratch_.File("cavix.conf")) << "module " << kModule << "\nsimulator sheets 1 address 127.0.78.30\n";
  ASSERT_EQ(g_backend.init(nullptr, nullptr), SANE_STATUS_GOOD);
  SANE_Handle h = nullptr;
  EXPECT_EQ(g_backend.open("simulator", &h), SANE_STATUS_DEVICE_BUSY);
  g_backend.exit();
  other.reset();

  for (int session = 0; session < 3; ++session) {
    SCOPED_TRACE(session);
    ASSERT_EQ(g_backend.init(nullptr, nullptr), SANE_STATUS_GOOD);
    ASSERT_EQ(g_backend.open("simulator", &h), SANE_STATUS_GOOD);
    SmallGrayArea(h, "Flatbed");
    ASSERT_EQ(g_backend.start(h), SANE_STATUS_GOOD);
    std::vector<uint8_t> page;
    EXPECT_EQ(ReadPage(h, &page), SANE_STATUS_EOF);
    EXPECT_FALSE(page.empty());
    g_backend.close(h);
    g_backend.exit();
  }
}

// Two processes at once: this one holds a page of the first scanner open while scanimage scans
// the second; each address-named scanner has a lock of its own.
TEST_F(SaneBackendTest, TwoProcessesScanTwoAddressNamedDevicesAtOnce) {
  StartScanner(26, cavixsim::SimConfig());
  cavixsim::SimConfig other;
  other.listenAddress = "127.0.78.27";
  other.keepPageBytes = true;
  cavixsim::DeviceSimulator second(other);
  std::string error;
  ASSERT_TRUE(second.Start(&error)) << error;
  std::ofstream(scratch_.File("cavix.conf"), std::ios::app) << other.listenAddress << "\n";

  ASSERT_EQ(g_backend.init(nullptr, nullptr), SANE_STATUS_GOOD);
  SANE_Handle h = nullptr;
  ASSERT_EQ(g_backend.open(address_.c_str(), &h), SANE_STATUS_GOOD);
  SmallGrayArea(h, "Flatbed");
  ASSERT_EQ(g_backend.start(h), SANE_STATUS_GOOD);

  tooltest::ProcessResult r = Scanimage({"-d", "cavix:" + other.listenAddress, "--mode", "Gray", "--resolution", "75",
                                         "-x", "60", "-y", "70", "--format=pnm", "-o", scratch_.File("b1.pnm")});
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  ASSERT_EQ(second.SentPages().size(), 1u) << r.err;
  std::vector<Image> pages;
  ASSERT_TRUE(tooltest::DecodePnm(scratch_.File("b1.pnm"), &pages, &error)) << error;
  Image want;
  ASSERT_TRUE(tooltest::DecodeSentPage(second.SentPages()[0], &want, &error)) << error;
  EXPECT_TRUE(pages.at(0).pixels == want.pixels);

  std::vector<uint8_t> page;
  EXPECT_EQ(ReadPage(h, &page), SANE_STATUS_EOF);
  EXPECT_TRUE(page == Sent(0).pixels);
  g_backend.close(h);
  g_backend.exit();
}

// saned serves the backend on a loopback address of its own; scanimage scans through the net
// backend a platen page and a duplex feeder job.
TEST_F(SaneBackendTest, ScansThroughSanedAndTheNetBackend) {
  cavixsim::SimConfig config;
  config.adfSheets = 2;
  StartScanner(28, config);
  const std::string kSaned = "127.0.0.61";
  std::ofstream(scratch_.File("saned.conf")) << "127.0.0.0/8\n";
  const std::string client = scratch_.File("client");
  ASSERT_EQ(::mkdir(client.c_str(), 0700), 0);
  std::ofstream(client + "/dll.conf") << "net\n";
  std::ofstream(client + "/net.conf") << kSaned << "\n";

  const char* oldPath = std::getenv("LD_LIBRARY_PATH");
  const std::string savedPath = oldPath ? oldPath : "";
  ::setenv("LD_LIBRARY_PATH", kBackendDir.c_str(), 1);
#ifdef CAVIX_ASAN_RUNTIME
  // saned, like scanimage, is not built with the sanitizer that the backend it loads needs.
  const char* oldOptions = std::getenv("ASAN_OPTIONS");
  const std::string savedOptions = oldOptions ? oldOptions : "";
  ::setenv("LD_PRELOAD", CAVIX_ASAN_RUNTIME, 1);
  ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
#endif
  tooltest::Child saned({"saned", "-l", "-e", "-b", kSaned, "-p", "6566"});
  if (oldPath) ::setenv("LD_LIBRARY_PATH", savedPath.c_str(), 1);
  else ::unsetenv("LD_LIBRARY_PATH");
#ifdef CAVIX_ASAN_RUNTIME
  ::unsetenv("LD_PRELOAD");
  if (oldOptions) ::setenv("ASAN_OPTIONS", savedOptions.c_str(), 1);
  else ::unsetenv("ASAN_OPTIONS");
#endif
  bool listening = false;
  for (int i = 0; i < 200 && !listening; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(6566);
    ::inet_pton(AF_INET, kSaned.c_str(), &sa.sin_addr);
    listening = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    if (!listening) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // Listening may be another program's saned on the address; this one then says it cannot bind.
  std::string said;
  const bool cannotBind = saned.WaitForLine(
      [](const std::string& line) { return line.find("couldn't bind") != std::string::npos; }, &said, 2);
  if (!listening || cannotBind) {
    saned.Signal(SIGTERM);
    saned.Wait(&said, 30);
    GTEST_SKIP() << "saned cannot listen on " << kSaned << ":6566: " << said;
  }

  const std::string device = "net:" + kSaned + ":cavix:" + address_;
  tooltest::ProcessResult r = Scanimage({"-d", device, "--mode", "Gray", "--resolution", "75", "-x", "80", "-y", "90",
                                         "--format=pnm", "-o", scratch_.File("platen1.pnm")},
                                        client);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  ExpectPagesSent("platen", 1);
  r = Scanimage({"-d", device, "--source", "ADF Duplex", "--mode", "Color", "--resolution", "75", "-x", "80", "-y",
                 "90", "--format=pnm", "--batch=" + scratch_.File("duplex%d.pnm")},
                client);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(sim_->SentPages().size(), 5u) << r.err;
  ExpectPagesSent("duplex", 4, 1);
  // A network device name is a direct form for the local user only: through saned, a name the
  // server did not list reaches no scanner (here the configured one under another name).
  const std::string direct = "cavix:" + DeviceName::Network(address_, "00:1B:78:00:00:28");
  const struct { std::string prefix, configDir; bool reached; } names[] = {
      {"net:" + kSaned + ":", client, false}, {"", "", true}};
  for (const auto& n : names) {
    SCOPED_TRACE(n.prefix);
    const size_t before = sim_->Requests().size();
    r = Scanimage({"-d", n.prefix + direct, "--mode", "Gray", "--resolution", "75", "-x", "60", "-y", "60",
                   "--format=pnm", "-o", scratch_.File("direct.pnm")},
                  n.configDir);
    EXPECT_EQ(r.exitStatus == 0, n.reached) << r.err;
    EXPECT_EQ(sim_->Requests().size() > before, n.reached);
  }
  saned.Signal(SIGTERM);
  saned.Wait(&said, 60);
}

TEST_F(SaneBackendTest, ScanimageBatchWritesADuplexJobAsSixPnmPages) {
  cavixsim::SimConfig config;
  config.adfSheets = 3;
  StartScanner(23, config);
  const std::string pattern = scratch_.File("out%d.pnm");
  // With SANE's debug convention at level 4: the opened device, options as written back, each
  // start and page end, and every state change of the handle (none outside its diagram).
  std::map<std::string, std::string> env = {
      {"LD_LIBRARY_PATH", kBackendDir}, {"SANE_CONFIG_DIR", scratch_.Path()}, {"SANE_DEBUG_CAVIX", "4"}};
#ifdef CAVIX_ASAN_RUNTIME
  // In an address-sanitizer build the backend needs the sanitizer's runtime loaded first in
  // scanimage, which is not built with it; scanimage's own leaks are not this test's concern.
  env["LD_PRELOAD"] = CAVIX_ASAN_RUNTIME;
  env["ASAN_OPTIONS"] = "detect_leaks=0";
#endif
  tooltest::ProcessResult r = tooltest::Run(
      {"scanimage", "-d", "cavix:" + address_, "--source", "ADF Duplex", "--mode", "Color", "--resolution", "75",
       "-l", "0", "-t", "0", "-x", "90", "-y", "120", "--format=pnm", "--batch=" + pattern},
      env);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  ASSERT_EQ(sim_->SentPages().size(), 6u) << r.err;
  auto count = [&r](const std::string& text) {
    size_t n = 0;
    for (size_t at = r.err.find(text); at != std::string::npos; at = r.err.find(text, at + 1)) ++n;
    return n;
  };
  const struct { std::string text; size_t times; } lines[] = {
      {"[cavix] sane_open \"" + address_ + "\"", 1},
      {"set resolution = 75: status 0, value 75", 1},
      {"set br-x = 90.000000: status 0, value 90.0053, info 0x", 1},  // snapped to 1063 steps
      {"[cavix] sane_start: status 0 in ", 6},
      {"[cavix] sane_start: status 7 in ", 1},  // the empty feeder: SANE_STATUS_NO_DOCS
      {"(StartScan)", 6},
      {"page -> page ended (the page's last byte)", 6},
      {"is not a transition", 0},
      {"sane_read: ", 6},  // level 5 would give each read
  };
  for (const auto& l : lines) EXPECT_EQ(count(l.text), l.times) << l.text << "\n" << r.err;
  for (int i = 1; i <= 6; ++i) {
    std::vector<Image> pages;
    std::string error;
    const std::string file = scratch_.File("out" + std::to_string(i) + ".pnm");
    ASSERT_TRUE(tooltest::DecodePnm(file, &pages, &error)) << file << ": " << error;
    ASSERT_EQ(pages.size(), 1u);
    const Image want = Sent(static_cast<size_t>(i - 1));
    EXPECT_EQ(pages[0].width, want.width) << file;
    EXPECT_EQ(pages[0].height, want.height) << file;
    EXPECT_TRUE(pages[0].pixels == want.pixels) << file << " differs from the page sent";
  }
  EXPECT_FALSE(tooltest::Exists(scratch_.File("out7.pnm")));
}

TEST_F(SaneBackendTest, ScanimageListsConfiguredDevicesThenDiscoveredScanners) {
  tooltest::Neighbourhood network(80, scratch_.File("neighbours.txt"));
  ASSERT_EQ(network.Error(), "");
  const auto& scanners = network.Scanners();
  std::ofstream(scratch_.File("dll.conf")) << "cavix\n";
  std::map<std::string, std::string> env = {{"LD_LIBRARY_PATH", kBackendDir}, {"SANE_CONFIG_DIR", scratch_.Path()}};
#ifdef CAVIX_ASAN_RUNTIME
  env["LD_PRELOAD"] = CAVIX_ASAN_RUNTIME;
  env["ASAN_OPTIONS"] = "detect_leaks=0";
#endif
  // "NAME MODEL" of each listed device; a discovered scanner's name up to its GUID.
  auto discovered = [&](size_t i) {
    return "cavix:\\\\?\\cavixnet#\\macaddr:" + scanners[i].mac + "\\port1\\ipaddr:" + scanners[i].address + "\\guid " +
           scanners[i].model;
  };
  // The first scanner is configured by its address, so it is not listed again.
  const std::string first = "cavix:" + scanners[0].address + " vqm440", second = "cavix:127.0.78.250 vqm440";
  const struct {
    const char* discovery;
    std::vector<std::string> listed;
  } cases[] = {{"", {first, second, discovered(1), discovered(2)}}, {"discovery off\n", {first, second}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.discovery);
    std::ofstream(scratch_.File("cavix.conf"))
        << "module " << kModule << "\n" << scanners[0].address << "\n127.0.78.250\ndiscovery-time 1500\n" << c.discovery;
    const auto start = std::chrono::steady_clock::now();
    tooltest::ProcessResult r = tooltest::Run({"scanimage", "-f", "%d %m%n"}, env);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    std::vector<std::string> got;
    std::istringstream lines(r.out);
    for (std::string l; std::getline(lines, l);) {
      const size_t guid = l.find("\\guid");
      const size_t space = l.rfind(' ');
      if (guid != std::string::npos) l.erase(guid + 5, space - guid - 5);
      got.push_back(l);
    }
    EXPECT_EQ(got, c.listed) << r.out;
    EXPECT_LT(seconds, 2.0);
  }
}

}  // namespace
