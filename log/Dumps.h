// Diagnostic dumps: the interface records the driver exchanges with the host, and the scan
// ticket sent to the device, in readable form. The three record dumps are one log entry each
// (level extraLevel | 0x10, normalised to 0x10000010, no indentation); a refused level suppresses
// the whole dump. The scan ticket is one information line per field.
// Free functions, any thread; the Write* functions only format into the given stream.
#ifndef CAVIX_LOG_DUMPS_H
#define CAVIX_LOG_DUMPS_H

#include <cstdint>
#include <iosfwd>

#include "driver/CavixScanner.h"

class CLog2;

// Record texts, every line ended by a line break.
void WriteBufferInfo(std::ostream& out, const BUFFER_INFO& info);
void WriteScannerParameters(std::ostream& out, const SCANNER_PARAMETERS& params);
void WriteScannerCapabilities(std::ostream& out, const SCANNER_CAPABILITIES& caps);

// One log entry each on `log` (nothing with a null log).
void DumpBufferInfo(CLog2* log, const BUFFER_INFO& info, uint32_t extraLevel = 0);
void DumpScannerParameters(CLog2* log, const SCANNER_PARAMETERS& params, uint32_t extraLevel = 0);
void DumpScannerCapabilities(CLog2* log, const SCANNER_CAPABILITIES& caps, uint32_t extraLevel = 0);

// The scan-ticket fields that the dump shows, as the scan device copies them out of the ticket
// it sends: the job's texts (null when the ticket leaves them out) and the numeric codes of the
// document parameters (enumerations as their codes).
struct ScanTicketDumpFields {
  const char* jobName = nullptr;
  const char* jobOriginatingUserName = nullptr;
  const char* jobInformation = nullptr;
  int format = 0;
  int compressionQualityFactor = 0;
  int imagesToTransfer = 0;
  int inputSource = 0;
  int contentType = 0;
  int inputMediaWidth = 0;
  int inputMediaHeight = 0;
  int documentSizeAutoDetect = 0;
  int autoExposure = 0;
  int contrast = 0;
  int colorProcessing = 0;
  int resolutionWidth = 0;
  int resolutionHeight = 0;
  int scanRegionXOffset = 0;
  int scanRegionYOffset = 0;
  int scanRegionWidth = 0;
  int scanRegionHeight = 0;
};

// One information line (0x10000008, indented) per field, labelled with its place in the ticket.
void DumpScanTicket(CLog2* log, const ScanTicketDumpFields& ticket);

// The fields of a scan ticket of the service's generated type (wscn__ScanTicketType), read by
// the element names of the wscn schema. A template, so that the log does not depend on the
// service layer; the scan device instantiates it with the generated class.
template <class Ticket>
ScanTicketDumpFields ScanTicketFieldsOf(const Ticket& t) {
  const auto& job = t.JobDescription;
  const auto& doc = t.DocumentParameters;
  const auto& front = doc.MediaSides.MediaFront;
  ScanTicketDumpFields f;
  f.jobName = job.JobName;
  f.jobOriginatingUserName = job.JobOriginatingUserName;
  f.jobInformation = job.JobInformation;
  f.format = static_cast<int>(doc.Format);
  f.compressionQualityFactor = doc.CompressionQualityFactor;
  f.imagesToTransfer = doc.ImagesToTransfer;
  f.inputSource = static_cast<int>(doc.InputSource);
  f.contentType = static_cast<int>(doc.ContentType);
  f.inputMediaWidth = doc.InputSize.InputMediaSize.Width;
  f.inputMediaHeight = doc.InputSize.InputMediaSize.Height;
  f.documentSizeAutoDetect = static_cast<int>(doc.InputSize.DocumentSizeAutoDetect);
  f.autoExposure = static_cast<int>(doc.Exposure.AutoExposure);
  f.contrast = doc.Exposure.ExposureSettings.Contrast;
  f.colorProcessing = static_cast<int>(front.ColorProcessing);
  f.resolutionWidth = front.Resolution.Width;
  f.resolutionHeight = front.Resolution.Height;
  f.scanRegionXOffset = front.ScanRegion.ScanRegionXOffset;
  f.scanRegionYOffset = front.ScanRegion.ScanRegionYOffset;
  f.scanRegionWidth = front.ScanRegion.ScanRegionWidth;
  f.scanRegionHeight = front.ScanRegion.ScanRegionHeight;
  return f;
}

template <class Ticket>
void DumpScanTicket(CLog2* log, const Ticket& ticket) {
  DumpScanTicket(log, ScanTicketFieldsOf(ticket));
}

#endif
