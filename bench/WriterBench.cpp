// cavix-bench-writers: the PNG and TIFF writers' compression settings measured on one page,
// against what libpng's defaults and libtiff's LZW make of it: wall and CPU seconds of the
// writer alone (rows already in memory) and the file's size.
//
//   cavix-bench-writers PAGE.jpg [NOISE]
//
// PAGE.jpg is a colour page as the scanner sends it (bench/e2e captures them); NOISE, when
// given, adds to every sample a deterministic pseudo-random value of about that standard
// deviation, as a scanner's sensor adds noise to a real sheet, and sends the page through JPEG
// at the scanner's quality (85) again, as the scanner would. Files go to /dev/shm.
#include <png.h>
#include <jpeglib.h>
#include <tiffio.h>
#include <sys/stat.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/PngPageWriter.h"
#include "tools/TiffPageWriter.h"

namespace {

struct Page {
  PageLayout layout;
  std::vector<uint8_t> rows;
};

bool Decode(const std::vector<uint8_t>& jpeg, Page* page) {
  jpeg_decompress_struct d;
  jpeg_error_mgr e;
  d.err = jpeg_std_error(&e);
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, jpeg.data(), jpeg.size());
  jpeg_read_header(&d, TRUE);
  d.out_color_space = JCS_RGB;
  jpeg_start_decompress(&d);
  page->layout.width = d.output_width;
  page->layout.height = d.output_height;
  page->layout.bytesPerLine = d.output_width * 3;
  page->layout.mode = ColorMode::Color;
  page->rows.resize(size_t(page->layout.bytesPerLine) * d.output_height);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = page->rows.data() + size_t(d.output_scanline) * page->layout.bytesPerLine;
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return true;
}

std::vector<uint8_t> Encode(const Page& page, int quality) {
  jpeg_compress_struct c;
  jpeg_error_mgr e;
  c.err = jpeg_std_error(&e);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = page.layout.width;
  c.image_height = page.layout.height;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(page.rows.data()) + size_t(c.next_scanline) * page.layout.bytesPerLine;
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uint8_t> jpeg(out, out + size);
  std::free(out);
  return jpeg;
}

void AddNoise(double sigma, Page* page) {
  uint32_t state = 12345;
  auto next = [&state] {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    return (state & 0xFFFF) / 65536.0;
  };
  // The sum of three uniform values is close to normal; scaled to the asked deviation.
  const double scale = sigma * 2.0;
  for (uint8_t& b : page->rows) {
    const double v = b + (next() + next() + next() - 1.5) * scale;
    b = static_cast<uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, v))));
  }
}

double Now(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

long FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

// Runs `write` three times; prints the best wall and CPU times and the size of the file.
template <typename F>
long Measure(const std::string& what, const std::string& path, long reference, F write) {
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
  std::printf("%-40s %8.3f %8.3f %11ld %6.3f\n", what.c_str(), wall, cpu, size,
              reference > 0 ? double(size) / double(reference) : 1.0);
  return size;
}

template <typename W>
bool WriteWith(W& writer, const Page& page) {
  std::string error;
  if (!writer.BeginPage(page.layout, &error)) return false;
  for (uint32_t r = 0; r < page.layout.height; ++r)
    if (!writer.WriteRow(page.rows.data() + size_t(r) * page.layout.bytesPerLine, &error)) return false;
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
    png_write_row(png, page.rows.data() + size_t(r) * page.layout.bytesPerLine);
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
    std::copy_n(page.rows.data() + size_t(r) * page.layout.bytesPerLine, row.size(), row.begin());
    ok = TIFFWriteScanline(t, row.data(), r, 0) >= 0;
  }
  TIFFClose(t);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: cavix-bench-writers PAGE.jpg [NOISE]\n");
    return 2;
  }
  std::vector<uint8_t> jpeg;
  if (FILE* f = std::fopen(argv[1], "rb")) {
    uint8_t buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) jpeg.insert(jpeg.end(), buffer, buffer + n);
    std::fclose(f);
  }
  Page page;
  if (jpeg.empty() || !Decode(jpeg, &page)) {
    std::fprintf(stderr, "cavix-bench-writers: cannot read %s\n", argv[1]);
    return 1;
  }
  if (argc > 2) {
    AddNoise(std::atof(argv[2]), &page);
    Decode(Encode(page, 85), &page);
  }
  page.layout.dpi = 300;
  std::printf("%ux%u colour page%s\n", page.layout.width, page.layout.height,
              argc > 2 ? (std::string(", noise ") + argv[2]).c_str() : "");
  std::printf("%-40s %8s %8s %11s %6s\n", "writer", "wall s", "cpu s", "bytes", "x");
  const std::string png = "/dev/shm/cavix-bench-writers.png", tif = "/dev/shm/cavix-bench-writers.tif";
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
  std::remove(png.c_str());
  std::remove(tif.c_str());
  return 0;
}
