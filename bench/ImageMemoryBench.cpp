// Peak resident memory while a 600 dpi colour A4 page (7016 rows of 15300 bytes, 107 MB) is
// streamed from a writer thread to a reader thread. Run on its own: the process's peak is the
// measurement. Budget: 1.15 x the page + 32 MB.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <memory>
#include <thread>
#include <vector>

#include "image/IImageStream.h"
#include "image/PadlessStreamFactory.h"

namespace {

constexpr uint32_t kRowBytes = 15300;
constexpr uint32_t kRows = 7016;
constexpr size_t kPageBytes = size_t(kRowBytes) * kRows;

double PeakRssMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;  // kilobytes on Linux
}

void BM_StreamA4At600DpiPeakMemory(benchmark::State& state) {
  PadlessStreamFactory factory;
  std::unique_ptr<IImageStream> stream(factory.CreateImageStream());
  stream->Init();
  std::vector<uint8_t> row(kRowBytes, 200);
  row[kRowBytes / 2] = 5;
  std::vector<uint8_t> out(64 * 1024);
  for (auto _ : state) {
    stream->SetBytesPerLine(kRowBytes);
    std::thread writer([&] {
      stream->OpenWriteEnd(static_cast<uint32_t>(kPageBytes * 1.1));
      for (uint32_t r = 0; r < kRows; ++r) {
        stream->MakeWrittenBytesAvailable();
        uint32_t written = 0;
        row[r % kRowBytes] = uint8_t(r);
        stream->Write(row.data(), kRowBytes, written);
      }
      stream->SetNumberOfTrailingPadlines(0);
      stream->CloseWriteEnd();  // as the data source does once the count is known
    });
    stream->OpenReadEnd();
    size_t total = 0;
    StreamStatus status;
    do {
      uint32_t n = 0;
      status = stream->Read(out.data(), static_cast<uint32_t>(out.size()), n);
      total += n;
    } while (status == StreamOk);
    writer.join();
    stream->CloseReadEnd();
    if (total != kPageBytes) state.SkipWithError("short page");
  }
  const double pageMb = kPageBytes / (1024.0 * 1024.0);
  state.counters["page_MB"] = pageMb;
  state.counters["peak_rss_MB"] = PeakRssMb();
  state.counters["budget_MB"] = 1.15 * pageMb + 32;
}
BENCHMARK(BM_StreamA4At600DpiPeakMemory)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
