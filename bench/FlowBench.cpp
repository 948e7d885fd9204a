// The scan job flow end to end through the driver object against the in-process simulated
// scanner on loopback:
// - a 300 and a 600 dpi colour A4 platen page (JPEG) from StartScan to the host's last
//   ReadScanEx, against libjpeg decoding the same JPEG from memory in the same run (counter
//   "x_decode": page time / decode time);
// - with the simulator's rate limit, when the first rows reach the host, as a share of the
//   page's whole transfer (counter "first_row_share");
// - the driver's own cost per feeder page beyond transfer and decoding, from pages so small
//   that transfer and decoding take next to nothing (the status, job and pad-line exchanges
//   and the thread hand-offs).
// The log is off (no configuration in the private registry).
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "driver/CavixDriver.h"
#include "driver/CavixScanner.h"
#include "driver/DriverModule.h"
#include "sim/DeviceSimulator.h"
#include "tests/support/HostParameters.h"

using namespace cavixsim;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kAddress = "127.78.0.1";
constexpr const char* kDeviceName =
    "\\\\?\\cavixnet#\\macaddr:00:1B:78:78:00:01\\port1\\ipaddr:127.78.0.1\\guid{7C2B0E11-5A4D-4C6E-9B1F-2D3E4F5A6B7C}";

// One driver session on one simulated scanner for the whole program.
struct Bench {
  std::string dir;
  std::unique_ptr<DeviceSimulator> sim;
  IScanner* scanner = nullptr;
  IADF2* adf = nullptr;
  DWORD session = 0;
  std::vector<BYTE> buffer = std::vector<BYTE>(1 << 20);

  Bench() {
    char pattern[] = "/tmp/cavix-flow-bench-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    dir = pattern;
    setenv("CAVIX_REGISTRY_HKLM", (dir + "/hklm.reg").c_str(), 1);
    setenv("CAVIX_REGISTRY_HKCU", (dir + "/hkcu.reg").c_str(), 1);
    setenv("CAVIX_LOCK_DIR", (dir + "/locks").c_str(), 1);
    unsetenv("CAVIX_NEIGHBOUR_TABLE");
    if (const char* log = std::getenv("CAVIX_FLOW_BENCH_LOG")) {
      // A log for a look at a failing run (it slows everything down).
      FILE* reg = std::fopen((dir + "/hklm.reg").c_str(), "w");
      std::fprintf(reg,
                   "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\"
                   "{1422B44C-CBF9-440D-A286-44AD4F87BF5F}]\n\"LogEnabled\"=dword:00000001\n\"LogLevel\"=dword:b00000ff\n"
                   "\"LogDestination\"=dword:00000001\n\"LogFile\"=\"%s\"\n",
                   log);
      std::fclose(reg);
    }
    DriverModule::Load();
    SimConfig config;
    config.listenAddress = kAddress;
    sim = std::make_unique<DeviceSimulator>(config);
    std::string error;
    if (!sim->Start(&error)) {
      std::fprintf(stderr, "simulator: %s\n", error.c_str());
      std::abort();
    }
    DWORD code = 0;
    CavixDriver::Create(nullptr, IID_IScanner, reinterpret_cast<void**>(&scanner));
    scanner->QueryInterface(IID_IADF2, reinterpret_cast<void**>(&adf));
    const std::string name = kDeviceName;
    const std::u16string wide(name.begin(), name.end());
    if (scanner->OpenScannerSession(wide.c_str(), C_IOTYPE_NETWORK, &session, &code) != S_OK ||
        scanner->LockScanner(session, C_LOCK_PROCESS, 1000, &code) != S_OK)
      std::abort();
  }
  ~Bench() {
    DWORD code = 0;
    scanner->UnlockScanner(session, &code);
    scanner->CloseScannerSession(session, &code);
    adf->Release();
    scanner->Release();
    sim->Stop();
    DriverModule::Unload();
    const std::string command = "rm -rf '" + dir + "'";
    if (std::system(command.c_str()) != 0) std::perror("rm");
  }

  void Reconfigure(SimConfig config) {
    if (!sim->Reconfigure(config)) std::abort();
  }

  uint64_t SetParameters(WORD method, DWORD mode, WORD dpi, DWORD width, DWORD length) {
    SCANNER_PARAMETERS p =
        testsupport::HostParameters(method, mode, mode == C_SCANMODE_BW ? 1 : 8, dpi, 0, 0, width, length);
    DWORD code = 0;
    BUFFER_INFO info{};
    if (scanner->SetScannerParameters(session, &p, &code) != S_OK ||
        scanner->GetBufferInfo(session, &p, &info, &code) != S_OK)
      std::abort();
    return uint64_t(info.dwBytesPerLine) * info.dwPixelHeight;
  }

