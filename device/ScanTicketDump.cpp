#include "device/ScanTicketDump.h"

ScanTicketDumpFields ScanTicketDumpFieldsOf(const wscn__ScanTicketType& ticket) {
  const wscn__JobDescriptionType& job = ticket.JobDescription;
  const wscn__DocumentParametersType& doc = ticket.DocumentParameters;
  const wscn__MediaSideOverrideType& front = doc.MediaSides.MediaFront;
  ScanTicketDumpFields fields;
  fields.jobName = job.JobName;
  fields.jobOriginatingUserName = job.JobOriginatingUserName;
  fields.jobInformation = job.JobInformation;
  fields.format = static_cast<int>(doc.Format);
  fields.compressionQualityFactor = doc.CompressionQualityFactor;
  fields.imagesToTransfer = doc.ImagesToTransfer;
  fields.inputSource = static_cast<int>(doc.InputSource);
  fields.contentType = static_cast<int>(doc.ContentType);
  fields.inputMediaWidth = doc.InputSize.InputMediaSize.Width;
  fields.inputMediaHeight = doc.InputSize.InputMediaSize.Height;
  fields.documentSizeAutoDetect = doc.InputSize.DocumentSizeAutoDetect ? 1 : 0;
  fields.autoExposure = doc.Exposure.AutoExposure ? 1 : 0;
  fields.contrast = doc.Exposure.ExposureSettings.Contrast;
  fields.colorProcessing = static_cast<int>(front.ColorProcessing);
  fields.resolutionWidth = front.Resolution.Width;
  fields.resolutionHeight = front.Resolution.Height;
  fields.scanRegionXOffset = front.ScanRegion.ScanRegionXOffset;
  fields.scanRegionYOffset = front.ScanRegion.ScanRegionYOffset;
  fields.scanRegionWidth = front.ScanRegion.ScanRegionWidth;
  fields.scanRegionHeight = front.ScanRegion.ScanRegionHeight;
  return fields;
}
