// The device operations that take scan parameters and options, and the scan ticket.
#include <memory>

#include "device/ScanTicketDump.h"
#include "device/SoapScanDevice.h"
#include "log/CHRESULT2.h"
#include "log/GlobalLog.h"
#include "log/LogHelpers.h"

bool SoapScanDevice::GetBufferInfo(const SCANNER_PARAMETERS& params, BUFFER_INFO& info) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::GetBufferInfo");
  std::unique_ptr<ScanParameters> parameters = ScanParameters::Create(params, mfgMode_.load());
  if (!parameters) return Fail(CERR_OUT_OF_MEMORY);
  if (!parameters->Valid()) return Fail(CERR_INVALID_PARAMETER);
  info.dwPixelWidth = parameters->PixelsPerLine();
  info.dwPixelHeight = parameters->Lines();
  info.dwBytesPerLine = parameters->BytesPerLine();
  for (DWORD& reserved : info.dwReserved) reserved = 0;
  return true;
}

bool SoapScanDevice::SetParameters(const SCANNER_PARAMETERS& params) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::SetParameters");
  std::unique_ptr<ScanParameters> parameters = ScanParameters::Create(params, mfgMode_.load());
  if (!parameters) return Fail(CERR_UNKNOWN);
  if (!parameters->Valid()) return Fail(CERR_INVALID_PARAMETER);
  // A job in progress keeps the object it started with; this one applies from the next job.
  MutexLock guard(parametersLock_);
  parameters->duplex = duplex_;
  PublishParameters(std::move(parameters));
  return true;
}

bool SoapScanDevice::SetAdfOptions(uint32_t options) {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::SetAdfOptions");
  constexpr uint32_t kDuplex = 0x1;
  constexpr uint32_t kMultiPageFlow = 0x4;
  LogNamedValue("options", static_cast<int>(options));
  if (options & ~(kDuplex | kMultiPageFlow)) return Fail(CERR_INVALID_PARAMETER);
  {
    // The choice belongs to this device; the current object is replaced, never changed, since
    // a job in progress may share it.
    const bool duplex = (options & kDuplex) != 0;
    MutexLock guard(parametersLock_);
    duplex_ = duplex;
    if (parameters_ && parameters_->duplex != duplex && parameters_.get() != &ScanParameters::DefaultParameters()) {
      std::unique_ptr<ScanParameters> changed = ScanParameters::Copy(*parameters_);
      if (!changed) return Fail(CERR_OUT_OF_MEMORY);
      changed->duplex = duplex;
      PublishParameters(std::move(changed));
    }
  }
  // Feeder pages are always fetched one BeginScan at a time within one job.
  multiPageFlow_.store(true);
  if ((options & kMultiPageFlow) == 0) LogText("Warning! No page-flow option specified; using default");
  LogNamedValue("multiPageFlow_", multiPageFlow_.load() ? 1 : 0);
  return true;
}

bool SoapScanDevice::SetMfgMode() {
  CHRESULT2 hr(GetGlobalLog(), "SoapScanDevice::SetMfgMode");
  if (!initialized_.load()) return Fail(CERR_INVALID_SESSION);
  {
    // The default object is shared by every device of the process, and the current one may be
    // shared with a job in progress: this device switches to a lossless copy of its own, so
    // that the other sessions and the running job keep their mode.
    MutexLock guard(parametersLock_);
    const ScanParameters& current = parameters_ ? *parameters_ : ScanParameters::DefaultParameters();
    std::unique_ptr<ScanParameters> own = ScanParameters::Copy(current);
    if (!own) return Fail(CERR_OUT_OF_MEMORY);
    own->SetLossless();
    PublishParameters(std::move(own));
  }
  mfgMode_.store(true);
  return true;
}

void SoapScanDevice::InitScanTicket(wscn__ScanTicketType& ticket) {
  std::shared_ptr<const ScanParameters> current = Parameters();
  InitScanTicket(ticket, current ? *current : ScanParameters::DefaultParameters());
}

void SoapScanDevice::InitScanTicket(wscn__ScanTicketType& ticket, const ScanParameters& p) {
  ticket.JobDescription.JobName = nullptr;
  ticket.JobDescription.JobOriginatingUserName = nullptr;
  ticket.JobDescription.JobInformation = nullptr;
  wscn__DocumentParametersType& doc = ticket.DocumentParameters;
  doc.Format = static_cast<wscn__ScanDocumentFormat>(p.Format());
  doc.CompressionQualityFactor = 0;
  doc.ImagesToTransfer = p.ImagesToTransfer(multiPageFlow_.load());
  doc.InputSource = static_cast<wscn__ScanInputSource>(p.InputSource());
  doc.ContentType = static_cast<wscn__ContentType>(p.ContentType());
  doc.InputSize.InputMediaSize.Width = 8500;
  doc.InputSize.InputMediaSize.Height = p.InputMediaHeight();
  doc.InputSize.DocumentSizeAutoDetect = false;
  doc.Exposure.AutoExposure = false;
  doc.Exposure.ExposureSettings.Contrast = 0;
  wscn__MediaSideOverrideType& front = doc.MediaSides.MediaFront;
  front.ScanRegion.ScanRegionXOffset = p.ScanRegionXOffset();
  front.ScanRegion.ScanRegionYOffset = p.ScanRegionYOffset();
  front.ScanRegion.ScanRegionWidth = p.ScanRegionWidth();
  front.ScanRegion.ScanRegionHeight = p.ScanRegionHeight();
  front.ColorProcessing = static_cast<wscn__ColorEntryType>(p.ColorProcessing());
  front.Resolution.Width = p.Resolution();
  front.Resolution.Height = p.Resolution();
  ticket.RetrieveImageTimeout = 300;
  ticket.ScanManufacturingParameters.ImageProcessingRemoval =
      mfgMode_.load() ? wscn__ImageProcessingRemoveType__removeAll : wscn__ImageProcessingRemoveType__removeNone;
  DumpScanTicket(GetGlobalLog(), ScanTicketDumpFieldsOf(ticket));
}
