// Connects the SOAP runtime's DIME attachment reception to the image stream. The runtime hands
// a RetrieveImage answer's attachment, chunk by chunk, to three hooks installed in the scan
// context; raw rows go straight into the stream, JPEG data goes through the decompressor and
// its rows into the stream. The host's reads come out of the same stream, pad rows removed.
// A large JPEG page is decoded on a worker thread (DecodeWorker) while the exchange goes on
// receiving it; the last chunk of the attachment (or else the close hook) waits for the
// worker, so every row is in the stream before the exchange returns, and a page that fails
// at its end still fails the exchange. A small page, or one whose worker cannot start, is
// decoded on the exchange's thread as it arrives.
// Pages are honest: a JPEG whose header does not describe the announced page (row width,
// width, components, height between the page and its capacity) fails before any row is
// decoded, the reader never gets more than the announced page, and a page that does not hold
// exactly that much image once its pad rows are off ends in an error, never as a whole page.
// One data source serves every page of every scan of its device.
//
// Threads: the hooks, Polymorph and the Set... operations run on the thread that performs the
// SOAP exchanges (the scan thread); the decoding steps of a JPEG page (DecodeChunk,
// DecodeBatch, EndCompressedPage) on the page's worker, or on the scan thread without one;
// Open, Read and Close on the host's reading thread; Cancel, Canceled, Ended and
// GetCancelReason on any thread.
// Owns the image stream, the decompressor and the worker; the SOAP context is the device's.
// headerBytes_ and firstBuffer_ are the scan thread's. While a page's worker runs it decodes
// and the scan thread only appends to the decompressor's input (which allows that); the
// worker's start and end hand the rest of the decompressor over.
// Locks: reasonLock_ makes "check for a cancel, cancel the stream, store the reason" one step
// and guards cancelReason_; everything else relies on the stream's own locking.
#ifndef CAVIX_IMAGE_DIMEDATASOURCE_H
#define CAVIX_IMAGE_DIMEDATASOURCE_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "image/DecodeWorker.h"
#include "image/IImageStream.h"
#include "image/IImageStreamFactory.h"
#include "image/IScanDataSource.h"
#include "image/JpegDecompressor.h"
#include "platform/CCriticalSection2.h"
#include "platform/ScanError.h"

struct soap;

class DimeDataSource : public IScanDataSource {
 public:
  // The key under which the source registers itself in its context's SOAP pointer map.
  static constexpr const char* kPointerMapKey = "DimeDataSource";
  // A JPEG header is gathered from several chunks up to this size before it is given up on.
  static constexpr size_t kMaxHeaderBytes = 1u << 20;
  // JPEG pages whose stream capacity is at least this are decoded on a thread of their own.
  static constexpr uint32_t kDecodeThreadThreshold = 4u << 20;

  // The context is the device's and must outlive the source; the factory is used once here.
  DimeDataSource(struct soap* soap, IImageStreamFactory& factory);
  ~DimeDataSource() override;
  DimeDataSource(const DimeDataSource&) = delete;
  DimeDataSource& operator=(const DimeDataSource&) = delete;

  void Install() override;
  bool IsClosed() override;
  bool Open() override;
  uint32_t Read(uint8_t* buffer, uint32_t size, uint32_t& bytesRead) override;
  void Close() override;
  void SetExpectCompressed(bool expectCompressed) override;
  void SetExpectOneBit(bool expectOneBit) override;
  void SetBytesPerLine(uint32_t bytesPerLine) override;
  bool Cancel(uint32_t reason) override;
  void SetDiscardData(bool discardData) override;
  void SetMaxStreamLength(uint32_t length) override;
  bool Canceled() override;
  bool Ended() override;
  uint32_t GetCancelReason() override;
  bool SetNumberOfTrailingPadlines(uint32_t padLines) override;
  void SetPixelsPerLine(uint32_t pixelsPerLine) override;
  // The stream capacity from which a JPEG page gets a decoding thread (kDecodeThreadThreshold
  // unless set; 0: every page). Scan thread, between pages.
  void SetDecodeThreadThreshold(uint32_t bytes);

  // The DIME hooks Install puts into the context (gSOAP's fdimewriteopen, fdimewrite and
  // fdimewriteclose). Each finds its data source in the context's pointer map.
  static void* OpenCallback(struct soap* soap, const char* id, const char* type, const char* options);
  static int WriteCallback(struct soap* soap, void* handle, const char* bytes, size_t length);
  static void CloseCallback(struct soap* soap, void* handle);