  // One page: StartScan, reads to the end of the page, StopScan. Returns the bytes read; the
  // time of the first read that delivered bytes goes to firstBytes, the time the last read
  // returned (before the StopScan) to lastRead.
  uint64_t ScanPage(Clock::time_point* firstBytes = nullptr, size_t readSize = size_t(1) << 20,
                    Clock::time_point* lastRead = nullptr) {
    DWORD code = 0;
    if (scanner->StartScan(session, &code) != S_OK) {
      std::fprintf(stderr, "StartScan failed: %u\n", unsigned(code));
      std::abort();
    }
    uint64_t total = 0;
    for (;;) {
      DWORD got = 0;
      if (scanner->ReadScanEx(session, buffer.data(), DWORD(std::min(readSize, buffer.size())), &got, &code) != S_OK) {
        std::fprintf(stderr, "ReadScanEx failed: %u\n", unsigned(code));
        std::abort();
      }
      if (got > 0 && total == 0 && firstBytes) *firstBytes = Clock::now();
      total += got;
      if (code == CERR_SCANNER_END_OF_PAGE) break;
    }
    if (lastRead) *lastRead = Clock::now();
    scanner->StopScan(session, &code);
    return total;
  }
};

Bench& TheBench() {
  static Bench bench;
  return bench;
}

struct JpegError {
  jpeg_error_mgr pub;
  jmp_buf escape;
};

void JpegErrorExit(j_common_ptr cinfo) { longjmp(reinterpret_cast<JpegError*>(cinfo->err)->escape, 1); }

