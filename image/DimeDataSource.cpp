#include "image/DimeDataSource.h"

#include <stdsoap2.h>

#include <cstdint>
#include <exception>
#include <limits>

#include "image/ImageLog.h"
#include "log/CHRESULT2.h"
#include "log/LogHelpers.h"
#include "platform/CAutoCriticalSection.h"
#include "service/SoapPointerMap.h"
#include "service/SoapResult.h"

DimeDataSource::DimeDataSource(struct soap* soap, IImageStreamFactory& factory)
    : soap_(soap),
      worker_([this] { return DecodeBatch(); }, [this] { return EndCompressedPage(); },
              [this] { decompressor_.CloseRetiredFile(); }) {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::DimeDataSource");
  stream_.reset(factory.CreateImageStream());
  Polymorph();
}

DimeDataSource::~DimeDataSource() {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::~DimeDataSource");
  worker_.Stop();
  if (!closed_) Close();
  decompressor_.Abort();
  stream_.reset();
}

void DimeDataSource::Install() {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::Install");
  if (soap_ != nullptr) {
    soap_->fdimewriteopen = &DimeDataSource::OpenCallback;
    soap_->fdimewriteclose = &DimeDataSource::CloseCallback;
    soap_->fdimewrite = &DimeDataSource::WriteCallback;
  }
  SoapPointerMap::Register(soap_, kPointerMapKey, this);
  if (!stream_ || !stream_->Init()) RaiseError(CERR_UNKNOWN);
}

bool DimeDataSource::IsClosed() { return closed_; }

bool DimeDataSource::Open() {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::Open");
  bool opened = stream_->OpenReadEnd();
  closed_ = !opened;
  return opened;
}

uint32_t DimeDataSource::Read(uint8_t* buffer, uint32_t size, uint32_t& bytesRead) {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::Read");
  if (buffer == nullptr || size == 0) return LogErrorCode(CERR_INVALID_PARAMETER);
  bytesRead = 0;
  while (bytesRead < size) {
    uint32_t got = 0;
    StreamStatus status = stream_->Read(buffer + bytesRead, size - bytesRead, got);
    switch (status) {
      case StreamOk:
        bytesRead += got;
        break;
      case StreamEndOfData:
        bytesRead += got;
        return LogErrorCode(CERR_SCANNER_END_OF_PAGE);
      case StreamCanceled:
        // Bytes copied by the cancelled call are not counted.
        return LogErrorCode(GetCancelReason());
      default:
        return LogErrorCode(CERR_UNKNOWN);
    }
  }
  return LogErrorCode(CERR_NONE);
}

void DimeDataSource::Close() {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::Close");
  if (!stream_->CloseWriteEnd()) LogText("CloseWriteEnd() failed unexpectedly");
  if (!stream_->CloseReadEnd()) LogText("CloseReadEnd() failed unexpectedly");
  pageOpen_ = false;
  closed_ = true;
}

void DimeDataSource::SetExpectCompressed(bool compressed) {
  expectCompressed = compressed;
  ImageLogLine(LOG_INFO_MSG, "expectCompressed %d", compressed ? 1 : 0);
  Polymorph();
}

void DimeDataSource::SetExpectOneBit(bool oneBit) {
  expectOneBit = oneBit;
  ImageLogLine(LOG_INFO_MSG, "expectOneBit %d", oneBit ? 1 : 0);
}

void DimeDataSource::SetBytesPerLine(uint32_t bytesPerLine) {
  LogNamedValue("Bytes Per Line", static_cast<int>(bytesPerLine));
  bytesPerLine_ = bytesPerLine;
  stream_->SetBytesPerLine(bytesPerLine);
}

void DimeDataSource::SetPixelsPerLine(uint32_t pixelsPerLine) { pixelsPerLine_ = pixelsPerLine; }

bool DimeDataSource::Cancel(uint32_t reason) {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::Cancel", 0, nullptr, 0, "reason = %d", static_cast<int>(reason));
  CAutoCriticalSection guard(reasonLock_);
  if (stream_->Canceled()) return false;  // the first reason stays
  if (!stream_->Cancel()) LogText("Cancel() failed unexpectedly");
  cancelReason_ = reason;
  return true;
}

void DimeDataSource::SetDecodeThreadThreshold(uint32_t bytes) { decodeThreadThreshold_ = bytes; }

void DimeDataSource::SetDiscardData(bool discard) {
  discardData_ = discard;
  Polymorph();
}

