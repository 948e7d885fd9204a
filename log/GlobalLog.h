// The module's global log: created when the module loads (reading its configuration once) and
// destroyed when it unloads. Everything that logs tolerates a null global log.
// Threads: GetGlobalLog may be called from any thread; create and destroy are called by the
// module's load and unload, when no other thread uses the log.
#ifndef CAVIX_LOG_GLOBALLOG_H
#define CAVIX_LOG_GLOBALLOG_H

class CLog2;

// The global log, or nullptr when there is none.
CLog2* GetGlobalLog();
// Builds the global log for the driver's class id (if there is none yet) and returns it.
CLog2* CreateGlobalLog();
// Destroys the global log; pending lines are written first.
void DestroyGlobalLog();

#endif
