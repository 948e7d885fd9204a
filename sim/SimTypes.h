// Plain value types shared by the simulated scanner's parts: the scan service's enumeration
// codes as the device holds them, the ticket fields the device acts on, the answers of its
// operations and the record of what it received and sent. No behaviour lives here.
#ifndef CAVIX_SIM_SIMTYPES_H
#define CAVIX_SIM_SIMTYPES_H

#include <cstdint>
#include <string>
#include <vector>

namespace cavixsim {

// Codes of the service's enumerations (the numbers written on the wire as literals).
enum DocFormat : int { kFormatJfif = 0, kFormatZkraw = 1, kFormatMmr = 2, kFormatPng = 3 };
enum InputSource : int { kSourceAdf = 0, kSourceAdfDuplex = 1, kSourcePlaten = 2, kSourceS2 = 3 };
enum ColorMode : int { kColorBw1 = 0, kColorGray8 = 1, kColorRgb24 = 2, kColorRgb48 = 3 };
enum JobState : int {
  kJobAborted = 0, kJobCanceled = 1, kJobCompleted = 2, kJobCreating = 3, kJobPending = 4,
  kJobPendingHeld = 5, kJobProcessing = 6, kJobStarted = 7, kJobTerminating = 8, kJobUnknown = 9
};
enum JobReason : int {
  kReasonInvalidScanTicket = 0, kReasonDocumentFormatError = 1, kReasonImageTransferError = 2,
  kReasonJobCanceledAtDevice = 3, kReasonJobCompletedSuccessfully = 4, kReasonJobScanning = 5,
  kReasonJobScanningAndTransferring = 6, kReasonJobTimedOut = 7, kReasonJobTransferring = 8,
  kReasonNone = 9, kReasonScannerStopped = 10, kReasonMediaMispick = 11, kReasonMediaJam = 12,
  kReasonCoverOpen = 13, kReasonInternalStorageFull = 14
};
enum ScannerState : int { kScannerIdle = 0, kScannerProcessing = 1, kScannerStopped = 2 };
enum ScannerReason : int {
  kScannerAttentionRequired = 0, kScannerCalibrating = 1, kScannerCoverOpen = 2,
  kScannerInputTrayEmpty = 3, kScannerInternalStorageFull = 4, kScannerLampError = 5,
  kScannerLampWarming = 6, kScannerMediaJam = 7, kScannerBusy = 8, kScannerNone = 9,
  kScannerMediaMispick = 10
};

// The six operations the device serves, in the order the record and the options name them.
enum class Operation : int {
  CreateScanJob, RetrieveImage, CancelJob, GetScannerElements, GetJobInfo,
  GetPreviousImagePadInfo, Unknown
};
const char* OperationName(Operation op);
// Accepts the operation's name as above, case-insensitively; Unknown when it is none of them.
Operation OperationFromName(const std::string& name);

// Ways the device answers an operation badly on purpose (a broken or hostile device):
//   Trickle       the right answer, one byte per trickle interval
//   Endless       an answer without end: a text that never closes (control operations), or
//                 an attachment whose chunks never stop (RetrieveImage)
//   Huge          a complete answer with a text of hugeBytes (the job token, the model name,
//                 the job name, a fault's reason), or an attachment of hugeBytes (RetrieveImage)
//   HttpError     an HTTP 503 error page in HTML instead of SOAP
//   EmptyChunks   RetrieveImage: the envelope, then empty attachment chunks without end
//   LyingRecord   RetrieveImage: a record that announces 2 GB, sends half the page, then silence
//   Reset         RetrieveImage: half the page, then a reset connection (USB: silence)
//   WrongSize     RetrieveImage: a page of other width and height than the job announced
//   Bomb          RetrieveImage: a JPEG whose header announces 65500 x 65500 pixels
//   AbsurdNumbers CreateScanJob: image information of 2147483647; GetPreviousImagePadInfo:
//                 2147483647 pad lines
enum class Misbehaviour : int {
  None, Trickle, Endless, Huge, HttpError, EmptyChunks, LyingRecord, Reset, WrongSize, Bomb,
  AbsurdNumbers
};
const char* MisbehaviourName(Misbehaviour kind);
// Accepts the names "trickle", "endless", "huge", "http-error", "empty-chunks", "lying-record",
// "reset", "wrong-size", "bomb", "absurd"; None for anything else.
Misbehaviour MisbehaviourFromName(const std::string& name);

// The scan ticket fields the device acts on (units: 1/1000 inch, dots per inch).
struct Ticket {
  int format = kFormatJfif;
  int compressionQualityFactor = 0;
  int imagesToTransfer = 0;
  int inputSource = kSourcePlaten;
  int contentType = 0;
  int mediaWidth = 0;
  int mediaHeight = 0;
  bool sizeAutoDetect = false;
  bool autoExposure = false;
  int contrast = 0;
  int regionX = 0;
  int regionY = 0;
  int regionWidth = 0;
  int regionHeight = 0;
  int colorProcessing = kColorRgb24;
  int resolutionX = 0;
  int resolutionY = 0;
  uint32_t retrieveImageTimeout = 0;
  int imageProcessingRemoval = 0;
};

// Page geometry the device derives from a ticket: the same rows and widths the host computes
// from its own parameters.
struct PageGeometry {
  uint32_t pixelsPerLine = 0;
  uint32_t lines = 0;
  uint32_t bytesPerLine = 0;
};

// A SOAP fault as the device answers it. `code` is "Sender" or "Receiver" (written in the
// envelope version's own spelling); `subcode` is a qualified name such as
// "wscn:ClientErrorJobCancelled" or empty.
struct Fault {
  std::string code = "Sender";
  std::string subcode;
  std::string reason;
};

struct JobSummary {
  uint32_t jobId = 0;
  int state = kJobUnknown;
  int reason = kReasonNone;
  int scansCompleted = 0;
};

struct ScannerStatus {
  int state = kScannerIdle;
  int reason = kScannerNone;
  bool paperInAdf = false;
  std::string scanIdentifier;  // empty: the element is left out
};

// One received request, in arrival order.
struct RequestRecord {
  Operation op = Operation::Unknown;
  uint64_t msSinceStart = 0;  // monotonic milliseconds since the simulator started
  uint32_t jobId = 0;         // job named by the request (0 when it names none)
  bool hasTicket = false;
  Ticket ticket;              // CreateScanJob only
  std::string scanIdentifier; // CreateScanJob only
  std::string jobToken;       // RetrieveImage only
  std::string faultSubcode;   // the subcode of the fault answered, empty when none
  bool answered = true;       // false when the device kept silent
};

// One page image the device sent (or began to send).
struct SentPage {
  uint32_t jobId = 0;
  int imageInJob = 0;   // 1-based
  int side = 0;         // 0 front, 1 back
  int format = kFormatJfif;
  int colorProcessing = kColorRgb24;
  PageGeometry geometry;
  uint32_t padLines = 0;
  uint64_t bytes = 0;   // attachment bytes handed to the transport
  uint64_t fnv1a = 0;   // 64-bit FNV-1a hash of those bytes
  bool complete = false;
  std::vector<uint8_t> data;  // the bytes themselves, when the configuration keeps them
};

}  // namespace cavixsim

#endif