void DimeDataSource::SetMaxStreamLength(uint32_t length) {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::SetMaxStreamLength");
  double capacity = static_cast<double>(length) * 1.1;
  // Pages near 4 GiB stay at the largest capacity instead of wrapping round to a small one.
  const double largest = static_cast<double>(std::numeric_limits<uint32_t>::max());
  maxStreamLength = capacity >= largest ? std::numeric_limits<uint32_t>::max() : static_cast<uint32_t>(capacity);
  pageLength_ = length;
  LogNamedValue("maxStreamLength", static_cast<int>(maxStreamLength));
}

bool DimeDataSource::Canceled() { return stream_->Canceled(); }

bool DimeDataSource::Ended() { return stream_->Ended(); }

uint32_t DimeDataSource::GetCancelReason() {
  CAutoCriticalSection guard(reasonLock_);
  return cancelReason_;
}

bool DimeDataSource::SetNumberOfTrailingPadlines(uint32_t padLines) {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::SetNumberOfTrailingPadlines", 0, nullptr, 0, "Padlines = %d",
               static_cast<int>(padLines));
  if (!stream_->SetNumberOfTrailingPadlines(padLines)) {
    // Not the announced page: it ends in an error for the reader, never as a whole page.
    Cancel(CERR_UNKNOWN);
    return LogErrorText("Unable to set number of trailing pad lines");
  }
  if (!stream_->CloseWriteEnd()) return LogErrorText("CloseWriteEnd() failed unexpectedly");
  pageOpen_ = false;
  return true;
}

// Hook selection: discarding wins over the format.
void DimeDataSource::Polymorph() {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::Polymorph");
  static const struct {
    OpenHook open;
    WriteHook write;
    CloseHook close;
  } kModes[] = {
      {&DimeDataSource::OpenDiscard, &DimeDataSource::WriteDiscard, nullptr},                // discard
      {&DimeDataSource::OpenRawOrCompressed, &DimeDataSource::WriteCompressed,
       &DimeDataSource::CloseCompressed},                                                     // JPEG
      {&DimeDataSource::OpenRawOrCompressed, &DimeDataSource::WriteRaw, nullptr},            // raw
  };
  const auto& mode = kModes[discardData_ ? 0 : expectCompressed ? 1 : 2];
  openHook_ = mode.open;
  writeHook_ = mode.write;
  closeHook_ = mode.close;
}

ScanError DimeDataSource::LoggedSoapError(const char* reason, const ScanError& error) {
  // The reason, then what failed below it (libjpeg's message, the stream's state), if known.
  const ScanError failure = error.Within(reason);
  CHRESULT2 hr(GetGlobalLog(), "LoggedSoapError", 0, nullptr, 0, "Reason: %s", failure.Text().c_str());
  // How the exchange will end: the runtime's end of file, or a fatal error.
  static const struct {
    ScanError::Kind kind;
    const char* text;
  } kTexts[] = {
      {ScanError::Kind::EndOfData, "SOAP error: SOAP_EOF"},
      {ScanError::Kind::Failed, "SOAP error: SOAP_FATAL_ERROR"},
  };
  const char* text = "SOAP error: unknown";
  for (const auto& entry : kTexts)
    if (entry.kind == error.GetKind()) text = entry.text;
  ImageLogLine(LOG_ERROR_MSG, "%s", text);
  return failure;
}

ScanError DimeDataSource::PageFailed() { return ScanError::Failed(CERR_UNKNOWN, ""); }

ScanError DimeDataSource::StreamStopped(StreamStatus status) {
  // A cancel's reason is the page's error; a stream ended under its writer, the page's end.
  return ScanError::EndOfData(status == StreamCanceled ? GetCancelReason() : CERR_SCANNER_END_OF_PAGE,
                              status == StreamCanceled ? "the page was cancelled" : "the page has ended");
}

void* DimeDataSource::OpenCallback(struct soap* soap, const char* /*id*/, const char* /*type*/,
                                   const char* /*options*/) {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::OpenCallback");
  auto* self = static_cast<DimeDataSource*>(SoapPointerMap::Lookup(soap, kPointerMapKey));
  // The hook is read into a local first: GCC's undefined-behaviour instrumentation of a member
  // pointer call inside the null test's condition dereferences the null pointer.
  const OpenHook hook = self != nullptr ? self->openHook_ : nullptr;
  ScanError error = PageFailed();
  if (hook == nullptr) {
    CHRESULT2 failed(GetGlobalLog(), "ErrorDuringOpen");
  } else {
    error = (self->*hook)();
    if (error.Ok()) return self;
  }
  if (soap != nullptr) soap->error = SoapResultOf(error);
  return nullptr;
}

