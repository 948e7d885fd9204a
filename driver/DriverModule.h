// What the module owns from load to unload: the global log, the session table (with its lock)
// and the device creation lock, held while a session's scan device is created and initialised.
//
// The shared module calls Load when it is loaded and Unload when it is unloaded; programs that
// link the front end directly (unit tests) call them themselves. Load and Unload run while no
// other thread uses the driver; the accessors may be called from any thread in between.
#ifndef CAVIX_DRIVER_DRIVERMODULE_H
#define CAVIX_DRIVER_DRIVERMODULE_H

#include "driver/CavixCom.h"

class CCriticalSection2;
class SessionTable;

namespace DriverModule {

// Creates the global log (reading its configuration), the session table and the device creation
// lock. A second Load without Unload changes nothing.
void Load();
// Drops every session left (destroying their devices and scanner locks), then the locks and the
// global log.
void Unload();
bool IsLoaded();

// Valid between Load and Unload.
SessionTable& Sessions();
CCriticalSection2& DeviceCreationLock();

// S_OK when no object of the module is alive and no server lock is held, else S_FALSE.
HRESULT CanUnloadNow();

}  // namespace DriverModule

#endif
