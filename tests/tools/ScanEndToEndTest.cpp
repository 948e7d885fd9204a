// cavix-scan against a simulated scanner started by the test on a loopback address: every
// output format decoded back and compared with the pages the scanner sent, feeder jobs into
// one TIFF, one PDF (read back with poppler's pdfinfo, pdfimages and pdftoppm) and into
// numbered files, the page limit, Ctrl-C in the middle of a page (job
// cancelled on the scanner, the file left as it was), and the exit statuses of jams, an open cover,
// an empty feeder, a busy and an unreachable scanner.
#include <gtest/gtest.h>

#include <signal.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
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
  } runs[] = {{"color", "c.png"}, {"gray", "g.tif"}, {"bw", "b.tif"}, {"bw", "b.pbm"},
              {"color", "c.ppm"}, {"bw", "b.png"},  {"color", "c.tif"}, {"gray", "g.png"}};
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
      EXPECT_EQ(compression[0], std::string(run.mode) == "bw" ? COMPRESSION_CCITTFAX4 : COMPRESSION_ADOBE_DEFLATE);
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

// Mean and largest difference of two images' samples (sizes must agree).
void Difference(const Image& a, const Image& b, double* mean, int* largest) {
  uint64_t sum = 0;
  *largest = 0;
  for (size_t i = 0; i < a.pixels.size() && i < b.pixels.size(); ++i) {
    const int d = std::abs(int(a.pixels[i]) - int(b.pixels[i]));
    sum += d;
    *largest = std::max(*largest, d);
  }
  *mean = a.pixels.empty() ? 0 : double(sum) / a.pixels.size();
}

// pdftoppm's rasteriser widens an image whose edges fall exactly on pixel boundaries by a
// pixel and resamples it; a hair under the scan's resolution renders the page pixel for pixel.
const char* const kRenderDpi75 = "74.999";
const char* const kRenderDpi100 = "99.999";

bool HavePoppler() {
  const char* const check = "command -v pdfinfo && command -v pdftoppm && command -v pdfimages";
  return tooltest::Run({"sh", "-c", check}).exitStatus == 0;
}

TEST_F(ScanEndToEndTest, ADuplexJobGoesIntoOnePdfAtThePagesSizes) {
  if (!HavePoppler()) GTEST_SKIP() << "poppler-utils (pdfinfo, pdftoppm, pdfimages) is not installed";
  cavixsim::SimConfig config;
  config.adfSheets = 3;
  StartScanner(17, config);
  const std::string pdf = scratch_.File("job.pdf");
  tooltest::ProcessResult r = Scan({"--source", "duplex", "-r", "75", "--region", "0,0,100,150", "-o", pdf});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_EQ(r.out, pdf + "\n");
  ASSERT_EQ(sim_->SentPages().size(), 6u);

  tooltest::ProcessResult info = tooltest::Run({"pdfinfo", "-f", "1", "-l", "6", pdf});
  ASSERT_EQ(info.exitStatus, 0) << info.err;
  EXPECT_NE(info.out.find("Pages:           6\n"), std::string::npos) << info.out;
  std::map<int, std::pair<double, double>> sizes;  // page -> width, height in points
  std::istringstream lines(info.out);
  for (std::string l; std::getline(lines, l);) {
    int page = 0;
    double w = 0, h = 0;
    if (std::sscanf(l.c_str(), "Page %d size: %lf x %lf pts", &page, &w, &h) == 3) sizes[page] = {w, h};
  }
  ASSERT_EQ(sizes.size(), 6u) << info.out;
  for (size_t i = 0; i < 6; ++i) {
    // 72 points an inch: the page is as large as the scanned area.
    const Image sent = Sent(i);
    EXPECT_NEAR(sizes[int(i) + 1].first, sent.width * 72.0 / 75, 0.01) << "page " << i + 1;
    EXPECT_NEAR(sizes[int(i) + 1].second, sent.height * 72.0 / 75, 0.01) << "page " << i + 1;
  }
  // Every page's picture is the JPEG stream itself (DCTDecode), in colour.
  tooltest::ProcessResult images = tooltest::Run({"pdfimages", "-list", pdf});
  ASSERT_EQ(images.exitStatus, 0) << images.err;
  size_t jpegs = 0;
  for (size_t at = images.out.find(" jpeg "); at != std::string::npos; at = images.out.find(" jpeg ", at + 1)) ++jpegs;
  EXPECT_EQ(jpegs, 6u) << images.out;
  EXPECT_NE(images.out.find(" rgb "), std::string::npos) << images.out;

  // Every page rendered back at the scan's resolution is the page sent, within what two JPEG
  // compressions change (the scanner's at 85, the PDF's at 75: a mean of 3.5 on these pages; a
  // page one pixel off, in other colours or another page's is tens away).
  for (int i = 0; i < 6; ++i) {
    const Image page = Sent(i);
    const std::string png = scratch_.File("render");
    const std::string number = std::to_string(i + 1);
    tooltest::ProcessResult render = tooltest::Run(
        {"pdftoppm", "-png", "-singlefile", "-f", number, "-l", number, "-r", kRenderDpi75, pdf, png});
    ASSERT_EQ(render.exitStatus, 0) << render.err;
    Image got;
    std::string error;
    ASSERT_TRUE(tooltest::DecodePng(png + ".png", &got, &error)) << error;
    ASSERT_EQ(got.width, page.width);
    ASSERT_EQ(got.height, page.height);
    ASSERT_EQ(got.channels, 3);
    double mean = 0;
    int largest = 0;
    Difference(got, page, &mean, &largest);
    EXPECT_LT(mean, 4.0) << "page " << number << ", largest difference " << largest;
  }
}

