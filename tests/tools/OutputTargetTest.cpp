// Output files: every format and mode written through OutputTarget in uneven chunks, decoded
// back with libpng, libtiff or a PNM reader and compared pixel by pixel, PDF pictures against
// libjpeg's own encoding of the rows; the PNG and TIFF writers' compressed strips under every
// filter, worker count and strip size, also checked by pngcheck and tiffinfo; file name patterns; each file written whole or not at all (a refused
// open, a part page, a full disk and links); pages the device ended early.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <jpeglib.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>

#include "ToolTestSupport.h"
#include "tools/OutputTarget.h"
#include "tools/PdfPageWriter.h"
#include "tools/PngPageWriter.h"
#include "tools/PnmPageWriter.h"
#include "tools/TiffPageWriter.h"

using tooltest::Image;

namespace {

std::vector<uint8_t> RandomRows(const PageLayout& l, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> rows(size_t(l.bytesPerLine) * l.height);
  for (auto& b : rows) b = static_cast<uint8_t>(rng());
  return rows;
}

PageLayout Layout(ColorMode mode, uint32_t width, uint32_t height) {
  PageLayout l;
  l.mode = mode;
  l.width = width;
  l.height = height;
  l.bytesPerLine = mode == ColorMode::Color ? width * 3 : mode == ColorMode::Gray ? width : width / 8;
  l.dpi = 150;
  return l;
}

int ModeCode(ColorMode m) { return m == ColorMode::Color ? 2 : m == ColorMode::Gray ? 1 : 0; }

// Writes the rows in chunks of 1, 7, 1000 and 4096 bytes in turn, as reads of any size come.
void WritePage(OutputTarget& out, unsigned page, const PageLayout& l, const std::vector<uint8_t>& rows) {
  std::string error;
  ASSERT_TRUE(out.BeginPage(page, l, &error)) << error;
  const size_t chunks[] = {1, 7, 1000, 4096};
  size_t pos = 0;
  for (int i = 0; pos < rows.size(); ++i) {
    const size_t n = std::min(chunks[i % 4], rows.size() - pos);
    ASSERT_TRUE(out.Write(rows.data() + pos, n, &error)) << error;
    pos += n;
  }
  ASSERT_TRUE(out.EndPage(&error)) << error;
}

void ExpectSame(const Image& got, const Image& want, const std::string& what) {
  EXPECT_EQ(got.width, want.width) << what;
  EXPECT_EQ(got.height, want.height) << what;
  EXPECT_EQ(got.channels, want.channels) << what;
  EXPECT_TRUE(got.pixels == want.pixels) << what << ": pixels differ";
}

class OutputTargetTest : public ::testing::Test {
 protected:
  // PNG, TIFF and PDF come from the writers' libraries of this build (the test program does
  // not sit beside them).
  void SetUp() override { setenv("CAVIX_WRITERS_DIR", CAVIX_WRITERS_DIR, 1); }
  tooltest::Scratch scratch_;
};

TEST_F(OutputTargetTest, EveryFormatAndModeDecodesToTheRowsSent) {
  const ColorMode modes[] = {ColorMode::Color, ColorMode::Gray, ColorMode::BlackWhite};
  for (ColorMode mode : modes) {
    const PageLayout l = Layout(mode, 104, 37);
    const std::vector<uint8_t> rows = RandomRows(l, 7 + ModeCode(mode));
    const Image want = tooltest::FromDriverRows(rows, l.width, l.height, ModeCode(mode));
    const std::string tag = "mode " + std::to_string(ModeCode(mode));
    std::string error;

    const std::string png = scratch_.File("page-" + std::to_string(ModeCode(mode)) + ".png");
    {
      OutputTarget out(png);
      WritePage(out, 1, l, rows);
      ASSERT_TRUE(out.Finish(&error)) << error;
    }
    Image got;
    ASSERT_TRUE(tooltest::DecodePng(png, &got, &error)) << error;
    ExpectSame(got, want, "png " + tag);

    const std::string tif = scratch_.File("page-" + std::to_string(ModeCode(mode)) + ".tif");
    {
      OutputTarget out(tif);
      WritePage(out, 1, l, rows);
      ASSERT_TRUE(out.Finish(&error)) << error;
    }
    std::vector<Image> pages;
    std::vector<int> compression;
    ASSERT_TRUE(tooltest::DecodeTiff(tif, &pages, &compression, &error)) << error;
    ASSERT_EQ(pages.size(), 1u);
    ExpectSame(pages[0], want, "tiff " + tag);
    EXPECT_EQ(compression[0], mode == ColorMode::BlackWhite ? COMPRESSION_CCITTFAX4 : COMPRESSION_ADOBE_DEFLATE);

    const std::string pnm = scratch_.File("page-" + std::to_string(ModeCode(mode)) + ".pnm");
    {
      OutputTarget out(pnm);
      WritePage(out, 1, l, rows);
      ASSERT_TRUE(out.Finish(&error)) << error;
    }
    pages.clear();
    ASSERT_TRUE(tooltest::DecodePnm(pnm, &pages, &error)) << error;
    ASSERT_EQ(pages.size(), 1u);
    ExpectSame(pages[0], want, "pnm " + tag);
  }
}

// Rows like a scan's: smooth gradients with a little noise, so that every filter wins some rows.
std::vector<uint8_t> ScanLikeRows(const PageLayout& l, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> rows(size_t(l.bytesPerLine) * l.height);
  for (uint32_t y = 0; y < l.height; ++y)
    for (uint32_t x = 0; x < l.bytesPerLine; ++x)
      rows[size_t(y) * l.bytesPerLine + x] = static_cast<uint8_t>(x / 3 + 2 * y + (y % 9 == 0 ? rng() : rng() % 6));
  return rows;
}

template <typename Writer, typename Tuning>
void WriteWith(const std::string& path, const Tuning& tuning, const PageLayout& l, const std::vector<uint8_t>& rows) {
  Writer writer(path, tuning);
  std::string error;
  ASSERT_TRUE(writer.BeginPage(l, &error)) << error;
  for (uint32_t y = 0; y < l.height; ++y) ASSERT_TRUE(writer.WriteRow(rows.data() + size_t(y) * l.bytesPerLine, &error)) << error;
  ASSERT_TRUE(writer.EndPage(&error)) << error;
  ASSERT_TRUE(writer.Close(&error)) << error;
}

TEST_F(OutputTargetTest, CompressedStripsJoinIntoFilesThatDecodeToTheRowsSent) {
  const bool checkers = tooltest::Run({"sh", "-c", "command -v pngcheck && command -v tiffinfo"}).exitStatus == 0;
  const struct {
    ColorMode mode;
    int filter;  // PNG filter type, or kFilterMinimum; TIFF: the predictor when even
    int level;   // TIFF: libdeflate's when odd, zlib's when even
    unsigned threads;
    uint32_t stripBytes;  // below one row: a row a strip
  } cases[] = {{ColorMode::Color, 0, 1, 1, 1},     {ColorMode::Color, 1, 3, 2, 5000},
               {ColorMode::Color, 2, 6, 3, 20000}, {ColorMode::Gray, 3, 3, 2, 1000},
               {ColorMode::Gray, 4, 9, 4, 700},    {ColorMode::Color, PngPageWriter::kFilterMinimum, 3, 2, 4096},
               {ColorMode::Color, 4, 0, 2, 1 << 20}, {ColorMode::BlackWhite, 0, 1, 2, 10}};
  for (const auto& c : cases) {
    const PageLayout l = Layout(c.mode, 304, 67);
    const std::vector<uint8_t> rows = ScanLikeRows(l, c.filter + 10 * c.level);
    const Image want = tooltest::FromDriverRows(rows, l.width, l.height, ModeCode(c.mode));
    const std::string tag = "mode " + std::to_string(ModeCode(c.mode)) + " filter " + std::to_string(c.filter) +
                            " level " + std::to_string(c.level) + " strip " + std::to_string(c.stripBytes);
    const std::string png = scratch_.File("strips.png"), tif = scratch_.File("strips.tif");
    std::string error;
    Image got;
    PngPageWriter::Tuning pngTuning;
    pngTuning.filter = c.filter;
    pngTuning.level = c.level;
    pngTuning.threads = c.threads;
    pngTuning.stripBytes = c.stripBytes;
    WriteWith<PngPageWriter>(png, pngTuning, l, rows);
    ASSERT_TRUE(tooltest::DecodePng(png, &got, &error)) << tag << ": " << error;
    ExpectSame(got, want, "png " + tag);
    TiffPageWriter::Tuning tiffTuning;
    tiffTuning.predictor = c.filter % 2 == 0;
    tiffTuning.level = c.level;
    tiffTuning.libdeflate = c.level % 2 == 1;
    tiffTuning.threads = c.threads;
    tiffTuning.stripBytes = c.stripBytes;
    WriteWith<TiffPageWriter>(tif, tiffTuning, l, rows);
    std::vector<Image> pages;
    ASSERT_TRUE(tooltest::DecodeTiff(tif, &pages, nullptr, &error)) << tag << ": " << error;
    ASSERT_EQ(pages.size(), 1u) << tag;
    ExpectSame(pages[0], want, "tiff " + tag);
    if (!checkers) continue;  // pngcheck and tiffinfo come with scripts/setup-deps.sh
    const tooltest::ProcessResult pngcheck = tooltest::Run({"pngcheck", png});
    EXPECT_EQ(pngcheck.exitStatus, 0) << tag << ": " << pngcheck.out;
    const tooltest::ProcessResult tiffinfo = tooltest::Run({"tiffinfo", "-D", tif});
    EXPECT_EQ(tiffinfo.exitStatus, 0) << tag;
    EXPECT_EQ(tiffinfo.err, "") << tag;
  }
}

Image DecodeJpeg(const std::string& bytes, const PageLayout& l) {
  cavixsim::SentPage page;
  page.geometry.pixelsPerLine = l.width;
  page.geometry.lines = l.height;
  page.colorProcessing = l.mode == ColorMode::Color ? cavixsim::kColorRgb24 : cavixsim::kColorGray8;
  page.data.assign(bytes.begin(), bytes.end());
  Image image;
  std::string error;
  EXPECT_TRUE(tooltest::DecodeSentPage(page, &image, &error)) << error;
  return image;
}

// Rows through libjpeg's defaults at the PDF writer's quality and back: what the PDF's picture
// must decode to.
Image ThroughLibjpeg(const std::vector<uint8_t>& rows, const PageLayout& l) {
  jpeg_compress_struct c;
  jpeg_error_mgr e;
  c.err = jpeg_std_error(&e);
  jpeg_create_compress(&c);
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &jpeg, &size);
  c.image_width = l.width;
  c.image_height = l.height;
  c.input_components = l.mode == ColorMode::Color ? 3 : 1;
  c.in_color_space = l.mode == ColorMode::Color ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, PdfPageWriter::Tuning().quality, TRUE);
  jpeg_start_compress(&c, TRUE);
  for (JSAMPROW row; c.next_scanline < l.height; jpeg_write_scanlines(&c, &row, 1))
    row = const_cast<uint8_t*>(rows.data()) + size_t(c.next_scanline) * l.bytesPerLine;
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  const std::string bytes(reinterpret_cast<char*>(jpeg), size);
  std::free(jpeg);
  return DecodeJpeg(bytes, l);
}

