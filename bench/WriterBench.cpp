// cavix-bench-writers: the PNG, TIFF and PDF writers' settings measured on one page, against
// what libpng's defaults, libtiff's LZW and libjpeg's defaults at quality 75 (the peer's PDF)
// make of it: wall and CPU seconds of the writer alone (rows already in memory), the file's
// size, and for PDF the PSNR of the embedded JPEG against the rows.
//
//   cavix-bench-writers PAGE.jpg [NOISE [FORMATS]]
//
// PAGE.jpg is a colour page as the scanner sends it (bench/e2e captures them); NOISE, when
// given and not 0, adds to every sample a deterministic pseudo-random value of about that
// standard deviation, as a scanner's sensor adds noise to a real sheet, and sends the page
// through JPEG at the scanner's quality (85) again, as the scanner would. FORMATS is a
// comma-separated choice of png, tiff and pdf (all by default). Files go to /dev/shm.
#include <png.h>
#include <jpeglib.h>
#include <tiffio.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchPage.h"
#include "tools/PdfPageWriter.h"
#include "tools/PngPageWriter.h"
#include "tools/TiffPageWriter.h"

namespace {

struct Page {
  PageLayout layout;
  BenchPage pixels;
  const uint8_t* Row(uint32_t y) const { return pixels.Row(y); }
};

double Now(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

// The PSNR of the first JPEG stream in the file against the page's rows, as text.
std::string JpegPsnr(const std::string& path, const BenchPage& page) {
  const std::vector<uint8_t> file = BenchPage::ReadFile(path);
  const uint8_t soi[] = {0xFF, 0xD8, 0xFF};
  const auto at = std::search(file.begin(), file.end(), soi, soi + 3);
  BenchPage decoded;
  if (at == file.end() || !BenchPage::Decode(std::vector<uint8_t>(at, file.end()), &decoded)) return "no JPEG";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f dB", page.Psnr(decoded));
  return text;
}

// Runs `write` three times; prints the best wall and CPU times and the size of the file (and
// with `page`, the PSNR of its JPEG).
template <typename F>
long Measure(const std::string& what, const std::string& path, long reference, F write,
             const BenchPage* page = nullptr) {
  double wall = 1e9, cpu = 1e9;
  for (int i = 0; i < 3; ++i) {
    const double w0 = Now(CLOCK_MONOTONIC), c0 = Now(CLOCK_PROCESS_CPUTIME_ID);
    if (!write()) {
      std::printf("%-40s failed\n", what.c_str());
      return -1;
    }
    wall = std::fmin(wall, Now(CLOCK_MONOTONIC) - w0);
    cpu = std::fmin(cpu, Now(CLOCK_PROCESS_CPUTIME_ID) - c0);
  }
  const long size = FileSize(path);
  std::printf("%-40s %8.3f %8.3f %11ld %6.3f %s\n", what.c_str(), wall, cpu, size,
              reference > 0 ? double(size) / double(reference) : 1.0, page ? JpegPsnr(path, *page).c_str() : "");
  return size;
}

template <typename W>
bool WriteWith(W& writer, const Page& page) {
  std::string error;
  if (!writer.BeginPage(page.layout, &error)) return false;
  for (uint32_t r = 0; r < page.layout.height; ++r)
    if (!writer.WriteRow(page.Row(r), &error)) return false;
  return writer.EndPage(&error) && writer.Close(&error);
}

bool LibpngDefaults(const Page& page, const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "wb");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) return false;
  png_init_io(png, f);
  png_set_IHDR(png, info, page.layout.width, page.layout.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (uint32_t r = 0; r < page.layout.height; ++r)
    png_write_row(png, const_cast<uint8_t*>(page.Row(r)));
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return std::fclose(f) == 0;
}

bool LibtiffLzw(const Page& page, const std::string& path) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  if (!t) return false;
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, page.layout.width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, page.layout.height);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
  std::vector<uint8_t> row(page.layout.bytesPerLine);
  bool ok = true;
  for (uint32_t r = 0; r < page.layout.height && ok; ++r) {
    std::copy_n(page.Row(r), row.size(), row.begin());
    ok = TIFFWriteScanline(t, row.data(), r, 0) >= 0;
  }
  TIFFClose(t);
  return ok;
}

