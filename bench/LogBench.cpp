// Trace scopes and messages against logs whose filter refuses them: the price every operation
// pays while the log is off. Allocations per iteration are counted to show there are none.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <new>
#include <string>

#include "log/CHRESULT2.h"
#include "log/CLog2.h"

namespace {
std::atomic<long> g_allocations{0};
}

// Counting replacements of the global allocation functions (malloc underneath, so that free
// matches).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

std::string g_dir;
CLog2* g_offLog = nullptr;     // no configuration: everything refused
CLog2* g_errorLog = nullptr;   // on, file destination, errors only

void ReportAllocations(benchmark::State& state, long before) {
  state.counters["allocs/iter"] = benchmark::Counter(
      static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations()));
}

void BM_TraceScopeLogOff(benchmark::State& state) {
  DWORD code = 0;
  const long before = g_allocations.load();
  for (auto _ : state) {
    CHRESULT2 hr(g_offLog, "CavixDriver::ReadScanEx", 0x1a2b3c4d, &code);
    hr = S_OK;
    benchmark::DoNotOptimize(static_cast<HRESULT>(hr));
  }
  ReportAllocations(state, before);
}
BENCHMARK(BM_TraceScopeLogOff);

void BM_TraceScopeWithArgumentsLogOff(benchmark::State& state) {
  const long before = g_allocations.load();
  for (auto _ : state) {
    CHRESULT2 hr(g_offLog, "Stream::Read", 0, nullptr, 0, "bytes=%u", 65536u);
    benchmark::DoNotOptimize(static_cast<HRESULT>(hr));
  }
  ReportAllocations(state, before);
}
BENCHMARK(BM_TraceScopeWithArgumentsLogOff);

void BM_TraceScopeErrorsOnlySucceeding(benchmark::State& state) {
  // The log is on but only errors pass: a successful scope writes nothing.
  DWORD code = 0;
  const long before = g_allocations.load();
  for (auto _ : state) {
    CHRESULT2 hr(g_errorLog, "CavixDriver::ReadScanEx", 0x1a2b3c4d, &code);
    benchmark::DoNotOptimize(static_cast<HRESULT>(hr));
  }
  ReportAllocations(state, before);
}
BENCHMARK(BM_TraceScopeErrorsOnlySucceeding);

void BM_TraceScopeNullLog(benchmark::State& state) {
  const long before = g_allocations.load();
  for (auto _ : state) {
    CHRESULT2 hr(nullptr, "CavixDriver::ReadScanEx");
    benchmark::DoNotOptimize(static_cast<HRESULT>(hr));
  }
  ReportAllocations(state, before);
}
BENCHMARK(BM_TraceScopeNullLog);

void BM_PrintRefused(benchmark::State& state) {
  const long before = g_allocations.load();
  for (auto _ : state) g_errorLog->print(0x10000008u, "%s = %d", "bytesRead", 4096);
  ReportAllocations(state, before);
}
BENCHMARK(BM_PrintRefused);

void BM_PrintToFile(benchmark::State& state) {
  // For comparison: an admitted message, formatted and appended under the file's locks.
  for (auto _ : state) g_errorLog->print(0x80000008u, "%s = %d", "bytesRead", 4096);
}
BENCHMARK(BM_PrintToFile);

}  // namespace

int main(int argc, char** argv) {
  char templ[] = "/tmp/cavix-log-bench-XXXXXX";
  if (::mkdtemp(templ) == nullptr) return 1;
  g_dir = templ;
  const std::string hklm = g_dir + "/hklm.reg";
  std::ofstream(hklm) << "Windows Registry Editor Version 5.00\n\n"
                      << "[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\BenchLog]\n"
                      << "\"LogEnabled\"=dword:00000001\n\"LogLevel\"=dword:80000000\n"
                      << "\"LogDestination\"=dword:00000001\n"
                      << "\"LogFile\"=\"" << g_dir << "/bench.log\"\n"
                      << "\"LogSizeKB\"=dword:00000400\n\"LogRollCount\"=dword:00000001\n";
  ::setenv("CAVIX_REGISTRY_HKLM", hklm.c_str(), 1);
  ::setenv("CAVIX_REGISTRY_HKCU", (g_dir + "/hkcu.reg").c_str(), 1);
  ::setenv("CAVIX_LOCK_DIR", (g_dir + "/locks").c_str(), 1);
  g_offLog = new CLog2(std::string());
  g_errorLog = new CLog2(std::string("BenchLog"));

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  delete g_errorLog;
  delete g_offLog;
  const std::string cleanup = "rm -rf '" + g_dir + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 1;
}