TEST_F(OutputTargetTest, PdfPicturesAreLibjpegsEncodingOfTheRows) {
  if (tooltest::Run({"sh", "-c", "command -v pdfimages"}).exitStatus != 0) GTEST_SKIP() << "no pdfimages";
  // A noisy page whose JPEG outgrows the stream's first memory, then pages that reuse the
  // compressor and the size it learnt.
  const PageLayout layouts[] = {Layout(ColorMode::Color, 2200, 1900), Layout(ColorMode::Gray, 304, 67),
                                Layout(ColorMode::Color, 104, 37)};
  const std::string pdf = scratch_.File("job.pdf");
  std::vector<std::vector<uint8_t>> sent;
  std::string error;
  {
    OutputTarget out(pdf);
    for (unsigned i = 0; i < 3; ++i) {
      sent.push_back(RandomRows(layouts[i], 40 + i));
      WritePage(out, i + 1, layouts[i], sent[i]);
    }
    ASSERT_TRUE(out.Finish(&error)) << error;
  }
  ASSERT_EQ(tooltest::Run({"pdfimages", "-j", pdf, scratch_.File("picture")}).exitStatus, 0);
  for (unsigned i = 0; i < 3; ++i) {
    const std::string picture = tooltest::ReadFile(scratch_.File("picture-00" + std::to_string(i) + ".jpg"));
    ExpectSame(DecodeJpeg(picture, layouts[i]), ThroughLibjpeg(sent[i], layouts[i]), "pdf page " + std::to_string(i + 1));
  }
}

