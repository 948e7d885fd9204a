// Schema of the device's scan web service, as soapcpp2 input. The build generates the
// serializers, the client calls (soap_call_wscn__*) and the server dispatch from this file
// into the build tree (service/gen/wscn*.{h,cpp}); nothing generated is kept in the sources.
//
// Conventions: a double underscore separates the namespace prefix (wscn:ScanTicketType is
// class wscn__ScanTicketType); a single underscore becomes a hyphen in XML ("Pending-Held",
// "param-6"). Enumeration constants carry their type's name so that literals shared by
// several enumerations ("None", "MediaJam", "CoverOpen") stay distinct in C++; the XML value
// is the part after the last double underscore. Elements below the body's top element are
// unqualified. Optional strings are null when absent and are left out when written null.

//gsoap wscn service name: wscn
//gsoap wscn service style: document
//gsoap wscn service encoding: literal
//gsoap wscn service namespace: http://tempuri.org/wscn.xsd
//gsoap wscn schema namespace: http://tempuri.org/wscn.xsd
//gsoap wscn schema elementForm: unqualified
//gsoap wscn schema attributeForm: unqualified

// ---------------------------------------------------------------------------------------
// Enumerations (literal = code)

enum wscn__ScanDocumentFormat {
  wscn__ScanDocumentFormat__jfif = 0,
  wscn__ScanDocumentFormat__zkraw = 1,
  wscn__ScanDocumentFormat__mmr = 2,
  wscn__ScanDocumentFormat__png = 3
};

enum wscn__ScanInputSource {
  wscn__ScanInputSource__ADF = 0,
  wscn__ScanInputSource__ADFDuplex = 1,
  wscn__ScanInputSource__Platen = 2,
  wscn__ScanInputSource__S2 = 3
};

enum wscn__ContentType {
  wscn__ContentType__Auto = 0,
  wscn__ContentType__Document = 1,
  wscn__ContentType__Photo = 2,
  wscn__ContentType__Object3D = 3
};

enum wscn__ColorEntryType {
  wscn__ColorEntryType__BlackandWhite1 = 0,
  wscn__ColorEntryType__GrayScale8 = 1,
  wscn__ColorEntryType__RGB24 = 2,
  wscn__ColorEntryType__RGB48 = 3
};

// Codes 4 to 9 have no literal; they are written as decimal numbers.
enum wscn__ImageProcessingRemoveType {
  wscn__ImageProcessingRemoveType__removeNone = 0,
  wscn__ImageProcessingRemoveType__removeAll = 1,
  wscn__ImageProcessingRemoveType__remove10to8 = 2,
  wscn__ImageProcessingRemoveType__remove3x3 = 3,
  wscn__ImageProcessingRemoveType__captureLeftAmb = 10,
  wscn__ImageProcessingRemoveType__captureLeftFlash = 11,
  wscn__ImageProcessingRemoveType__captureRightAmb = 12,
  wscn__ImageProcessingRemoveType__captureRightFlash = 13,
  wscn__ImageProcessingRemoveType__captureCenterAmb = 14,
  wscn__ImageProcessingRemoveType__captureCenterFlash = 15,
  wscn__ImageProcessingRemoveType__captureLeftLamp = 16,
  wscn__ImageProcessingRemoveType__captureRightLamp = 17,
  wscn__ImageProcessingRemoveType__captureCenterLamp = 18,
  wscn__ImageProcessingRemoveType__captureLeftUniform = 19,
  wscn__ImageProcessingRemoveType__captureRightUniform = 20,
  wscn__ImageProcessingRemoveType__captureCenterUniform = 21,
  wscn__ImageProcessingRemoveType__captureMerged = 22,
  wscn__ImageProcessingRemoveType__captureDemosaiced = 23,
  wscn__ImageProcessingRemoveType__captureDistortionCorrect = 24,
  wscn__ImageProcessingRemoveType__captureAfterLUT = 25,
  wscn__ImageProcessingRemoveType__captureFinalSendToBIP = 26
};