// Decodes a JPEG from memory, row by row into one row buffer (as a host would consume it).
bool DecodeFromMemory(const std::vector<uint8_t>& jpeg) {
  jpeg_decompress_struct cinfo;
  JpegError error;
  cinfo.err = jpeg_std_error(&error.pub);
  error.pub.error_exit = JpegErrorExit;
  if (setjmp(error.escape)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  static std::vector<JSAMPLE> row;
  row.resize(size_t(cinfo.output_width) * cinfo.output_components);
  JSAMPROW rows[1] = {row.data()};
  while (cinfo.output_scanline < cinfo.output_height) jpeg_read_scanlines(&cinfo, rows, 1);
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

// The JPEG the simulator sends for the last job's page.
std::vector<uint8_t> LastJobsJpeg(Bench& bench) {
  Ticket ticket;
  for (const RequestRecord& r : bench.sim->Requests())
    if (r.op == Operation::CreateScanJob) ticket = r.ticket;
  return DeviceSimulator::RenderPage(ticket, 1, 0, 0, false);
}

// CPU seconds of the whole process so far (every thread: host, scan thread, simulator).
double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double SecondsToDecode(const std::vector<uint8_t>& jpeg, int times) {
  const auto start = Clock::now();
  for (int i = 0; i < times; ++i)
    if (!DecodeFromMemory(jpeg)) std::abort();
  return std::chrono::duration<double>(Clock::now() - start).count() / times;
}

// A4 at the resolution, colour, from the platen: 2480 x 3507 (1/300 inch).
// Each page is paired with a libjpeg decode of its JPEG right after it, so that both see the
// machine in the same state (on a shared machine its speed drifts by tens of percent between
// seconds): "x_decode" is the median over the pairs of page time / decode time.
void BM_ColourA4PageToLastRead(benchmark::State& state) {
  Bench& bench = TheBench();
  SimConfig config;
  config.cachePages = true;  // after the first page the device sends at the transport's speed
  bench.Reconfigure(config);
  const WORD dpi = WORD(state.range(0));
  const uint64_t pageBytes = bench.SetParameters(C_SCANMETHOD_FLATBED, C_SCANMODE_COLOR, dpi, 2480, 3507);
  bench.ScanPage();  // fills the device's page cache
  const std::vector<uint8_t> jpeg = LastJobsJpeg(bench);
  if (!DecodeFromMemory(jpeg)) std::abort();
  std::vector<double> ratios;
  double pageCpu = 0, decodeCpu = 0, decodeSeconds = 0;
  for (auto _ : state) {
    const double cpuStart = ProcessCpuSeconds();
    const auto start = Clock::now();
    Clock::time_point lastRead;
    if (bench.ScanPage(nullptr, size_t(1) << 20, &lastRead) != pageBytes) std::abort();
    // To the host's last ReadScanEx: the StopScan after it is not part of the page.
    const double page = std::chrono::duration<double>(lastRead - start).count();
    state.PauseTiming();
    const double cpuMiddle = ProcessCpuSeconds();
    const double decode = SecondsToDecode(jpeg, 1);
    decodeCpu += ProcessCpuSeconds() - cpuMiddle;
    pageCpu += cpuMiddle - cpuStart;
    decodeSeconds += decode;
    ratios.push_back(page / decode);
    state.ResumeTiming();
  }
  std::sort(ratios.begin(), ratios.end());
  const size_t n = ratios.size();
  // Wall time against wall time (what a host waits), and the CPU time of every thread of the
  // process for one page (driver, simulator serving from memory, both ends of loopback)
  // against libjpeg's.
  state.counters["x_decode"] = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
  state.counters["cpu_x_decode"] = pageCpu / decodeCpu;
  state.counters["decode_ms"] = decodeSeconds / double(n) * 1000;
  state.counters["jpeg_MB"] = double(jpeg.size()) / 1e6;
  state.SetBytesProcessed(int64_t(pageBytes) * int64_t(state.iterations()));
}
BENCHMARK(BM_ColourA4PageToLastRead)->Arg(300)->Arg(600)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(12);

// libjpeg alone on the same page, from memory.
void BM_LibjpegDecodeFromMemory(benchmark::State& state) {
  Ticket ticket;
  ticket.format = kFormatJfif;
  ticket.inputSource = kSourcePlaten;
  ticket.colorProcessing = kColorRgb24;
  ticket.resolutionX = ticket.resolutionY = int(state.range(0));
  ticket.regionWidth = 8267;   // 2480 / 300 inch
  ticket.regionHeight = 11690;  // 3507 / 300 inch
  const std::vector<uint8_t> jpeg = DeviceSimulator::RenderPage(ticket, 1, 0, 0, false);
  for (auto _ : state)
    if (!DecodeFromMemory(jpeg)) std::abort();
}
BENCHMARK(BM_LibjpegDecodeFromMemory)->Arg(300)->Arg(600)->Unit(benchmark::kMillisecond)->UseRealTime();

// With the simulator sending at a fixed rate, the share of the page's time after which the
// first rows reached the host.
void BM_FirstRowsWhileThePageArrives(benchmark::State& state) {
  Bench& bench = TheBench();
  SimConfig config;
  config.rateBytesPerSecond = 4000000;
  config.cachePages = true;
  config.chunkSize = 32768;
  bench.Reconfigure(config);
  bench.SetParameters(C_SCANMETHOD_FLATBED, C_SCANMODE_COLOR, 300, 2480, 3507);
  double share = 0;
  for (auto _ : state) {
    Clock::time_point first, end;
    const auto start = Clock::now();
    bench.ScanPage(&first, 65536, &end);  // a read returns once 64 KB of rows are there
    share += std::chrono::duration<double>(first - start).count() / std::chrono::duration<double>(end - start).count();
  }
  state.counters["first_row_share"] = share / double(state.iterations());
}
BENCHMARK(BM_FirstRowsWhileThePageArrives)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Feeder pages of 2 x 2 inches grey at 75 dpi (150 x 150 pixels) within one job: the time per
// page is the driver's own cost (four exchanges and the hand-offs) plus a negligible transfer.
// Every sheet carries the same chart, so that the device sends it from memory: drawing and
// encoding a new one took the simulator about 1.3 ms a page, which is not the driver's.
void BM_FeederPageOwnCost(benchmark::State& state) {
  Bench& bench = TheBench();
  SimConfig config;
  config.adfSheets = 1000000;
  config.cachePages = true;
  config.sameImageEverySheet = true;
  bench.Reconfigure(config);
  DWORD code = 0;
  bench.adf->SetADFOptions(bench.session, 0x4, &code);
  bench.SetParameters(C_SCANMETHOD_ADF, C_SCANMODE_GREYSCALE, 75, 600, 600);
  bench.ScanPage();  // the job is created by the first page
  for (auto _ : state) bench.ScanPage();
  state.counters["pages"] = double(state.iterations());
  // The job still runs (the feeder is far from empty): end it before the next run.
  bench.adf->ADFEjectMedia(bench.session, &code);
}
BENCHMARK(BM_FeederPageOwnCost)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace
