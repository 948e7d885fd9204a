#include "tools/ScanRunner.h"

#include <algorithm>
#include <cstdio>

#include "tools/OutputTarget.h"
#include "tools/ScanCommandLine.h"
#include "tools/ScanParameterMapping.h"

namespace {
// The duplex and multi-page flow bits of SetADFOptions.
constexpr DWORD kAdfDuplex = 0x1;
constexpr DWORD kAdfMultiPageFlow = 0x4;
}  // namespace

ScanRunner::ScanRunner(IScanner* scanner, IADF2* adf, DWORD session, const ScanOptions& options,
                       ProgressReporter& progress, ScanCancellation& cancel)
    : scanner_(scanner), adf_(adf), session_(session), options_(options), progress_(progress), cancel_(cancel) {}

SCANNER_PARAMETERS ScanRunner::Parameters(const ScanOptions& o) { return ScanParameterMapping::Parameters(o); }

ScanOutcome ScanRunner::Fail(ScanOutcome& o, const std::string& call, HRESULT hr, DWORD code) {
  o.exit = ErrorCatalog::ExitFor(hr, code);
  if (o.exit == kExitOk) o.exit = kExitFailure;
  o.message = ErrorCatalog::Describe(hr, code) + " [" + call + "]";
  return o;
}

void ScanRunner::CancelRestOfJob() {
  // The job still has sheets: the feeder's eject ends the job on the device (a page begun and
  // stopped would not: a small page can be read whole before the stop comes).
  DWORD code = 0;
  if (adf_) adf_->ADFEjectMedia(session_, &code);
}

bool ScanRunner::ReadPage(uint64_t expected, std::vector<uint8_t>& buffer, ScanOutcome& o, OutputTarget& out) {
  uint64_t got = 0;
  while (got < expected) {
    const DWORD ask = static_cast<DWORD>(std::min<uint64_t>(kChunk, expected - got));
    DWORD n = 0, code = 0;
    const HRESULT hr = scanner_->ReadScanEx(session_, buffer.data(), ask, &n, &code);
    if (FAILED(hr)) {
      if (cancel_.Requested()) {
        o.exit = kExitCancelled;
        o.message = "cancelled";
      } else {
        Fail(o, "ReadScanEx", hr, code);
      }
      return false;
    }
    std::string error;
    if (n > 0 && !out.Write(buffer.data(), n, &error)) {
      o.exit = kExitOutput;
      o.message = error;
      return false;
    }
    got += n;
    progress_.Update(got);
    if (n < ask) break;  // short read: the device ended the page
  }
  if (got < expected) {
    char note[160];
    std::snprintf(note, sizeof note, "note: the page ended after %llu of %llu bytes; the rest is filled white",
                  static_cast<unsigned long long>(got), static_cast<unsigned long long>(expected));
    progress_.Note(note);
  }
  return true;
}

ScanOutcome ScanRunner::Run() {
  ScanOutcome o;
  const bool feeder = options_.source != ScanSource::Platen;
  HRESULT hr;
  DWORD code = 0;
  if (feeder) {
    const DWORD flags = kAdfMultiPageFlow | (options_.source == ScanSource::Duplex ? kAdfDuplex : 0);
    hr = adf_->SetADFOptions(session_, flags, &code);
    if (FAILED(hr)) return Fail(o, "SetADFOptions", hr, code);
  }
  SCANNER_PARAMETERS params = Parameters(options_);
  hr = scanner_->SetScannerParameters(session_, &params, &code);
  if (FAILED(hr)) return Fail(o, "SetScannerParameters", hr, code);
  BUFFER_INFO info = {};
  hr = scanner_->GetBufferInfo(session_, &params, &info, &code);
  if (FAILED(hr)) return Fail(o, "GetBufferInfo", hr, code);
  PageLayout layout;
  layout.width = info.dwPixelWidth;
  layout.height = info.dwPixelHeight;
  layout.bytesPerLine = info.dwBytesPerLine;
  layout.mode = options_.mode;
  layout.dpi = options_.resolution;
  const uint64_t expected = uint64_t(layout.bytesPerLine) * layout.height;
  if (expected == 0) {
    o.exit = kExitRefused;
    o.message = "the scanner reports an empty page for these settings";
    return o;
  }

  OutputTarget out(options_.output);
  std::vector<uint8_t> buffer(kChunk);
  const unsigned pagesKnown = feeder ? options_.pages : 1;
  unsigned page = 0;
  bool pageOpen = false;  // a page begun in the output and not yet complete
  for (;;) {
    if (cancel_.Requested()) {
      o.exit = kExitCancelled;
      o.message = "cancelled";
      break;
    }
    if (feeder) {
      BYTE ready = 0;
      hr = adf_->ADFIsReady(session_, &ready, &code);
      if (FAILED(hr)) {
        Fail(o, "ADFIsReady", hr, code);
        break;
      }
      if (options_.pages && page >= options_.pages) {
        if (ready) CancelRestOfJob();
        break;
      }
      if (!ready) {
        if (page == 0) Fail(o, "ADFIsReady", E_FAIL, CERR_ADF_EMPTY);
        break;
      }
    }
    hr = scanner_->StartScan(session_, &code);
    if (FAILED(hr)) {
      if (!(feeder && page > 0 && code == CERR_ADF_EMPTY)) Fail(o, "StartScan", hr, code);
      break;
    }
    const bool started = cancel_.PageStarted();
    ++page;
    std::string error;
    pageOpen = true;
    if (!out.BeginPage(page, layout, &error)) {
      cancel_.Cancel();
      cancel_.PageEnded(&code);
      o.exit = kExitOutput;
      o.message = error;
      break;
    }
    progress_.BeginPage(page, pagesKnown, expected);
    const bool read = started && ReadPage(expected, buffer, o, out);
    if (!started) {
      o.exit = kExitCancelled;
      o.message = "cancelled";
    }
    cancel_.PageEnded(&code);
    if (!read) break;
    if (!out.EndPage(&error)) {
      o.exit = kExitOutput;
      o.message = error;
      break;
    }
    pageOpen = false;
    ++o.pages;
    progress_.EndPage(expected, OutputTarget::FileName(options_.output, page));
    if (!feeder) break;
  }
  if (pageOpen) {
    // The file being written holds a part page: its temporary file goes, the name keeps what
    // it held before (files of whole pages stay).
    const std::string partial = OutputTarget::FileName(options_.output, page);
    if (out.Abort()) o.removed.push_back(partial);
  } else {
    std::string error;
    if (!out.Finish(&error)) {
      if (o.exit == kExitOk) {
        o.exit = kExitOutput;
        o.message = error;
      }
    }
  }
  o.files = out.Files();
  return o;
}