int DimeDataSource::WriteCallback(struct soap* soap, void* /*handle*/, const char* bytes, size_t length) {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::WriteCallback");
  auto* self = static_cast<DimeDataSource*>(SoapPointerMap::Lookup(soap, kPointerMapKey));
  if (self == nullptr) return SoapResultOf(LoggedSoapError("Failed to get data source instance", PageFailed()));
  const WriteHook hook = self->writeHook_;
  if (hook == nullptr) return SoapResultOf(LoggedSoapError("Failed to get write member function", PageFailed()));
  return SoapResultOf((self->*hook)(reinterpret_cast<const uint8_t*>(bytes), length), length);
}

void DimeDataSource::CloseCallback(struct soap* soap, void* /*handle*/) {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::CloseCallback");
  auto* self = static_cast<DimeDataSource*>(SoapPointerMap::Lookup(soap, kPointerMapKey));
  const CloseHook hook = self != nullptr ? self->closeHook_ : nullptr;
  if (hook != nullptr) (self->*hook)();
}

ScanError DimeDataSource::OpenDiscard() { return ScanError(); }

ScanError DimeDataSource::WriteDiscard(const uint8_t* /*bytes*/, size_t /*length*/) {
  // Reception stops at the first chunk with content (the runtime hears the chunk's length).
  return ScanError::Declined();
}

ScanError DimeDataSource::OpenRawOrCompressed() {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::OpenRawOrCompressed");
  if (pageOpen_ && !stream_->Canceled()) {
    // One answer carries one page. A further attachment would start a new page under a reader
    // that is still on this one: the answer is refused and the page fails instead.
    LogText("More than one image attachment in the answer");
    Cancel(CERR_UNKNOWN);
    CHRESULT2 failed(GetGlobalLog(), "ErrorDuringOpen");
    return ScanError::Failed(CERR_UNKNOWN, "More than one image attachment in the answer");
  }
  // Whatever is left of an earlier JPEG page that never closed goes now.
  worker_.Stop();
  workerTried_ = false;
  workerEnded_ = false;
  recordBytes_ = 0;
  decompressor_.Abort();
  headerBytes_.clear();
  pageFailed_ = false;
  stream_->SetPageLength(pageLength_);
  if (stream_->OpenWriteEnd(maxStreamLength)) {
    pageOpen_ = true;
    firstBuffer_ = true;
    return ScanError();
  }
  CHRESULT2 failed(GetGlobalLog(), "ErrorDuringOpen");
  return ScanError::Failed(CERR_UNKNOWN, "the page's stream could not be opened for writing");
}

ScanError DimeDataSource::WriteRaw(const uint8_t* bytes, size_t length) {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::WriteRaw");
  // Everything written before this chunk becomes visible to the reader now.
  if (!stream_->MakeWrittenBytesAvailable())
    return LoggedSoapError("Couldn't make written bytes available", PageFailed());
  size_t done = 0;
  while (done < length) {
    size_t rest = length - done;
    uint32_t ask = rest > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<uint32_t>(rest);
    uint32_t written = 0;
    StreamStatus status = stream_->Write(bytes + done, ask, written);
    if (status == StreamOk) {
      LogNamedValue("bytesWrittenToStream", static_cast<int>(written));
      done += written;
    } else if (status == StreamEndOfData || status == StreamCanceled) {
      return LoggedSoapError("Stream end-of-data or cancel", StreamStopped(status));
    } else {
      // The page cannot be delivered whole (more data than its capacity, or a stream that is
      // not open for writing): end it with an error so the reader does not wait for the rest.
      Cancel(CERR_UNKNOWN);
      return LoggedSoapError("Unknown stream error", PageFailed());
    }
  }
  return ScanError();
}

bool DimeDataSource::HoldsJpegHeader(const uint8_t* bytes, size_t length) {
  if (length < 2) return false;
  if (bytes[0] != 0xFF || bytes[1] != 0xD8) return true;  // not JPEG: let the library say so
  size_t pos = 2;
  for (;;) {
    if (pos >= length) return false;
    if (bytes[pos] != 0xFF) return true;  // malformed
    while (pos < length && bytes[pos] == 0xFF) ++pos;  // fill bytes
    if (pos >= length) return false;
    uint8_t marker = bytes[pos++];
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length field
    if (marker == 0xD9) return true;                                       // end of image
    if (pos + 2 > length) return false;
    size_t segment = (static_cast<size_t>(bytes[pos]) << 8) | bytes[pos + 1];
    if (segment < 2) return true;  // malformed
    if (pos + segment > length) return false;
    if (marker == 0xDA) return true;  // start of scan: the header is complete
    pos += segment;
  }
}