enum wscn__JobStateType {
  wscn__JobStateType__Aborted = 0,
  wscn__JobStateType__Canceled = 1,
  wscn__JobStateType__Completed = 2,
  wscn__JobStateType__Creating = 3,
  wscn__JobStateType__Pending = 4,
  wscn__JobStateType__Pending_Held = 5,
  wscn__JobStateType__Processing = 6,
  wscn__JobStateType__Started = 7,
  wscn__JobStateType__Terminating = 8,
  wscn__JobStateType__Unknown = 9
};

enum wscn__JobStateReasonsType {
  wscn__JobStateReasonsType__InvalidScanTicket = 0,
  wscn__JobStateReasonsType__DocumentFormatError = 1,
  wscn__JobStateReasonsType__ImageTransferError = 2,
  wscn__JobStateReasonsType__JobCanceledAtDevice = 3,
  wscn__JobStateReasonsType__JobCompletedSuccessfully = 4,
  wscn__JobStateReasonsType__JobScanning = 5,
  wscn__JobStateReasonsType__JobScanningAndTransferring = 6,
  wscn__JobStateReasonsType__JobTimedOut = 7,
  wscn__JobStateReasonsType__JobTransferring = 8,
  wscn__JobStateReasonsType__None = 9,
  wscn__JobStateReasonsType__ScannerStopped = 10,
  wscn__JobStateReasonsType__MediaMispick = 11,
  wscn__JobStateReasonsType__MediaJam = 12,
  wscn__JobStateReasonsType__CoverOpen = 13,
  wscn__JobStateReasonsType__InternalStorageFull = 14
};

enum wscn__ScannerStateType {
  wscn__ScannerStateType__Idle = 0,
  wscn__ScannerStateType__Processing = 1,
  wscn__ScannerStateType__Stopped = 2
};

enum wscn__ScannerStateReasonsType {
  wscn__ScannerStateReasonsType__AttentionRequired = 0,
  wscn__ScannerStateReasonsType__Calibrating = 1,
  wscn__ScannerStateReasonsType__CoverOpen = 2,
  wscn__ScannerStateReasonsType__InputTrayEmpty = 3,
  wscn__ScannerStateReasonsType__InternalStorageFull = 4,
  wscn__ScannerStateReasonsType__LampError = 5,
  wscn__ScannerStateReasonsType__LampWarming = 6,
  wscn__ScannerStateReasonsType__MediaJam = 7,
  wscn__ScannerStateReasonsType__Busy = 8,
  wscn__ScannerStateReasonsType__None = 9,
  wscn__ScannerStateReasonsType__MediaMispick = 10
};

// ---------------------------------------------------------------------------------------
// Small value types shared by both sides

// wscn:DimensionsType
struct wscn__DimensionsType {
  int Width 1;
  int Height 1;
};

// wscn:ResolutionPairExtType
struct wscn__ResolutionPairExtType {
  int Width 1;
  int Height 1;
};

// wscn:ScanRegionType
struct wscn__ScanRegionType {
  int ScanRegionXOffset 1;
  int ScanRegionYOffset 1;
  int ScanRegionWidth 1;
  int ScanRegionHeight 1;
};

class wscn__DimensionsOverrideType {
 public:
  int Width 1;
  int Height 1;
};

class wscn__ResolutionPairOverrideType {
 public:
  int Width 1;
  int Height 1;
};

class wscn__ScanRegionOverrideType {
 public:
  int ScanRegionXOffset 1;
  int ScanRegionYOffset 1;
  int ScanRegionWidth 1;
  int ScanRegionHeight 1;
};

class wscn__DocumentInputSizeOverrideType {
 public:
  wscn__DimensionsOverrideType InputMediaSize 1;
};

// ---------------------------------------------------------------------------------------
// Request side

class wscn__JobDescriptionType {
 public:
  char *JobName 0;
  char *JobOriginatingUserName 0;
  char *JobInformation 0;
};

class wscn__DocumentInputSizeType {
 public:
  struct wscn__DimensionsType InputMediaSize 1;
  bool DocumentSizeAutoDetect 1;
};

class wscn__ExposureSettingsOverrideType {
 public:
  int Contrast 1;
};

// wscn:ScanExposureType
struct wscn__ScanExposureType {
  bool AutoExposure 1;
  wscn__ExposureSettingsOverrideType ExposureSettings 1;
};

