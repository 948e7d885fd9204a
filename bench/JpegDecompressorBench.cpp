// Decoding a 300 dpi colour A4 JPEG (2550 x 3508) fed in 64 KB chunks through the
// decompressor's growing temporary file, against libjpeg decoding the same JPEG from memory in
// one go, in the same run.
#include <benchmark/benchmark.h>
#include <jpeglib.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "BenchPage.h"
#include "image/JpegDecompressor.h"

namespace {

constexpr uint32_t kWidth = 2550;
constexpr uint32_t kHeight = 3508;
constexpr size_t kChunk = 64 * 1024;

const std::vector<uint8_t>& PageJpeg() {
  static const std::vector<uint8_t> jpeg = BenchPage::Drawn(kWidth, kHeight).Encode(85);
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