JpegDecompressor::PageShape DimeDataSource::ExpectedJpeg() const {
  JpegDecompressor::PageShape shape;
  const uint32_t row = bytesPerLine_;
  shape.rowLength = row;
  if (pixelsPerLine_ != 0 && row != 0) {
    shape.width = pixelsPerLine_;
    // A row of one byte per pixel is grey; of three, colour. Anything else no JPEG can match.
    shape.components = row == pixelsPerLine_ ? 1 : row / 3 == pixelsPerLine_ && row % 3 == 0 ? 3 : UINT32_MAX;
  }
  if (row != 0) {
    // The page's rows, and below them at most what the capacity leaves for pad rows.
    shape.minRows = pageLength_ / row;
    shape.maxRows = maxStreamLength / row;
    if (shape.maxRows == 0) shape.maxRows = UINT32_MAX;  // a capacity under one row fails anyway
  }
  return shape;
}

ScanError DimeDataSource::SubmitHeader() {
  // A page large enough for a decoding thread is split further where its layout allows.
  decompressor_.UseDecodeAhead(maxStreamLength >= decodeThreadThreshold_);
  decompressor_.ExpectPage(ExpectedJpeg());
  if (!decompressor_.SubmitFirstBuffer(headerBytes_.data(), static_cast<uint32_t>(headerBytes_.size()))) {
    headerBytes_.clear();
    // Nothing of the page can come: the reader gets an error, whatever the exchange does next.
    Cancel(CERR_UNKNOWN);
    return LoggedSoapError("Failed to submit first decomp buffer", PageFailed());
  }
  headerBytes_.clear();
  headerBytes_.shrink_to_fit();
  if (!decompressor_.StartDecompression()) return LoggedSoapError("Failed to start compression", PageFailed());
  firstBuffer_ = false;
  return ScanError();
}

ScanError DimeDataSource::WriteCompressed(const uint8_t* bytes, size_t length) {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::WriteCompressed");
  if (bytes == nullptr || length == 0) {
    LogText("Warning: gSOAP requested a zero-length DIME write");
    return ScanError();
  }
  const bool last = LastChunkOfAttachment(length);
  // The chunk is stored on this thread; the rows it completes are decoded by the page's
  // worker (once the header is in), or here when there is none.
  ScanError rc = DecodeChunk(bytes, length);
  if (rc.Ok() && !firstBuffer_) {
    if (!workerTried_) {
      workerTried_ = true;
      // A small page is decoded here: starting and ending a thread would cost it more than
      // decoding beside the reception saves.
      if (maxStreamLength >= decodeThreadThreshold_ && !worker_.Start())
        LogText("No decoding thread: the page is decoded as it arrives");
    }
    // An error of the worker's comes back with a later chunk and ends the exchange as if this
    // chunk had failed.
    rc = worker_.Running() ? worker_.Poke() : DecodeBatch();
  }
  if (rc.Ok() && last && worker_.Running()) {
    // The last rows are decoded before the exchange hears that the attachment went well, so
    // that a page that fails at its end still fails the exchange.
    rc = worker_.Finish();
    workerEnded_ = true;
  }
  if (!rc.Ok()) {
    worker_.Stop();
    pageFailed_ = true;
    decompressor_.Abort();  // the page is lost; its file goes now
  }
  return rc;
}

bool DimeDataSource::LastChunkOfAttachment(size_t length) {
  if (soap_ == nullptr) return false;
  // The runtime hands a record's data over in pieces; the record's size and flags stay in the
  // context meanwhile. The last record of an attachment is the one without the chunk flag.
  recordBytes_ += length;
  if (recordBytes_ < soap_->dime.size) return false;
  const bool whole = recordBytes_ == soap_->dime.size;
  recordBytes_ = 0;
  return whole && (soap_->dime.flags & SOAP_DIME_CF) == 0;
}

ScanError DimeDataSource::DecodeChunk(const uint8_t* bytes, size_t length) {
  // A failure of the worker's is reported by the worker, with its own code.
  if (pageFailed_ && !worker_.Running()) return PageFailed();
  if (firstBuffer_) {
    // The library reads the whole header at once: the first chunks are gathered until they
    // hold it, however the connection happened to split them.
    headerBytes_.insert(headerBytes_.end(), bytes, bytes + length);
    if (!HoldsJpegHeader(headerBytes_.data(), headerBytes_.size()) && headerBytes_.size() < kMaxHeaderBytes)
      return ScanError();
    return SubmitHeader();
  }
  if (!decompressor_.SubmitNextBuffer(bytes, static_cast<uint32_t>(length)))
    return LoggedSoapError("Failed to submit next decomp buffer", PageFailed());
  return ScanError();
}