  uint32_t MaxStreamLength() const { return maxStreamLength; }

  // Whether bytes, from the start of a JPEG stream, hold its whole header (every marker
  // segment up to and including the start-of-scan segment). Malformed data answers true: the
  // library then reports it.
  static bool HoldsJpegHeader(const uint8_t* bytes, size_t length);

 private:
  // The member hooks answer with success or the failure; only the static hooks above turn that
  // into what the SOAP runtime expects (service/SoapResult.h).
  using OpenHook = ScanError (DimeDataSource::*)();
  using WriteHook = ScanError (DimeDataSource::*)(const uint8_t*, size_t);
  using CloseHook = void (DimeDataSource::*)();

  void Polymorph();
  ScanError OpenRawOrCompressed();
  ScanError OpenDiscard();
  ScanError WriteRaw(const uint8_t* bytes, size_t length);
  ScanError WriteCompressed(const uint8_t* bytes, size_t length);
  ScanError WriteDiscard(const uint8_t* bytes, size_t length);
  void CloseCompressed();
  // One received chunk of a JPEG page: gathers and submits the header, then appends to the
  // decompressor's input. Scan thread.
  ScanError DecodeChunk(const uint8_t* bytes, size_t length);
  // Decodes the rows the chunks so far allow into the stream.
  ScanError DecodeBatch();
  // The attachment is complete: the last rows, then the decompressor's end. Returns the
  // error the page failed in, if any.
  ScanError EndCompressedPage();
  ScanError SubmitHeader();
  // The page a JPEG must describe, from what the job announced.
  JpegDecompressor::PageShape ExpectedJpeg() const;
  ScanError TransferDecompressedDataToStream(bool final);
  // Counts rows decoded in place into the stream as written; a result as WriteRaw's.
  ScanError CommitDecodedRows(uint32_t bytes);
  // Rows decoded into the page at a time: a subsampled colour page's row group is 16.
  static constexpr uint32_t kRowsPerTransfer = 16;
  // Logs a failure with its reason and how it ends the exchange; returns it with the reason
  // in front of its text.
  static ScanError LoggedSoapError(const char* reason, const ScanError& error);
  // A page that cannot go on (CERR_UNKNOWN, no text of its own).
  static ScanError PageFailed();
  // The stream refused a write because it was cancelled or ended (the status says which).
  ScanError StreamStopped(StreamStatus status);

  struct soap* soap_;
  OpenHook openHook_ = nullptr;
  CloseHook closeHook_ = nullptr;
  WriteHook writeHook_ = nullptr;
  JpegDecompressor decompressor_;
  bool expectOneBit = false;
  bool discardData_ = false;
  bool expectCompressed = true;
  std::atomic<bool> closed_{true};
  std::unique_ptr<IImageStream> stream_;
  bool firstBuffer_ = true;
  uint32_t maxStreamLength = 0;
  // The page announced: its length (as SetMaxStreamLength got it), row width and pixels per
  // row; a JPEG's header and the page's end are checked against them. Scan thread.
  uint32_t pageLength_ = 0;
  uint32_t bytesPerLine_ = 0;
  uint32_t pixelsPerLine_ = 0;
  uint32_t cancelReason_ GUARDED_BY(reasonLock_) = CERR_UNKNOWN;
  CCriticalSection2 reasonLock_;
  std::vector<uint8_t> headerBytes_;      // the start of a JPEG page until its header is whole
  std::atomic<bool> pageFailed_{false};   // a write hook or the worker has failed this page
  // The page's write end is open: set by the first attachment of an answer, cleared when the
  // page is ended (trailing pad lines) or the source is closed.
  std::atomic<bool> pageOpen_{false};
  // Counts a chunk of the attachment; whether it completes the attachment's last record.
  bool LastChunkOfAttachment(size_t length);

  uint32_t decodeThreadThreshold_ = kDecodeThreadThreshold;  // scan thread
  bool workerTried_ = false;  // the page's worker was started (or could not be); scan thread
  bool workerEnded_ = false;  // the worker ended the page with its last chunk; scan thread
  size_t recordBytes_ = 0;    // received of the current DIME record; scan thread
  DecodeWorker worker_;       // last: stopped before the members it uses go
};

#endif
