#include "tools/ErrorCatalog.h"

#include <cstdio>

#include "driver/CavixErrors.h"

namespace {

const ErrorText kTexts[] = {
    {"CERR_NONE", "no error", "nothing to do", kExitOk},
    {"CERR_INVALID_SESSION", "the scanner session is not open", "run the command again", kExitFailure},
    {"CERR_INVALID_PARAMETER", "the scanner refused these settings",
     "check the region, resolution and mode against 'cavix-scan caps'", kExitRefused},
    {"CERR_SCANNER_NOT_FOUND", "the scanner was not found", "check the device name and that the scanner is on", kExitUnreachable},
    {"CERR_SCANNER_NOT_LOCKED", "the scanner was not reserved for this program", "run the command again", kExitFailure},
    {"CERR_SCANNER_LOCK_FAILED", "another program is using the scanner",
     "wait until it has finished, or raise --lock-timeout (lock files live in CAVIX_LOCK_DIR)", kExitBusy},
    {"CERR_SCANNER_LAMP_OFF", "the scanner's lamp is off", "turn the scanner off and on again", kExitFailure},
    {"CERR_CALIBRATION_FAILED", "the scanner could not calibrate", "turn the scanner off and on again", kExitFailure},
    {"CERR_OUT_OF_MEMORY", "the computer ran out of memory", "close other programs or scan a smaller region", kExitFailure},
    {"CERR_UNKNOWN", "the scan failed", "try again; turn the driver's log on (cavix-scan log on) to see why", kExitFailure},
    {"CERR_NOT_IMPLEMENTED", "the driver does not offer this", "use another option", kExitFailure},
    {"CERR_SCANNER_HOME_FAILED", "the scanner head could not return home", "turn the scanner off and on again", kExitFailure},
    {"CERR_SCANNER_COMMUNICATION_FAILED", "the scanner cannot be reached",
     "check that it is on and connected (network cable, USB cable), and the device name or address", kExitUnreachable},
    {"CERR_INVALID_TOOLKIT", "invalid toolkit", "reinstall the driver", kExitFailure},
    {"CERR_INVALID_PROPERTY", "invalid property", "use other settings", kExitRefused},
    {"CERR_SCANNER_END_OF_PAGE", "end of page", "nothing to do", kExitOk},
    {"CERR_CANCEL_PRESSED", "the scan was cancelled", "start it again when ready", kExitFailure},
    {"CERR_SCANNER_LAMP_FAILED", "the scanner's lamp failed", "have the scanner serviced", kExitFailure},
    {"CERR_NET_SOCKET_BUSY", "the scanner is busy", "try again in a moment", kExitBusy},
};

struct CodedText {
  uint32_t code;
  ErrorText text;
};

const CodedText kHigher[] = {
    {CERR_ADF_JAMMED, {"CERR_ADF_JAMMED", "paper jam in the document feeder",
                       "open the feeder cover, remove the jammed sheet and scan again", kExitPaper}},
    {CERR_ADF_EMPTY, {"CERR_ADF_EMPTY", "the document feeder is empty",
                      "put the pages face up into the feeder and scan again", kExitPaper}},
    {CERR_ADF_END_OF_PAGE, {"CERR_ADF_END_OF_PAGE", "end of the feeder's page", "nothing to do", kExitOk}},
    {CERR_ADF_HATCH_OPEN, {"CERR_ADF_HATCH_OPEN", "the document feeder's cover is open",
                           "close the cover and scan again", kExitPaper}},
    {CERR_APF_JAMMED, {"CERR_APF_JAMMED", "paper jam", "remove the jammed sheet and scan again", kExitPaper}},
    {CERR_APF_GENERAL_ERROR, {"CERR_APF_GENERAL_ERROR", "paper feed problem", "check the paper path and scan again", kExitPaper}},
    {CERR_ADF_DUPLEX_PAGE_TOO_SHORT, {"CERR_ADF_DUPLEX_PAGE_TOO_SHORT", "the sheet is too short for two-sided scanning",
                                      "scan it one-sided or from the platen", kExitPaper}},
    {CERR_ADF_DUPLEX_PAGE_TOO_LONG, {"CERR_ADF_DUPLEX_PAGE_TOO_LONG", "the sheet is too long for two-sided scanning",
                                     "scan it one-sided", kExitPaper}},
    {CERR_ADF_PICK_FAILED, {"CERR_ADF_PICK_FAILED", "the document feeder could not pick up a sheet",
                            "straighten the stack, put it back into the feeder and scan again", kExitPaper}},
    {CERR_ADF_MPD, {"CERR_ADF_MPD", "the feeder took several sheets at once", "fan the stack and scan again", kExitPaper}},
    {CERR_ADF_MPD_SENSOR_FAILED, {"CERR_ADF_MPD_SENSOR_FAILED", "the feeder's sheet sensor failed", "have the scanner serviced", kExitPaper}},
    {CERR_ADF_INPUT_TRAY_FAILED, {"CERR_ADF_INPUT_TRAY_FAILED", "the feeder's input tray failed", "check the tray", kExitPaper}},
    {CERR_ADF_INPUT_TRAY_OVERLOADED, {"CERR_ADF_INPUT_TRAY_OVERLOADED", "too many sheets in the feeder",
                                      "take some sheets out and scan again", kExitPaper}},
    {CERR_JAM_INPUT_TRAY, {"CERR_JAM_INPUT_TRAY", "paper jam at the input tray", "remove the sheet and scan again", kExitPaper}},
    {CERR_JAM_OUTPUT_TRAY, {"CERR_JAM_OUTPUT_TRAY", "paper jam at the output tray", "remove the sheet and scan again", kExitPaper}},
    {CERR_JAM_CLEANOUT, {"CERR_JAM_CLEANOUT", "paper jam at the clean-out", "remove the sheet and scan again", kExitPaper}},
    {CERR_JAM_DOOR1, {"CERR_JAM_DOOR1", "paper jam behind door 1", "remove the sheet and scan again", kExitPaper}},
    {CERR_JAM_DOOR2, {"CERR_JAM_DOOR2", "paper jam behind door 2", "remove the sheet and scan again", kExitPaper}},
    {CERR_JAM_DOOR3, {"CERR_JAM_DOOR3", "paper jam behind door 3", "remove the sheet and scan again", kExitPaper}},
    {CERR_OPEN_DOOR1, {"CERR_OPEN_DOOR1", "door 1 is open", "close it and scan again", kExitPaper}},
    {CERR_OPEN_DOOR2, {"CERR_OPEN_DOOR2", "door 2 is open", "close it and scan again", kExitPaper}},
    {CERR_OPEN_DOOR3, {"CERR_OPEN_DOOR3", "door 3 is open", "close it and scan again", kExitPaper}},
    {CERR_OPEN_INPUT_TRAY, {"CERR_OPEN_INPUT_TRAY", "the input tray is open", "close it and scan again", kExitPaper}},
    {CERR_OPEN_ADF_PLATEN, {"CERR_OPEN_ADF_PLATEN", "the feeder is lifted off the platen", "close it and scan again", kExitPaper}},
    {CERR_BUSY, {"CERR_BUSY", "the scanner is busy", "try again in a moment", kExitBusy}},
    {CERR_RESERVE_BUSY, {"CERR_RESERVE_BUSY", "the scanner is reserved by someone else", "try again in a moment", kExitBusy}},
    {CERR_RESERVE_FAILED, {"CERR_RESERVE_FAILED", "the scanner could not be reserved", "try again in a moment", kExitBusy}},
};

}  // namespace

ErrorText ErrorCatalog::Lookup(uint32_t code) {
  if (code < sizeof kTexts / sizeof kTexts[0]) return kTexts[code];
  for (const CodedText& c : kHigher)
    if (c.code == code) return c.text;
  return ErrorText{nullptr, "the scanner reported an error", "try again; turn the driver's log on (cavix-scan log on) to see why",
                   kExitFailure};
}

std::string ErrorCatalog::Name(uint32_t code) {
  ErrorText t = Lookup(code);
  return t.name ? t.name : "error " + std::to_string(code);
}

ExitStatus ErrorCatalog::ExitFor(HRESULT hr, uint32_t code) {
  if (hr == CAVIX_E_SCONF_BUSY) return kExitBusy;
  return Lookup(code).exit;
}

std::string ErrorCatalog::Describe(HRESULT hr, uint32_t code) {
  ErrorText t = Lookup(code);
  if (hr == CAVIX_E_SCONF_BUSY) t = Lookup(CERR_NET_SOCKET_BUSY);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(hr));
  std::string s = std::string(t.meaning) + " (" + Name(code) + ", code " + std::to_string(code);
  if (hr != 0 && hr != E_FAIL) s += ", result " + std::string(hex);
  return s + "): " + t.advice;
}