ScanError DimeDataSource::DecodeBatch() {
  if (pageFailed_) return PageFailed();
  ScanError rc = TransferDecompressedDataToStream(false);
  // The decompressor is left to the receiving thread, which abandons the page.
  if (!rc.Ok()) pageFailed_ = true;
  return rc;
}

ScanError DimeDataSource::CommitDecodedRows(uint32_t bytes) {
  uint32_t written = 0;
  const StreamStatus status = stream_->CommitWrite(bytes, written);
  if (status == StreamOk) {
    LogNamedValue("bytesWrittenToStream", static_cast<int>(written));
    return ScanError();
  }
  if (status == StreamEndOfData || status == StreamCanceled)
    return LoggedSoapError("Stream end-of-data or cancel", StreamStopped(status));
  Cancel(CERR_UNKNOWN);
  return LoggedSoapError("Unknown stream error", PageFailed());
}

ScanError DimeDataSource::TransferDecompressedDataToStream(bool final) {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::TransferDecompressedDataToStream");
  ScanError rc;
  // Grey and colour rows are decoded straight into the page, several at a time. Rows the page
  // has no room for (and other layouts) go row by row through WriteRaw, which reports why.
  bool rowByRow = false;
  const uint32_t rowLength = decompressor_.DirectRowLength();
  while (rc.Ok() && rowLength != 0) {
    uint32_t want = decompressor_.RowsLeft();
    if (want > kRowsPerTransfer) want = kRowsPerTransfer;
    if (want == 0 || !decompressor_.EnoughDataAvailableForDecompression(final)) break;
    uint8_t* space = stream_->WriteSpace(want * rowLength);
    if (space == nullptr) {
      rowByRow = true;
      break;
    }
    // As in WriteRaw: what was written before becomes visible to the reader now.
    if (!stream_->MakeWrittenBytesAvailable())
      return LoggedSoapError("Couldn't make written bytes available", PageFailed());
    uint32_t rows = 0;
    if (!decompressor_.GetRows(space, want, rows, final)) break;
    rc = CommitDecodedRows(rows * rowLength);
  }
  if (rowLength == 0) rowByRow = true;
  std::unique_ptr<uint8_t[]> row;
  uint32_t length = 0;
  while (rowByRow && rc.Ok() && decompressor_.GetRow(row, length, final)) {
    rc = WriteRaw(row.get(), length);
    row.reset();
  }
  if (!rc.Ok()) return LoggedSoapError("Failed to write raw data to stream", rc);
  if (decompressor_.Failed()) {
    // The rest of the page cannot be decoded (damaged or cut short): the page ends in an error
    // for the reader rather than as a short page that looks complete.
    Cancel(CERR_UNKNOWN);
    return LoggedSoapError("Failed to decompress data", PageFailed());
  }
  return ScanError();
}

void DimeDataSource::CloseCompressed() {
  CHRESULT2 hr(GetGlobalLog(), "DimeDataSource::CloseCompressed");
  ScanError rc;
  if (worker_.Running()) {
    rc = worker_.Finish();  // the worker ends the page itself, and closes its file after
  } else if (!workerEnded_) {
    EndCompressedPage();
    decompressor_.CloseRetiredFile();
  }
  if (!rc.Ok()) {
    // The attachment broke off and the page failed after its last chunk was taken, so the
    // exchange has not heard of it: the page ends in an error for the reader rather than
    // looking complete (the first reason stays).
    LoggedSoapError("Decoding failed after the last chunk", rc);
    Cancel(CERR_UNKNOWN);
  }
  decompressor_.Abort();
  headerBytes_.clear();
}

ScanError DimeDataSource::EndCompressedPage() {
  ScanError rc;
  // A header that never became whole is tried as it is: the library reports what is missing.
  if (!pageFailed_ && firstBuffer_ && !headerBytes_.empty() && !(rc = SubmitHeader()).Ok()) {
    // The close hook has no result: the page's failure reaches the reader as a cancel.
    pageFailed_ = true;
    Cancel(CERR_UNKNOWN);
  }
  if (!pageFailed_ && decompressor_.Busy()) {
    rc = TransferDecompressedDataToStream(false);
    if (rc.Ok()) rc = TransferDecompressedDataToStream(true);
    if (!rc.Ok()) pageFailed_ = true;
  }
  if (!pageFailed_ && decompressor_.Busy() && !decompressor_.FinishDecompress())
    LogText("FinishDecompress failed unexpectedly");
  return rc;
}
