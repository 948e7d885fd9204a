// Moving a 300 dpi colour A4 page (3508 rows of 7650 bytes) from a writer thread through the
// pad-line stream and the page stream to a reader thread, against a plain memcpy of the same
// bytes in the same run. Target: the stream's bandwidth at least half of memcpy's.
// Both sides write into memory that is already touched: memcpy's destination is filled before
// its loop, the reader's 64 KB buffer is zero-filled before the loop, and the stream's page
// reuses the mapping of the page before (only the first page of a run pays the page faults;
// BM_MemcpyIntoFreshPageMapping shows what they cost). The source page is the same vector for
// both. Run with --benchmark_enable_random_interleaving=true and repetitions on a shared
// machine: the stream needs both processors at once, memcpy only one.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "image/IImageStream.h"
#include "image/PadlessStreamFactory.h"
#include "platform/PageMapping.h"

namespace {

constexpr uint32_t kRowBytes = 7650;
constexpr uint32_t kRows = 3508;
constexpr size_t kPageBytes = size_t(kRowBytes) * kRows;  // 26.8 MB
constexpr uint32_t kReadChunk = 64 * 1024;

std::vector<uint8_t> MakePage() {
  std::vector<uint8_t> page(kPageBytes);
  for (size_t i = 0; i < kPageBytes; ++i) page[i] = static_cast<uint8_t>(i * 131 + (i >> 12));
  for (uint32_t r = 0; r < kRows; ++r) page[size_t(r) * kRowBytes + kRowBytes / 2] = 10;  // content
  return page;
}

void BM_PlainMemcpy(benchmark::State& state) {
  const std::vector<uint8_t> page = MakePage();
  std::vector<uint8_t> out(kPageBytes, 1);
  for (auto _ : state) {
    std::memcpy(out.data(), page.data(), kPageBytes);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPageBytes));
}
BENCHMARK(BM_PlainMemcpy)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same copy into a fresh page mapping, as each page of the stream gets: the first touch of
// every memory page (fault and zero-fill) is part of the cost.
void BM_MemcpyIntoFreshPageMapping(benchmark::State& state) {
  const std::vector<uint8_t> page = MakePage();
  for (auto _ : state) {
    PageMapping mapping(static_cast<size_t>(kPageBytes * 1.1));
    std::memcpy(mapping.Data(), page.data(), kPageBytes);
    benchmark::DoNotOptimize(mapping.Data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPageBytes));
}
BENCHMARK(BM_MemcpyIntoFreshPageMapping)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PadlessBufferedStreamPage(benchmark::State& state) {
  const std::vector<uint8_t> page = MakePage();
  PadlessStreamFactory factory;
  std::unique_ptr<IImageStream> stream(factory.CreateImageStream());
  if (!stream->Init()) {
    state.SkipWithError("Init failed");
    return;
  }
  std::vector<uint8_t> out(kReadChunk);
  for (auto _ : state) {
    stream->SetBytesPerLine(kRowBytes);
    std::thread writer([&] {
      stream->OpenWriteEnd(static_cast<uint32_t>(kPageBytes * 1.1));
      for (uint32_t r = 0; r < kRows; ++r) {
        // As the data source does: publish what came before, then write the row.
        stream->MakeWrittenBytesAvailable();
        uint32_t written = 0;
        stream->Write(page.data() + size_t(r) * kRowBytes, kRowBytes, written);
      }
      stream->SetNumberOfTrailingPadlines(0);
      stream->CloseWriteEnd();  // as the data source does once the count is known
    });
    if (!stream->OpenReadEnd()) {
      writer.join();
      state.SkipWithError("OpenReadEnd failed");
      return;
    }
    size_t total = 0;
    StreamStatus status;
    do {
      uint32_t n = 0;
      status = stream->Read(out.data(), kReadChunk, n);
      total += n;
    } while (status == StreamOk);
    writer.join();
    stream->CloseReadEnd();
    if (total != kPageBytes) {
      state.SkipWithError("short page");
      return;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPageBytes));
}
BENCHMARK(BM_PadlessBufferedStreamPage)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
