// Decoding a 300 dpi colour A4 JPEG (2550 x 3508) fed in 64 KB chunks through the
// decompressor's growing temporary file, against libjpeg decoding the same JPEG from memory in
// one go, in the same run.
#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "image/JpegDecompressor.h"

namespace {

constexpr uint32_t kWidth = 2550;
constexpr uint32_t kHeight = 3508;
constexpr size_t kChunk = 64 * 1024;

const std::vector<uint8_t>& PageJpeg() {
  static const std::vector<uint8_t> jpeg = [] {
    jpeg_compress_struct c;
    jpeg_error_mgr e;
    c.err = jpeg_std_error(&e);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = kWidth;
    c.image_height = kHeight;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 85, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(kWidth * 3);
    while (c.next_scanline < kHeight) {
      uint32_t y = c.next_scanline;
      for (uint32_t x = 0; x < kWidth; ++x) {
        // Text-like detail on a gradient, so the page compresses as a scan does.
        bool ink = ((x / 3 + y / 5) % 17) < 2 && (y / 40) % 3 != 0;
        row[3 * x] = ink ? 20 : uint8_t(200 + x % 50);
        row[3 * x + 1] = ink ? 25 : uint8_t(210 + y % 40);
        row[3 * x + 2] = ink ? 30 : uint8_t(220 + (x + y) % 30);
      }
      JSAMPROW r = row.data();
      jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    std::vector<uint8_t> v(out, out + size);
    jpeg_destroy_compress(&c);
    free(out);
    return v;
  }();
  return jpeg;
}

void BM_LibjpegFromMemory(benchmark::State& state) {
  const std::vector<uint8_t>& jpeg = PageJpeg();
  std::vector<uint8_t> row(kWidth * 3);
  for (auto _ : state) {
    jpeg_decompress_struct d;
    jpeg_error_mgr e;
    d.err = jpeg_std_error(&e);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, jpeg.data(), jpeg.size());
    jpeg_read_header(&d, TRUE);
    jpeg_start_decompress(&d);
    while (d.output_scanline < d.output_height) {
      JSAMPROW r = row.data();
      jpeg_read_scanlines(&d, &r, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    benchmark::DoNotOptimize(row.data());
  }
  state.counters["jpeg_bytes"] = double(jpeg.size());
}
BENCHMARK(BM_LibjpegFromMemory)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_JpegDecompressorIn64KChunks(benchmark::State& state) {
  const std::vector<uint8_t>& jpeg = PageJpeg();
  JpegDecompressor d;
  for (auto _ : state) {
    uint32_t rows = 0;
    auto take = [&](bool final) {
      std::unique_ptr<uint8_t[]> row;
      uint32_t length = 0;
      while (d.GetRow(row, length, final)) ++rows;
    };
    size_t first = std::min(kChunk, jpeg.size());
    d.SubmitFirstBuffer(jpeg.data(), static_cast<uint32_t>(first));
    d.StartDecompression();
    take(false);
    for (size_t pos = first; pos < jpeg.size(); pos += kChunk) {
      d.SubmitNextBuffer(jpeg.data() + pos, static_cast<uint32_t>(std::min(kChunk, jpeg.size() - pos)));
      take(false);
    }
    take(true);
    d.FinishDecompress();
    if (rows != kHeight) {
      state.SkipWithError("rows missing");
      return;
    }
  }
}
BENCHMARK(BM_JpegDecompressorIn64KChunks)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