class wscn__ScanExposureOverrideType {
 public:
  bool AutoExposure 1;
  wscn__ExposureSettingsOverrideType ExposureSettings 1;
};

class wscn__MediaSideOverrideType {
 public:
  struct wscn__ScanRegionType ScanRegion 1;
  enum wscn__ColorEntryType ColorProcessing 1;
  struct wscn__ResolutionPairExtType Resolution 1;
};

class wscn__MediaSidesOverrideType {
 public:
  wscn__MediaSideOverrideType MediaFront 1;
};

// wscn:DocumentParametersType
struct wscn__DocumentParametersType {
  enum wscn__ScanDocumentFormat Format 1;
  int CompressionQualityFactor 1;
  int ImagesToTransfer 1;
  enum wscn__ScanInputSource InputSource 1;
  enum wscn__ContentType ContentType 1;
  wscn__DocumentInputSizeType InputSize 1;
  struct wscn__ScanExposureType Exposure 1;
  wscn__MediaSidesOverrideType MediaSides 1;
};

class wscn__ScanManufacturingParametersType {
 public:
  enum wscn__ImageProcessingRemoveType ImageProcessingRemoval 1;
};

class wscn__ScanTicketType {
 public:
  wscn__JobDescriptionType JobDescription 1;
  struct wscn__DocumentParametersType DocumentParameters 1;
  unsigned int RetrieveImageTimeout 1;
  wscn__ScanManufacturingParametersType ScanManufacturingParameters 1;
};

class wscn__DocumentDescriptionType {
 public:
  char *DocumentName 0;
};

// ---------------------------------------------------------------------------------------
// Response side

class wscn__ActualDocumentParametersType {
 public:
  enum wscn__ScanDocumentFormat Format 1;
  int CompressionQualityFactor 1;
  int ImagesToTransfer 1;
  enum wscn__ScanInputSource InputSource 1;
  enum wscn__ContentType ContentType 1;
  wscn__DocumentInputSizeType InputSize 1;
  struct wscn__ScanExposureType Exposure 1;
  wscn__MediaSidesOverrideType MediaSides 1;
};

class wscn__RegionImageInformationBaseType {
 public:
  int PixelsPerLine 1;
  int NumberOfLines 1;
  int BytesPerLine 1;
};

class wscn__ImageInformationType {
 public:
  wscn__RegionImageInformationBaseType MediaFrontImageInfo 1;
};

class wscn__CreateScanJobResponseType {
 public:
  unsigned int JobId 1;
  char *JobToken 0;
  wscn__ImageInformationType ImageInformation 1;
  wscn__ActualDocumentParametersType DocumentFinalParameters 1;
};

// The page image: a reference (href) to a DIME attachment, or inline base64 content. The data
// pointer and size are filled only when the attachment is held in memory; with DIME write
// hooks installed the data goes to the hooks and __ptr holds the hooks' handle.
class wscn__RetrieveImageResponseType {
 public:
  unsigned char *__ptr;
  int __size;
  char *id;
  char *type;
  char *options;
};

class wscn__CancelRequestResponseType {
 public:
  unsigned int JobId 1;
};

class wscn__JobSummaryType {
 public:
  unsigned int JobId 1;
  char *JobName 0;
  char *JobOriginatingUserName 0;
  enum wscn__JobStateType JobState 1;
  enum wscn__JobStateReasonsType JobStateReasons 1;
  int ScansCompleted 1;
};

class wscn__PadInfoResponseType {
 public:
  int TotalPadLines 1;
};

// SOAP-encoded arrays: SOAP-ENC:arrayType carries the member type and count; members are
// "item" elements.
class SupportedFormatsArray {
 public:
  enum wscn__ScanDocumentFormat *__ptr;
  int __size;
};

class SupportedContentsArray {
 public:
  enum wscn__ContentType *__ptr;
  int __size;
};

class SupportedColorsArray {
 public:
  enum wscn__ColorEntryType *__ptr;
  int __size;
};

class DeviceSettingsType {
 public:
  SupportedFormatsArray FormatSupported 1;
  bool QualityFactorSupported 1;
  SupportedContentsArray ContentSupported 1;
  bool DocumentSizeAutoDetectSupported 1;
  int FeederCapacity 1;
  int DuplexRotation 1;
  int Rotation 1;
};

