// The class registration of the driver in the HKEY_LOCAL_MACHINE registry store:
//   Software\Classes\CLSID\{1422B44C-CBF9-440D-A286-44AD4F87BF5F}  @="scanner Class"
//     InprocServer32            @=<module path>, "ThreadingModel"="Both"
//     ProgID                    @="CAVIXDriver.scanner.1"
//     VersionIndependentProgID  @="CAVIXDriver.scanner"
//     TypeLib                   @="{067EDDD0-BCE7-404B-9B9E-3D7BA033DB20}"
//   Software\Classes\CAVIXDriver.scanner.1  @="scanner Class", CLSID @=<class id>
//   Software\Classes\CAVIXDriver.scanner    @="scanner Class", CLSID @=<class id>,
//                                           CurVer @="CAVIXDriver.scanner.1"
// Unregistering removes exactly these three keys with their subkeys; the parent keys stay.
// Each change is one read-modify-write of the store file under its lock. Any thread.
#ifndef CAVIX_DRIVER_SERVERREGISTRATION_H
#define CAVIX_DRIVER_SERVERREGISTRATION_H

#include <string>

#include "driver/CavixCom.h"

// DllRegisterServer's failure code (Windows' SELFREG_E_CLASS).
constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201u);

namespace ServerRegistration {

// Writes the keys with `modulePath` as the in-process server. S_OK, or SELFREG_E_CLASS when the
// store cannot be read or written (the file is then unchanged).
HRESULT Register(const std::string& modulePath);
// Removes the keys; S_OK also when they were not there.
HRESULT Unregister();

}  // namespace ServerRegistration

#endif