TEST_F(ScanEndToEndTest, ABlackAndWhitePdfPageHoldsTheRowsExactly) {
  if (!HavePoppler()) GTEST_SKIP() << "poppler-utils (pdfinfo, pdftoppm, pdfimages) is not installed";
  StartScanner(18);
  const std::string pdf = scratch_.File("bw.pdf");
  tooltest::ProcessResult r = Scan({"--mode", "bw", "-r", "100", "--region", "0,0,83,60", "-o", pdf});
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const Image sent = Sent(0);
  // One 1-bit picture, compressed without loss.
  tooltest::ProcessResult images = tooltest::Run({"pdfimages", "-list", pdf});
  ASSERT_EQ(images.exitStatus, 0) << images.err;
  std::istringstream listing(images.out);
  std::string header, rule, page, num, type, width, height, color, comp, bpc, enc;
  std::getline(listing, header);
  std::getline(listing, rule);
  listing >> page >> num >> type >> width >> height >> color >> comp >> bpc >> enc;
  EXPECT_EQ(width + "x" + height, std::to_string(sent.width) + "x" + std::to_string(sent.height)) << images.out;
  EXPECT_EQ(bpc, "1") << images.out;
  EXPECT_EQ(enc, "image") << "Flate, not JPEG: " << images.out;
  const std::string pbm = scratch_.File("render");
  tooltest::ProcessResult render = tooltest::Run({"pdftoppm", "-mono", "-singlefile", "-r", kRenderDpi100, pdf, pbm});
  ASSERT_EQ(render.exitStatus, 0) << render.err;
  std::vector<Image> pages;
  std::string error;
  ASSERT_TRUE(tooltest::DecodePnm(pbm + ".pbm", &pages, &error)) << error;
  ASSERT_EQ(pages.size(), 1u);
  ExpectSame(pages[0], sent, "bw pdf page");
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

TEST_F(ScanEndToEndTest, CtrlCInTheMiddleOfAPageCancelsTheJobAndLeavesTheFileAsItWas) {
  cavixsim::SimConfig config;
  config.rateBytesPerSecond = 40000;  // a raw A4 page at 150 dpi takes several seconds
  StartScanner(14, config);
  // A new file, an old one, and a link to an old one: each keeps what it was.
  const struct {
    const char* name;
    const char* link;
    const char* content;
  } cases[] = {{"cancelled.tif", nullptr, nullptr}, {"cancelled.pdf", nullptr, "old"}, {"cancelled.pnm", "real", "old"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t before = sim_->SentPages().size();
    const std::string out = scratch_.File(c.name);
    if (c.link) { ASSERT_EQ(::symlink(c.link, out.c_str()), 0); }
    if (c.content) std::ofstream(c.link ? scratch_.File(c.link) : out) << c.content;
    tooltest::Child child(Command({"--mode", "bw", "-r", "150", "--region", "A4", "-o", out}));
    std::string seen;
    // The first progress line after the start: some rows have arrived.
    ASSERT_TRUE(child.WaitForLine(
        [](const std::string& l) { return l.rfind("page 1: ", 0) == 0 && l.find("% (") != std::string::npos; }, &seen))
        << seen;
    const auto temp = [&] {  // rows are written as they arrive, to a file beside the name
      for (const std::string& f : tooltest::ListDirectory(scratch_.Path()))
        if (f.rfind(std::string(".") + (c.link ? c.link : c.name) + ".", 0) == 0) return true;
      return false;
    };
    EXPECT_TRUE(temp());
    child.Signal(SIGINT);
    std::string rest;
    EXPECT_EQ(child.Wait(&rest), 130) << seen << rest;
    EXPECT_NE(rest.find("cavix-scan: scan cancelled"), std::string::npos) << rest;
    EXPECT_NE(rest.find("dropped the part page; " + out + " is as it was before the scan"), std::string::npos) << rest;
    EXPECT_EQ(tooltest::Exists(out), c.content != nullptr);
    if (c.content) { EXPECT_EQ(tooltest::ReadFile(out), c.content); }
    EXPECT_FALSE(temp());
    ASSERT_GT(sim_->SentPages().size(), before);
    const uint32_t job = sim_->SentPages()[before].jobId;
    bool cancelled = false;
    for (int i = 0; i < 100 && !cancelled; ++i) {  // the device may still be reading the request
      for (const auto& r : sim_->Requests())
        cancelled = cancelled || (r.op == cavixsim::Operation::CancelJob && r.jobId == job);
      if (!cancelled) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(cancelled) << "CancelJob for job " << job;
    EXPECT_FALSE(sim_->SentPages()[before].complete);
  }
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
  r = Scan({"-r", "75", "-o", scratch_.File("missing-dir/job.pdf")});
  EXPECT_EQ(r.exitStatus, 7) << r.err;
  EXPECT_NE(r.err.find("missing-dir/job.pdf: No such file or directory"), std::string::npos) << r.err;

  // A program without its library of image writers still writes PNM, and refuses the other
  // formats with status 7, leaving no file.
  const std::string lone = scratch_.File("lone-cavix-scan");
  ASSERT_EQ(0, tooltest::Run({"cp", kScan, lone}).exitStatus);
  const std::map<std::string, std::string> noLibrary{{"CAVIX_WRITERS_DIR", ""}};
  std::vector<std::string> argv = Command({"-r", "75", "-q", "-o", scratch_.File("lone.png")});
  argv[0] = lone;
  r = tooltest::Run(argv, noLibrary);
  EXPECT_EQ(r.exitStatus, 7) << r.err;
  EXPECT_NE(r.err.find("cannot find the image writers (libcavixpng.so"), std::string::npos) << r.err;
  EXPECT_FALSE(tooltest::Exists(scratch_.File("lone.png")));
  argv = Command({"-r", "75", "-q", "-o", scratch_.File("lone.pnm")});
  argv[0] = lone;
  r = tooltest::Run(argv, noLibrary);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_TRUE(tooltest::Exists(scratch_.File("lone.pnm")));

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
