// Page rendering and encoding speed of the simulated scanner, and a whole page served over
// loopback HTTP: the simulator must outpace the driver it feeds.
#include <benchmark/benchmark.h>

#include <cmath>

#include "service/ServiceContext.h"
#include "service/WscnService.h"
#include "sim/DeviceSimulator.h"
#include "sim/PageEncoder.h"
#include "sim/PageImage.h"

using namespace cavixsim;

namespace {

Ticket FullPage(int color, int format, int dpi) {
  Ticket t;
  t.format = format;
  t.inputSource = kSourcePlaten;
  t.colorProcessing = color;
  t.resolutionX = t.resolutionY = dpi;
  t.regionWidth = color == kColorBw1 ? int(std::ceil((dpi * 2550 / 300) / 8 * 8 * 1000.0 / dpi)) : 8500;
  t.regionHeight = 11690;
  return t;
}

void Encode(benchmark::State& state, int color, int format) {
  const Ticket t = FullPage(color, format, int(state.range(0)));
  std::vector<uint8_t> buf(65536);
  uint64_t bytes = 0;
  for (auto _ : state) {
    PageImage image(t, 1, 0, false);
    PageEncoder encoder(image, format, 0, 85);
    for (size_t n; (n = encoder.Read(buf.data(), buf.size())) > 0;) bytes += n;
  }
  state.SetBytesProcessed(int64_t(bytes));
}

void BM_RawGrey(benchmark::State& s) { Encode(s, kColorGray8, kFormatZkraw); }
void BM_RawBlackAndWhite(benchmark::State& s) { Encode(s, kColorBw1, kFormatZkraw); }
void BM_JpegColour(benchmark::State& s) { Encode(s, kColorRgb24, kFormatJfif); }

// The client throws the attachment away as it comes, as a reader would consume it.
void* DiscardOpen(struct soap* soap, const char*, const char*, const char*) { return soap; }
int Discard(struct soap*, void*, const char*, size_t) { return SOAP_OK; }
void DiscardClose(struct soap*, void*) {}

void BM_ServedGreyPage(benchmark::State& state) {
  SimConfig config;
  config.listenAddress = "127.0.0.251";
  DeviceSimulator sim(config);
  if (!sim.Start()) {
    state.SkipWithError("cannot listen on 127.0.0.251:8289");
    return;
  }
  struct soap* soap = ServiceContext::Create(ServiceContext::kChunkedOutput);
  soap->fdimewriteopen = &DiscardOpen;
  soap->fdimewrite = &Discard;
  soap->fdimewriteclose = &DiscardClose;
  const std::string endpoint = sim.Endpoint();
  const Ticket t = FullPage(kColorGray8, kFormatZkraw, 300);
  for (auto _ : state) {
    wscn__ScanTicketType* ticket = soap_new_wscn__ScanTicketType(soap);
    wscn__MediaSideOverrideType& f = ticket->DocumentParameters.MediaSides.MediaFront;
    ticket->DocumentParameters.Format = wscn__ScanDocumentFormat__zkraw;
    ticket->DocumentParameters.InputSource = wscn__ScanInputSource__Platen;
    f.ScanRegion.ScanRegionWidth = t.regionWidth;
    f.ScanRegion.ScanRegionHeight = t.regionHeight;
    f.ColorProcessing = wscn__ColorEntryType__GrayScale8;
    f.Resolution.Width = f.Resolution.Height = 300;
    wscn__CreateScanJobResponseType job;
    wscn__DocumentDescriptionType desc;
    wscn__RetrieveImageResponseType image;
    if (soap_call_wscn__CreateScanJobRequest(soap, endpoint.c_str(), nullptr, const_cast<char*>(""), nullptr, ticket, &job) ||
        soap_call_wscn__RetrieveImageRequest(soap, endpoint.c_str(), nullptr, job.JobId, job.JobToken, &desc, image)) {
      state.SkipWithError("exchange failed");
      break;
    }
    soap_destroy(soap);
    soap_end(soap);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * 2550 * 3507);
  ServiceContext::Destroy(soap);
  sim.Stop();
}

}  // namespace

BENCHMARK(BM_RawGrey)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawBlackAndWhite)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegColour)->Arg(150)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServedGreyPage)->Unit(benchmark::kMillisecond)->UseRealTime();
