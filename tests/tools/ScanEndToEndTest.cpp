// cavix-scan against a simulated scanner started by the test on a loopback address: every
// output format decoded back and compared with the pages the scanner sent, feeder jobs into
// one TIFF and into numbered files, the page limit, Ctrl-C in the middle of a page (job
// cancelled on the scanner, no partial file), and the exit statuses of jams, an open cover,
// an empty feeder, a busy and an unreachable scanner.
#include <gtest/gtest.h>

#include <signal.h>
#include <tiffio.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "ToolTestSupport.h"
#include "sim/DeviceSimulator.h"
#include "tools/DeviceName.h"

using tooltest::Image;

namespace {

const std::string kScan = CAVIX_SCAN_PATH;
const std::string kModule = CAVIX_MODULE_PATH;

class ScanEndToEndTest : public ::testing::Test {
 protected:
  // A simulated scanner of this test's own on 127.0.77.<host>.
  void StartScanner(int host, cavixsim::SimConfig config = cavixsim::SimConfig()) {
    address_ = "127.0.77." + std::to_string(host);
    config.listenAddress = address_;
    config.keepPageBytes = true;
    sim_ = std::make_unique<cavixsim::DeviceSimulator>(config);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
  }

  std::vector<std::string> Command(std::vector<std::string> args) {
    args.insert(args.begin(), {kScan, "--device", address_, "--module", kModule, "--progress", "lines"});
    return args;
  }
  tooltest::ProcessResult Scan(std::vector<std::string> args) { return tooltest::Run(Command(std::move(args))); }

  Image Sent(size_t index) {
    const std::vector<cavixsim::SentPage> pages = sim_->SentPages();
    Image img;
    std::string error;
    EXPECT_LT(index, pages.size());
    if (index < pages.size()) {
      EXPECT_TRUE(tooltest::DecodeSentPage(pages[index], &img, &error)) << error;
    }
    return img;
  }

  size_t CountRequests(cavixsim::Operation op) {
    size_t n = 0;
    for (const auto& r : sim_->Requests()) n += r.op == op;
    return n;
  }