TEST_F(OutputTargetTest, PnmHeaderIsWrittenByHand) {
  // The header read by netpbm tools: magic, a comment, size, maxval (none for P4).
  EXPECT_EQ(PnmPageWriter::Header(Layout(ColorMode::Color, 8, 2)), "P6\n# resolution 150 dpi\n8 2\n255\n");
  EXPECT_EQ(PnmPageWriter::Header(Layout(ColorMode::BlackWhite, 16, 3)), "P4\n# resolution 150 dpi\n16 3\n");
  // And a one-bit page written bit for bit: a set driver bit is white, a set P4 bit black.
  const std::string path = scratch_.File("bits.pbm");
  std::string error;
  {
    OutputTarget out(path);
    const PageLayout l = Layout(ColorMode::BlackWhite, 16, 1);
    ASSERT_TRUE(out.BeginPage(1, l, &error));
    const uint8_t row[2] = {0xF0, 0x01};
    ASSERT_TRUE(out.Write(row, 2, &error));
    ASSERT_TRUE(out.EndPage(&error));
    ASSERT_TRUE(out.Finish(&error));
  }
  EXPECT_EQ(tooltest::ReadFile(path), std::string("P4\n# resolution 150 dpi\n16 1\n\x0F\xFE", 31));
}

TEST_F(OutputTargetTest, FeederPagesGoToOneTiffOrToNumberedFiles) {
  // Every mode, a page of several strips, and a narrow page after a wide one: the TIFF writer
  // keeps its workers and strip buffers from page to page.
  const PageLayout layouts[] = {Layout(ColorMode::Gray, 64, 20), Layout(ColorMode::Color, 400, 250),
                                Layout(ColorMode::BlackWhite, 64, 20), Layout(ColorMode::Color, 64, 20)};
  const unsigned count = 4;
  std::vector<std::vector<uint8_t>> sent;
  std::vector<Image> want;
  for (unsigned i = 0; i < count; ++i) {
    const PageLayout& l = layouts[i];
    sent.push_back(RandomRows(l, 100 + i));
    want.push_back(tooltest::FromDriverRows(sent[i], l.width, l.height, ModeCode(l.mode)));
  }
  std::string error;
  {
    OutputTarget out(scratch_.File("job.tiff"));
    for (unsigned i = 0; i < count; ++i) WritePage(out, i + 1, layouts[i], sent[i]);
    ASSERT_TRUE(out.Finish(&error)) << error;
    EXPECT_EQ(out.Files(), std::vector<std::string>{scratch_.File("job.tiff")});
  }
  std::vector<Image> pages;
  ASSERT_TRUE(tooltest::DecodeTiff(scratch_.File("job.tiff"), &pages, nullptr, &error)) << error;
  ASSERT_EQ(pages.size(), count);
  for (unsigned i = 0; i < count; ++i) ExpectSame(pages[i], want[i], "tiff page " + std::to_string(i + 1));

  {
    OutputTarget out(scratch_.File("p-%03d.png"));
    for (unsigned i = 0; i < 3; ++i) WritePage(out, i + 1, layouts[i], sent[i]);
    ASSERT_TRUE(out.Finish(&error)) << error;
    EXPECT_EQ(out.Files(), (std::vector<std::string>{scratch_.File("p-001.png"), scratch_.File("p-002.png"),
                                                      scratch_.File("p-003.png")}));
  }
  for (unsigned i = 0; i < 3; ++i) {
    Image got;
    ASSERT_TRUE(tooltest::DecodePng(scratch_.File("p-00" + std::to_string(i + 1) + ".png"), &got, &error)) << error;
    ExpectSame(got, want[i], "png page " + std::to_string(i + 1));
  }
  EXPECT_EQ(OutputTarget::FileName("scan-%d-100%%.pnm", 12), "scan-12-100%.pnm");
}

