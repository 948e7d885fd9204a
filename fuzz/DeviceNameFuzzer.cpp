// Fuzzes the handling of the device name a host passes to OpenScannerSession: its conversion
// from UTF-16 to the "ANSI" (UTF-8) form, the network name's fields (MAC address and IP
// address between their markers), the endpoint built from the address, the scanner lock's
// name and lock file name, and the USB protocol's endpoint and its length checks.
//
// The input is the name twice over: its bytes taken as the ANSI name (whole, NULs included, for
// the functions that take a string; up to the first NUL where the driver hands the name on as a
// C string), and its bytes taken as UTF-16LE units converted the way the driver converts the
// host's name.
//
// Checks beyond the sanitizers: the conversion gives valid UTF-8 that converts back to the
// same units (unpaired surrogates as '?'); a field is the text between the first start marker
// and the first end marker after it; an endpoint is only ever built from a usable address and
// holds nothing that could change its target; the lock's name is "Global\" plus the last path
// component and its file name keeps to letters, digits, '.', '_' and '-'.
#include <stdsoap2.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/CScannerLock2.h"
#include "driver/CavixErrors.h"
#include "driver/ScanSessionOpener.h"
#include "platform/NamedLock.h"
#include "platform/RegFileFormat.h"
#include "service/ServiceContext.h"
#include "service/SoapPointerMap.h"
#include "transport/HostAddress.h"
#include "transport/NetworkDeviceName.h"
#include "transport/UsbProtocol.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& name) {
  std::fprintf(stderr, "fuzz_device_name: %s\nname: ", what);
  for (unsigned char c : name) std::fprintf(stderr, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02x", c);
  std::fprintf(stderr, "\n");
  std::abort();
}

// The field the driver should cut, found independently; false when a marker is missing.
bool ExpectedField(const std::string& name, const std::string& start, const std::string& end,
                   std::string* field) {
  const size_t from = name.find(start);
  if (from == std::string::npos) return false;
  const size_t to = name.find(end, from + start.size());
  if (to == std::string::npos) return false;
  *field = name.substr(from + start.size(), to - from - start.size());
  return true;
}

void CheckField(const std::string& name, const char* start, const char* end, bool ip) {
  std::string expected;
  const bool present = ExpectedField(name, start, end, &expected);
  std::string field;
  try {
    field = ip ? NetworkDeviceName::IpAddress(name) : NetworkDeviceName::MacAddress(name);
  } catch (CAVIX_ERRORS code) {
    if (code != CERR_INVALID_PARAMETER) Fail("field cut failed with another code", name);
    if (present) Fail("field cut failed although both markers are there", name);
    return;
  }
  if (!present) Fail("field cut without its markers", name);
  // Of an IPv6 list separated by blanks, the first address.
  if (ip && expected.find(':') != std::string::npos && expected.find(' ') != std::string::npos)
    expected.erase(expected.find(' '));
  if (field != expected) Fail(ip ? "wrong address field" : "wrong MAC address field", name);
  if (!ip) return;

  const std::string endpoint = HostAddress::Endpoint(field);
  if (!HostAddress::IsUsable(field)) {
    if (!endpoint.empty()) Fail("endpoint built from an unusable address", name);
    return;
  }
  const bool v6 = field.find(':') != std::string::npos;
  if (endpoint != "http://" + (v6 ? "[" + field + "]" : field) + ":8289") Fail("wrong endpoint", name);
  // A link-local IPv6 address may name its interface after one '%': letters, digits, '.', '-',
  // '_', at most 15 of them.
  const size_t percent = v6 ? field.find('%') : std::string::npos;
  const std::string address = field.substr(0, percent);
  const std::string zone = percent == std::string::npos ? "" : field.substr(percent + 1);
  for (unsigned char c : address) {
    const bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         c == '.' || c == '-' || (v6 && c == ':');
    if (!allowed) Fail("usable address with a character that changes the request", name);
  }
  if (percent == std::string::npos) return;
  if (zone.empty() || zone.size() > 15) Fail("usable address with an empty or long zone", name);
  std::string head = address.substr(0, 3);
  for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (address.size() < 4 || (head != "fe8" && head != "fe9" && head != "fea" && head != "feb"))
    Fail("zone on an address that is not link-local", name);
  for (unsigned char c : zone) {
    const bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         c == '.' || c == '-' || c == '_';
    if (!allowed) Fail("zone with a character outside an interface name", name);
  }
}

