#include "BenchPage.h"

#include <jpeglib.h>

#include <setjmp.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

struct JpegErrors {
  jpeg_error_mgr manager;
  jmp_buf jump;
};

void OnJpegError(j_common_ptr info) { longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1); }

}  // namespace

std::vector<uint8_t> BenchPage::ReadFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    uint8_t buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(f);
  }
  return bytes;
}

bool BenchPage::Decode(const std::vector<uint8_t>& jpeg, BenchPage* page) {
  jpeg_decompress_struct d;
  JpegErrors e;
  d.err = jpeg_std_error(&e.manager);
  e.manager.error_exit = OnJpegError;
  if (setjmp(e.jump)) {
    jpeg_destroy_decompress(&d);
    return false;
  }
  jpeg_create_decompress(&d);
  jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&d, TRUE);
  d.out_color_space = JCS_RGB;
  jpeg_start_decompress(&d);
  page->width = d.output_width;
  page->height = d.output_height;
  page->rows.resize(page->BytesPerLine() * d.output_height);
  while (d.output_scanline < d.output_height) {
    JSAMPROW row = page->rows.data() + d.output_scanline * page->BytesPerLine();
    jpeg_read_scanlines(&d, &row, 1);
  }
  jpeg_finish_decompress(&d);
  jpeg_destroy_decompress(&d);
  return true;
}

BenchPage BenchPage::Drawn(uint32_t width, uint32_t height) {
  BenchPage page;
  page.width = width;
  page.height = height;
  page.rows.resize(page.BytesPerLine() * height);
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* row = page.rows.data() + y * page.BytesPerLine();
    for (uint32_t x = 0; x < width; ++x) {
      const bool ink = ((x / 3 + y / 5) % 17) < 2 && (y / 40) % 3 != 0;
      row[3 * x] = ink ? 20 : uint8_t(200 + x % 50);
      row[3 * x + 1] = ink ? 25 : uint8_t(210 + y % 40);
      row[3 * x + 2] = ink ? 30 : uint8_t(220 + (x + y) % 30);
    }
  }
  return page;
}

std::vector<uint8_t> BenchPage::Encode(int quality) const {
  jpeg_compress_struct c;
  jpeg_error_mgr e;
  c.err = jpeg_std_error(&e);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = width;
  c.image_height = height;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, quality, TRUE);
  jpeg_start_compress(&c, TRUE);
  while (c.next_scanline < c.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(Row(c.next_scanline));
    jpeg_write_scanlines(&c, &row, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::vector<uint8_t> jpeg(out, out + size);
  std::free(out);
  return jpeg;
}

void BenchPage::AddNoise(double sigma) {
  uint32_t state = 12345;
  auto next = [&state] {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    return (state & 0xFFFF) / 65536.0;
  };
  // The sum of three uniform values is close to normal; scaled to the asked deviation.
  const double scale = sigma * 2.0;
  for (uint8_t& b : rows) {
    const double v = b + (next() + next() + next() - 1.5) * scale;
    b = static_cast<uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, v))));
  }
}

double BenchPage::Psnr(const BenchPage& other) const {
  if (other.rows.size() != rows.size() || rows.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    const double d = double(rows[i]) - double(other.rows[i]);
    sum += d * d;
  }
  if (sum == 0) return std::numeric_limits<double>::infinity();
  return 10.0 * std::log10(255.0 * 255.0 * double(rows.size()) / sum);
}