// What a name holds before a scan: the test compares it after a failure.
struct Before {
  const char* link;     // the name is a symbolic link to this file (nullptr: no link)
  const char* content;  // the file's content (nullptr: no file)
  mode_t mode;          // its mode
};

std::string State(const std::string& dir, const std::string& name) {
  std::string state;
  for (const std::string& n : {name, std::string("real")}) {
    struct stat st;
    char target[256] = {};
    if (::lstat((dir + "/" + n).c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) state += n + " -> " + std::string(target, ::readlink((dir + "/" + n).c_str(), target, 255)) + "; ";
    else state += n + " " + std::to_string(st.st_mode & 07777) + " " + tooltest::ReadFile(dir + "/" + n) + "; ";
  }
  for (const std::string& f : tooltest::ListDirectory(dir))
    if (f != name && f != "real" && f != "filler") state += "stray " + f + "; ";
  return state;
}

void Plant(const std::string& dir, const std::string& name, const Before& b) {
  const std::string file = dir + "/" + (b.link ? b.link : name.c_str());
  if (b.link) { ASSERT_EQ(::symlink(b.link, (dir + "/" + name).c_str()), 0); }
  if (b.content) {
    std::ofstream(file) << b.content;
    ASSERT_EQ(::chmod(file.c_str(), b.mode), 0);
  }
}

// Fills the file system of `dir` but for `blocks` blocks of 4 KiB.
void FillBut(const std::string& dir, size_t blocks) {
  const int fd = ::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  const std::vector<char> block(4096, 'f');
  off_t size = 0;
  while (::write(fd, block.data(), block.size()) == 4096) size += 4096;
  ASSERT_EQ(::ftruncate(fd, std::max<off_t>(0, size - off_t(blocks) * 4096)), 0);
  ::close(fd);
}

TEST_F(OutputTargetTest, AFailedOrCancelledFileLeavesItsNameAsItWasAndWholePagesStay) {
  const PageLayout l = Layout(ColorMode::Color, 160, 120);
  const std::vector<uint8_t> rows = RandomRows(l, 5);
  std::string error;
  {
    OutputTarget out(scratch_.File("s-%d.pnm"));
    WritePage(out, 1, l, rows);
    ASSERT_TRUE(out.BeginPage(2, l, &error));
    ASSERT_TRUE(out.Write(rows.data(), rows.size() / 2, &error));
    EXPECT_TRUE(out.Abort());
  }
  EXPECT_TRUE(tooltest::Exists(scratch_.File("s-1.pnm")));
  EXPECT_FALSE(tooltest::Exists(scratch_.File("s-2.pnm")));
  for (const std::string& f : tooltest::ListDirectory(scratch_.Path())) EXPECT_NE(f[0], '.') << "stray " << f;

  // Small file systems of their own for the full disk and a read-only one (the refused open
  // that holds for root too), in a mount namespace of this process.
  const bool tmpfs = ::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  enum Failure { kRefused, kReadOnly, kMidPage, kFullDisk };
  const Before kOld{nullptr, "old", 0644}, kOldReadOnly{nullptr, "old", 0444}, kLink{"real", "old", 0640},
      kNothing{nullptr, nullptr, 0}, kDangling{"real", nullptr, 0};
  const struct {
    const char* name;
    Before before;
    Failure failure;
    const char* error;
  } cases[] = {
      {"keep.png", kOldReadOnly, kReadOnly, "keep.png: Read-only file system"},
      {"keep.tif", kOld, kReadOnly, "keep.tif: Read-only file system"},
      {"keep.pdf", kOld, kReadOnly, "keep.pdf: Read-only file system"},
      {"link.pnm", kLink, kReadOnly, "link.pnm (a link to "},
      {"dir.png", kNothing, kRefused, "dir.png: Is a directory"},
      {"link.pnm", kLink, kMidPage, ""},
      {"old.tif", kOld, kMidPage, ""},
      {"old.pdf", kOld, kMidPage, ""},
      {"new.png", kNothing, kMidPage, ""},
      {"full.png", kOld, kFullDisk, "No space left on device"},
      {"full.tif", kOld, kFullDisk, "full.tif: write failed"},
      {"full.pnm", kLink, kFullDisk, "No space left on device"},
      {"full.pdf", kOld, kFullDisk, "No space left on device"},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = scratch_.File("case" + std::to_string(index++));
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::string name = dir + "/" + c.name;
    size_t blocks = 0;
    const bool ownFs = c.failure == kReadOnly || c.failure == kFullDisk;
    if (ownFs && !tmpfs) GTEST_SKIP() << "a file system of its own needs root";
    if (c.failure == kFullDisk) {
      // The whole file's size, then a file system one block short of it: the last write fails.
      {
        OutputTarget probe(name);
        WritePage(probe, 1, l, rows);
        ASSERT_TRUE(probe.Finish(&error)) << error;
      }
      blocks = (tooltest::ReadFile(name).size() + 4095) / 4096 - 1;
      ASSERT_EQ(::unlink(name.c_str()), 0);
    }
    if (ownFs) { ASSERT_EQ(::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m,mode=0700"), 0); }
    if (c.failure == kRefused && std::string(c.name) == "dir.png") { ASSERT_EQ(::mkdir(name.c_str(), 0700), 0); }
    Plant(dir, c.name, c.before);
    if (c.failure == kFullDisk) FillBut(dir, blocks);
    if (c.failure == kReadOnly) {
      ASSERT_EQ(::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    }
    const std::string before = State(dir, c.name);
    {
      OutputTarget out(name);
      bool ok = out.BeginPage(1, l, &error);
      EXPECT_EQ(ok, c.failure != kRefused && c.failure != kReadOnly) << error;
      if (ok && c.failure == kMidPage) { EXPECT_TRUE(out.Write(rows.data(), rows.size() / 2, &error)) << error; }
      if (ok && c.failure == kFullDisk)
        ok = out.Write(rows.data(), rows.size(), &error) && out.EndPage(&error) && out.Finish(&error);
      EXPECT_EQ(ok, c.failure == kMidPage);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      EXPECT_EQ(error.find("/."), std::string::npos) << "names the temporary file: " << error;
    }
    EXPECT_EQ(State(dir, c.name), before);
    if (ownFs) ::umount(dir.c_str());
  }
  // A link is followed, and the file it points to replaced whole; the link stays.
  for (const Before& b : {kLink, kDangling}) {
    const std::string dir = scratch_.File("case" + std::to_string(index++));
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    Plant(dir, "ok.pnm", b);
    OutputTarget out(dir + "/ok.pnm");
    WritePage(out, 1, l, rows);
    ASSERT_TRUE(out.Finish(&error)) << error;
    std::vector<Image> pages;
    ASSERT_TRUE(tooltest::DecodePnm(dir + "/real", &pages, &error)) << error;
    // The link stays, and a file that was there keeps its mode.
    const std::string want = b.content ? "ok.pnm -> real; real 416 P6" : "ok.pnm -> real; real ";
    EXPECT_EQ(State(dir, "ok.pnm").substr(0, want.size()), want);
  }
}

TEST_F(OutputTargetTest, APageEndedEarlyIsFilledWhiteAndTooManyRowsAreRefused) {
  const PageLayout l = Layout(ColorMode::Gray, 16, 8);
  const std::vector<uint8_t> rows = RandomRows(l, 9);
  std::string error;
  const std::string path = scratch_.File("short.png");
  {
    OutputTarget out(path);
    ASSERT_TRUE(out.BeginPage(1, l, &error));
    ASSERT_TRUE(out.Write(rows.data(), 16 * 5 + 3, &error));  // five rows and three bytes
    ASSERT_TRUE(out.EndPage(&error));
    ASSERT_TRUE(out.Finish(&error));
    EXPECT_EQ(out.FilledRows(), 3u);
  }
  Image got;
  ASSERT_TRUE(tooltest::DecodePng(path, &got, &error)) << error;
  ASSERT_EQ(got.height, 8u);
  std::vector<uint8_t> want(rows.begin(), rows.begin() + 16 * 5 + 3);
  want.resize(16 * 8, 0xFF);
  EXPECT_TRUE(got.pixels == want);

  OutputTarget over(scratch_.File("over.pnm"));
  ASSERT_TRUE(over.BeginPage(1, l, &error));
  ASSERT_TRUE(over.Write(rows.data(), rows.size(), &error));
  EXPECT_FALSE(over.Write(rows.data(), 1, &error));
  EXPECT_NE(error.find("more rows than the page has"), std::string::npos) << error;
}

}  // namespace