// libjpeg's defaults at `quality` to a JPEG file, as the peer's PDF holds the page.
bool LibjpegDefaults(const Page& page, int quality, const std::string& path) {
  const std::vector<uint8_t> jpeg = page.pixels.Encode(quality);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(jpeg.data(), 1, jpeg.size(), f) == jpeg.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: cavix-bench-writers PAGE.jpg [NOISE [FORMATS]]\n");
    return 2;
  }
  Page page;
  if (!BenchPage::Decode(BenchPage::ReadFile(argv[1]), &page.pixels)) {
    std::fprintf(stderr, "cavix-bench-writers: cannot read %s\n", argv[1]);
    return 1;
  }
  const double noise = argc > 2 ? std::atof(argv[2]) : 0;
  if (noise > 0) {
    page.pixels.AddNoise(noise);
    BenchPage::Decode(page.pixels.Encode(85), &page.pixels);
  }
  const std::string formats = argc > 3 ? argv[3] : "png,tiff,pdf";
  auto wanted = [&formats](const char* format) { return formats.find(format) != std::string::npos; };
  page.layout.width = page.pixels.width;
  page.layout.height = page.pixels.height;
  page.layout.bytesPerLine = static_cast<uint32_t>(page.pixels.BytesPerLine());
  page.layout.mode = ColorMode::Color;
  page.layout.dpi = 300;
  std::printf("%ux%u colour page, noise %g\n", page.layout.width, page.layout.height, noise);
  std::printf("%-40s %8s %8s %11s %6s\n", "writer", "wall s", "cpu s", "bytes", "x");
  const std::string png = "/dev/shm/cavix-bench-writers.png", tif = "/dev/shm/cavix-bench-writers.tif";
  const std::string pdf = "/dev/shm/cavix-bench-writers.pdf";
  if (wanted("png")) {
    const long pngRef = Measure("libpng defaults (one core)", png, 0, [&] { return LibpngDefaults(page, png); });
    const char* filters[] = {"none", "sub", "up", "average", "paeth", "minimum"};
    for (int level : {1, 2, 3, 4, 6}) {
      for (int filter : {2, 4, PngPageWriter::kFilterMinimum}) {
        for (int strategy : {0, 1, 3}) {
          PngPageWriter::Tuning tuning;
          tuning.level = level;
          tuning.filter = filter;
          tuning.strategy = strategy;
          char what[80];
          std::snprintf(what, sizeof what, "png level %d %s %s", level, filters[filter],
                        strategy == 0 ? "default" : strategy == 1 ? "filtered" : "rle");
          Measure(what, png, pngRef, [&] {
            PngPageWriter writer(png, tuning);
            return WriteWith(writer, page);
          });
        }
      }
    }
  }
  if (wanted("tiff")) {
    const long tifRef = Measure("libtiff LZW (one core)", tif, 0, [&] { return LibtiffLzw(page, tif); });
    for (int level : {1, 2, 3, 6}) {
      for (int variant = 0; variant < 4; ++variant) {
        TiffPageWriter::Tuning tuning;
        tuning.level = level;
        tuning.predictor = variant & 1;
        tuning.libdeflate = variant & 2;
        char what[80];
        std::snprintf(what, sizeof what, "tiff %s level %d%s", tuning.libdeflate ? "libdeflate" : "zlib", level,
                      tuning.predictor ? " predictor" : "");
        Measure(what, tif, tifRef, [&] {
          TiffPageWriter writer(tif, tuning);
          return WriteWith(writer, page);
        });
      }
    }
    for (uint32_t kb : {32, 64, 128, 256, 512, 1024}) {
      TiffPageWriter::Tuning tuning;
      tuning.stripBytes = kb * 1024;
      char what[80];
      std::snprintf(what, sizeof what, "tiff chosen, strips of %u KB", kb);
      Measure(what, tif, tifRef, [&] {
        TiffPageWriter writer(tif, tuning);
        return WriteWith(writer, page);
      });
    }
  }
  if (wanted("pdf")) {
    const long jpegRef = Measure("libjpeg quality 75 (the peer's)", pdf, 0,
                                 [&] { return LibjpegDefaults(page, 75, pdf); }, &page.pixels);
    for (int quality : {70, 72, 75, 80, 85}) {
      for (bool fast : {false, true}) {
        PdfPageWriter::Tuning tuning;
        tuning.quality = quality;
        tuning.fastDct = fast;
        char what[80];
        std::snprintf(what, sizeof what, "pdf quality %d %s", quality, fast ? "fast DCT" : "slow DCT");
        Measure(
            what, pdf, jpegRef,
            [&] {
              PdfPageWriter writer(pdf, tuning);
              return WriteWith(writer, page);
            },
            &page.pixels);
      }
    }
  }
  std::remove(png.c_str());
  std::remove(tif.c_str());
  std::remove(pdf.c_str());
  return 0;
}