class PlatenType {
 public:
  SupportedColorsArray ColorSupported 1;
  struct wscn__DimensionsType PlatenMinimumSize 1;
  struct wscn__DimensionsType PlatenMaximumSize 1;
  struct wscn__ResolutionPairExtType PlatenOpticalResolution 1;
  bool FlatbedSupported 1;
};

class ADFType {
 public:
  bool ADFSupported 1;
  bool ADFSupportsDuplex 1;
  struct wscn__DimensionsType ADFMinimumSize 1;
  struct wscn__DimensionsType ADFMaximumSize 1;
  struct wscn__ResolutionPairExtType ADFOpticalResolution 1;
};

class wscn__ScannerConfigurationType {
 public:
  DeviceSettingsType DeviceSettings 1;
  PlatenType Platen 1;
  ADFType ADF 1;
};

class wscn__ScanToStatusType {
 public:
  bool PaperInADF 1;
  bool ScanToAvailable 1;
  char *ScanIdentifier 0;
  char *Host 0;
  char *Display 0;
  char *EmailAddress 0;
  char *Subject 0;
  char *FromAddress 0;
  char *ReplyToAddress 0;
};

class wscn__ScannerStatusType {
 public:
  char *ScannerCurrentTime 0;
  enum wscn__ScannerStateType ScannerState 1;
  enum wscn__ScannerStateReasonsType ScannerStateReason 1;
  wscn__ScanToStatusType ScanToStatus 1;
};

class wscn__ScannerInfoType {
 public:
  char *ModelNumber 0;
};

class wscn__ScanElements {
 public:
  wscn__ScannerConfigurationType ScannerConfiguration 1;
  wscn__ScannerStatusType ScannerStatus 1;
  wscn__ScannerInfoType ScannerInfo 1;
};

// ---------------------------------------------------------------------------------------
// Elements of the operations the driver never sends: serializers only, no client call and
// no server dispatch.

class wscn__ScanDestinationType {
 public:
  char *ClientDisplayName 0;
  char *ClientContext 0;
  char *Hostname 0;
  char *URL 0;
  int port 1;
};

class ScanDestinationsArray {
 public:
  wscn__ScanDestinationType *__ptr;
  int __size;
};

struct wscn__Ping {
};

struct wscn__PingResponse {
  int param_6 1;
};

struct wscn__GetScanDestinations {
};

struct wscn__GetScanDestinationsResponse {
  ScanDestinationsArray *destinations 0;
};

struct wscn__SubscribeScanDestination {
  wscn__ScanDestinationType *destination 0;
};

struct wscn__SubscribeScanDestinationResponse {
  bool succeeded 1;
};

struct wscn__RemoveScanDestination {
  wscn__ScanDestinationType *destination 0;
};

struct wscn__RemoveScanDestinationResponse {
  bool succeeded 1;
};

struct wscn__RemoveScanDestinationByHostname {
  char *hostname 0;
};

struct wscn__RemoveScanDestinationByHostnameResponse {
  bool succeeded 1;
};

// ---------------------------------------------------------------------------------------
// The six operations the driver sends. Request element = operation name; a class output
// parameter is the response element itself (wscn:CreateScanJobResponseType, ...), while
// RetrieveImage's response is the wrapper wscn:RetrieveImageRequestResponse whose one child
// is Response.

int wscn__CreateScanJobRequest(
    char *ScanIdentifier 0,
    char *DestinationToken 0,
    wscn__ScanTicketType *ScanTicket,
    wscn__CreateScanJobResponseType *response);

int wscn__RetrieveImageRequest(
    unsigned int JobId,
    char *JobToken 0,
    wscn__DocumentDescriptionType *DocumentDescription,
    wscn__RetrieveImageResponseType &Response);

int wscn__CancelJobRequest(
    unsigned int JobId,
    wscn__CancelRequestResponseType *response);

int wscn__GetScannerElements(
    wscn__ScanElements *response);

int wscn__GetJobInfo(
    unsigned int jobId,
    wscn__JobSummaryType *response);

int wscn__GetPreviousImagePadInfo(
    wscn__PadInfoResponseType *response);