  tooltest::Scratch scratch_;
  std::string address_;
  std::unique_ptr<cavixsim::DeviceSimulator> sim_;
};

void ExpectSame(const Image& got, const Image& want, const std::string& what) {
  EXPECT_EQ(got.width, want.width) << what;
  EXPECT_EQ(got.height, want.height) << what;
  EXPECT_EQ(got.channels, want.channels) << what;
  EXPECT_TRUE(got.pixels == want.pixels) << what << ": pixels differ from the page sent";
}

TEST_F(ScanEndToEndTest, EveryFormatFromThePlatenHoldsThePageSent) {
  StartScanner(11);
  const struct {
    const char* mode;
    const char* file;
  } runs[] = {{"color", "c.png"}, {"gray", "g.tif"}, {"bw", "b.tif"}, {"bw", "b.pbm"}, {"color", "c.ppm"}, {"bw", "b.png"}};
  size_t page = 0;
  for (const auto& run : runs) {
    const std::string out = scratch_.File(run.file);
    tooltest::ProcessResult r = Scan({"--mode", run.mode, "--resolution", "100", "--region", "5,10,120,90", "-o", out});
    ASSERT_EQ(r.exitStatus, 0) << run.file << ": " << r.err;
    EXPECT_EQ(r.out, out + "\n");
    EXPECT_NE(r.err.find("page 1 of 1: scanning"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("page 1: done"), std::string::npos) << r.err;
    const Image want = Sent(page++);
    Image got;
    std::string error;
    const std::string ext = out.substr(out.size() - 3);
    if (ext == "png") {
      ASSERT_TRUE(tooltest::DecodePng(out, &got, &error)) << error;
    } else if (ext == "tif") {
      std::vector<Image> pages;
      std::vector<int> compression;
      ASSERT_TRUE(tooltest::DecodeTiff(out, &pages, &compression, &error)) << error;
      ASSERT_EQ(pages.size(), 1u);
      got = pages[0];
      EXPECT_EQ(compression[0], std::string(run.mode) == "bw" ? COMPRESSION_CCITTFAX4 : COMPRESSION_LZW);
    } else {
      std::vector<Image> pages;
      ASSERT_TRUE(tooltest::DecodePnm(out, &pages, &error)) << error;
      ASSERT_EQ(pages.size(), 1u);
      got = pages[0];
    }
    ExpectSame(got, want, run.file);
  }
}

TEST_F(ScanEndToEndTest, ADuplexJobGoesIntoOneTiff) {
  cavixsim::SimConfig config;
  config.adfSheets = 3;
  StartScanner(12, config);
  const std::string tif = scratch_.File("job.tif");
  tooltest::ProcessResult r = Scan({"--source", "duplex", "--mode", "gray", "-r", "75", "--region", "0,0,100,150", "-o", tif});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  std::vector<Image> pages;
  std::string error;
  ASSERT_TRUE(tooltest::DecodeTiff(tif, &pages, nullptr, &error)) << error;
  ASSERT_EQ(pages.size(), 6u);
  ASSERT_EQ(sim_->SentPages().size(), 6u);
  for (size_t i = 0; i < 6; ++i) ExpectSame(pages[i], Sent(i), "tiff page " + std::to_string(i + 1));
  EXPECT_EQ(sim_->SentPages()[1].side, 1) << "the back of sheet 1 comes second";
  EXPECT_EQ(r.out, tif + "\n");
}

TEST_F(ScanEndToEndTest, TwoDuplexJobsGoIntoNumberedFiles) {
  cavixsim::SimConfig config;
  config.adfSheets = 1;
  StartScanner(16, config);
  const std::string first = scratch_.File("first-%d.pbm");
  tooltest::ProcessResult r = Scan({"--source", "duplex", "--mode", "bw", "-r", "75", "--region", "0,0,100,150", "-o", first});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  // A second job on the same scanner, refilled.
  sim_->LoadAdf(2);
  const std::string pattern = scratch_.File("side-%02d.png");
  r = Scan({"--source", "duplex", "--mode", "bw", "-r", "75", "--region", "0,0,100,150", "-o", pattern});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  ASSERT_EQ(sim_->SentPages().size(), 6u);
  std::string error;
  for (size_t i = 0; i < 2; ++i) {
    std::vector<Image> pages;
    const std::string file = scratch_.File("first-" + std::to_string(i + 1) + ".pbm");
    ASSERT_TRUE(tooltest::DecodePnm(file, &pages, &error)) << error;
    ASSERT_EQ(pages.size(), 1u);
    ExpectSame(pages[0], Sent(i), file);
  }
  for (size_t i = 0; i < 4; ++i) {
    Image got;
    const std::string file = scratch_.File("side-0" + std::to_string(i + 1) + ".png");
    ASSERT_TRUE(tooltest::DecodePng(file, &got, &error)) << error;
    ExpectSame(got, Sent(2 + i), file);
  }
  EXPECT_FALSE(tooltest::Exists(scratch_.File("side-05.png")));
}

TEST_F(ScanEndToEndTest, APageLimitEndsTheJobOnTheScanner) {
  cavixsim::SimConfig config;
  config.adfSheets = 5;
  StartScanner(13, config);
  tooltest::ProcessResult r =
      Scan({"--source", "adf", "--pages", "2", "--mode", "bw", "-r", "75", "--region", "0,0,80,80", "-o", scratch_.File("p%d.pbm")});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, scratch_.File("p1.pbm") + "\n" + scratch_.File("p2.pbm") + "\n");
  EXPECT_FALSE(tooltest::Exists(scratch_.File("p3.pbm")));
  EXPECT_EQ(CountRequests(cavixsim::Operation::CreateScanJob), 1u);
  EXPECT_GE(CountRequests(cavixsim::Operation::CancelJob), 1u) << "the rest of the job is cancelled";
}

TEST_F(ScanEndToEndTest, CtrlCInTheMiddleOfAPageCancelsTheJobAndRemovesTheFile) {
  cavixsim::SimConfig config;
  config.rateBytesPerSecond = 40000;  // a raw A4 page at 150 dpi takes several seconds
  StartScanner(14, config);
  const std::string out = scratch_.File("cancelled.tif");
  tooltest::Child child(Command({"--mode", "bw", "-r", "150", "--region", "A4", "-o", out}));
  std::string seen;
  // The first progress line after the start: some rows have arrived.
  ASSERT_TRUE(child.WaitForLine([](const std::string& l) { return l.rfind("page 1: ", 0) == 0 && l.find("% (") != std::string::npos; }, &seen)) << seen;
  EXPECT_TRUE(tooltest::Exists(out)) << "rows are written as they arrive";
  child.Signal(SIGINT);
  std::string rest;
  EXPECT_EQ(child.Wait(&rest), 130) << seen << rest;
  EXPECT_NE(rest.find("cavix-scan: scan cancelled"), std::string::npos) << rest;
  EXPECT_NE(rest.find("removed the partial file " + out), std::string::npos) << rest;
  EXPECT_FALSE(tooltest::Exists(out));
  ASSERT_FALSE(sim_->SentPages().empty());
  const uint32_t job = sim_->SentPages()[0].jobId;
  bool cancelled = false;
  for (int i = 0; i < 100 && !cancelled; ++i) {  // the device may still be reading the request
    for (const auto& r : sim_->Requests()) cancelled = cancelled || (r.op == cavixsim::Operation::CancelJob && r.jobId == job);
    if (!cancelled) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(cancelled) << "CancelJob for job " << job;
  EXPECT_FALSE(sim_->SentPages()[0].complete);
}

TEST_F(ScanEndToEndTest, FailuresGiveReadableTextAndTheirOwnStatus) {
  cavixsim::SimConfig config;
  config.adfSheets = 3;
  config.jamAtSheet = 2;
  StartScanner(15, config);
  const std::string pattern = scratch_.File("j%d.png");
  tooltest::ProcessResult r = Scan({"--source", "adf", "-r", "75", "--region", "0,0,60,60", "-o", pattern});
  EXPECT_EQ(r.exitStatus, 5) << r.err;
  EXPECT_NE(r.err.find("paper jam in the document feeder (CERR_ADF_JAMMED, code 100"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("remove the jammed sheet"), std::string::npos) << r.err;
  EXPECT_TRUE(tooltest::Exists(scratch_.File("j1.png"))) << "the page before the jam stays";
  EXPECT_FALSE(tooltest::Exists(scratch_.File("j2.png")));

  config = cavixsim::SimConfig();
  config.adfSheets = 0;
  ASSERT_TRUE(sim_->Reconfigure(config));
  r = Scan({"--source", "adf", "-r", "75", "-o", scratch_.File("e.tif")});
  EXPECT_EQ(r.exitStatus, 5) << r.err;
  EXPECT_NE(r.err.find("the document feeder is empty (CERR_ADF_EMPTY, code 101"), std::string::npos) << r.err;
  EXPECT_FALSE(tooltest::Exists(scratch_.File("e.tif")));

  config = cavixsim::SimConfig();
  config.adfSheets = 2;
  config.coverOpenAtSheet = 1;
  ASSERT_TRUE(sim_->Reconfigure(config));
  r = Scan({"--source", "adf", "-r", "75", "-o", scratch_.File("o.tif")});
  EXPECT_EQ(r.exitStatus, 5) << r.err;
  EXPECT_NE(r.err.find("cover is open"), std::string::npos) << r.err;

  config = cavixsim::SimConfig();
  config.scannerCondition = cavixsim::kScannerBusy;
  ASSERT_TRUE(sim_->Reconfigure(config));
  r = Scan({"-r", "75", "-o", scratch_.File("busy.png")});
  EXPECT_EQ(r.exitStatus, 4) << r.err;
  EXPECT_NE(r.err.find("the scanner is busy"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("try again in a moment"), std::string::npos) << r.err;

  // An output file that cannot be made: status 7, and the page is stopped on the scanner.
  ASSERT_TRUE(sim_->Reconfigure(cavixsim::SimConfig()));
  r = Scan({"-r", "75", "-o", scratch_.File("missing-dir/page.png")});
  EXPECT_EQ(r.exitStatus, 7) << r.err;
  EXPECT_NE(r.err.find("missing-dir/page.png: No such file or directory"), std::string::npos) << r.err;

  // Nothing listens on this address.
  r = tooltest::Run({kScan, "--device", "127.0.77.250", "--module", kModule, "-o", scratch_.File("none.png")});
  EXPECT_EQ(r.exitStatus, 3) << r.err;
  EXPECT_NE(r.err.find("the scanner cannot be reached (CERR_SCANNER_COMMUNICATION_FAILED, code 12"), std::string::npos)
      << r.err;
  EXPECT_FALSE(tooltest::Exists(scratch_.File("none.png")));
}

TEST_F(ScanEndToEndTest, TheEmbeddedScannerWorksWithoutADevice) {
  const std::string out = scratch_.File("chart.png");
  tooltest::ProcessResult r = tooltest::Run({kScan, "--module", kModule, "--sim-address", "127.0.77.42", "-r", "75", "-q", "-o", out});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.err, "") << "quiet";
  Image got;
  std::string error;
  ASSERT_TRUE(tooltest::DecodePng(out, &got, &error)) << error;
  EXPECT_EQ(got.width, 637u);   // 2550 units at 75 dpi
  EXPECT_EQ(got.height, 876u);  // 3507 units
  EXPECT_EQ(got.channels, 3);
  // The chart is no blank page: it has dark and light pixels.
  size_t dark = 0, light = 0;
  for (uint8_t v : got.pixels) {
    if (v < 64) ++dark;
    if (v > 192) ++light;
  }
  EXPECT_GT(dark, got.pixels.size() / 100);
  EXPECT_GT(light, got.pixels.size() / 10);
}

}  // namespace