void CheckLockName(const std::string& name) {
  const std::string semaphore = CScannerLock2::SemaphoreName(name.c_str());
  const std::string cName = name.c_str();  // the driver hands the name on as a C string
  const size_t slash = cName.rfind('\\');
  const std::string last = slash == std::string::npos ? cName : cName.substr(slash + 1);
  if (semaphore != "Global\\" + last) Fail("wrong lock name", name);
  const std::string file = NamedLock::SanitizeName(semaphore);
  if (file.size() != semaphore.size()) Fail("lock file name of another length", name);
  for (unsigned char c : file) {
    const bool allowed = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         c == '.' || c == '_' || c == '-';
    if (!allowed) Fail("lock file name with a character outside the set", name);
  }
  if (file.compare(0, 7, "Global_") != 0) Fail("lock file name lost its prefix", name);
}

// The USB protocol keeps "http:" + path as its endpoint; a path outside the accepted lengths
// never reaches open(2). Paths inside them are not opened here: the fuzzer must not touch files.
void CheckUsbEndpoint(struct soap* soap, const std::string& name) {
  const std::string path = name.c_str();
  UsbProtocol usb(soap);
  usb.Install(path.c_str());
  if (std::string(usb.GetEndpoint()) != "http:" + path) Fail("wrong USB endpoint", name);
  const size_t length = 5 + path.size();
  if (length > UsbProtocol::kMaxEndpoint || length <= 5) {
    soap->error = SOAP_OK;
    if (usb.Open() != -1 || usb.IsOpen()) Fail("USB device opened with a path outside the limits", name);
    if (soap->error == SOAP_OK) Fail("refused USB open leaves no error", name);
  }
}

void CheckName(struct soap* soap, const std::string& name) {
  CheckField(name, "\\macaddr:", "\\port", false);
  CheckField(name, "\\ipaddr:", "\\guid", true);
  CheckLockName(name);
  CheckUsbEndpoint(soap, name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;  // names are short; longer inputs only slow the search
  struct soap* soap = ServiceContext::Create(ServiceContext::kChunkedOutput);
  if (soap == nullptr) Fail("no context", "");
  SoapPointerMap map;
  SoapPointerMap::Attach(soap, &map);

  // The bytes as an ANSI name.
  const std::string raw(reinterpret_cast<const char*>(data), size);
  CheckName(soap, raw);

  // The bytes as the host's UTF-16 name, converted as the driver converts it.
  std::vector<WCHAR> wide;
  for (size_t i = 0; i + 1 < size; i += 2) wide.push_back(static_cast<WCHAR>(data[i] | (data[i + 1] << 8)));
  wide.push_back(0);
  const std::string ansi = ScanSessionOpener::ToAnsi(wide.data());
  std::vector<uint8_t> back;
  if (!RegFileFormat::Utf8ToUtf16Le(ansi, &back)) Fail("conversion gave invalid UTF-8", ansi);
  std::vector<uint8_t> expected;
  for (size_t i = 0; wide[i] != 0; ++i) {
    WCHAR unit = wide[i];
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    if (high && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      expected.push_back(unit & 0xFF);
      expected.push_back(unit >> 8);
      unit = wide[++i];
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      unit = '?';
    }
    expected.push_back(unit & 0xFF);
    expected.push_back(unit >> 8);
  }
  expected.push_back(0);
  expected.push_back(0);
  if (back != expected) Fail("conversion does not convert back to the same name", ansi);
  CheckName(soap, ansi);

  SoapPointerMap::Attach(soap, nullptr);
  ServiceContext::Destroy(soap);
  return 0;
}
