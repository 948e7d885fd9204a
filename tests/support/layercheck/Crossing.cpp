// Input of the test cavix_layers_finds_crossings (never compiled): read as a source of a
// target that links only the folder sane/ and the header driver/CavixScanner.h.
#include "sane/SaneBackend.h"
#include "driver/CavixScanner.h"
#include "driver/CavixDriver.h"
#ifdef CAVIX_NOT_DEFINED
#include "device/SoapScanDevice.h"
#else
#include "image/BufferedStream.h"
#endif
