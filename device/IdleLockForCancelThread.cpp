#include "device/IdleLockForCancelThread.h"

#include "device/SoapScanDevice.h"
#include "log/CHRESULT2.h"
#include "log/GlobalLog.h"

IdleLockForCancelThread::IdleLockForCancelThread(SoapScanDevice& device) : device_(device) {
  CHRESULT2 hr(GetGlobalLog(), "IdleLockForCancelThread::IdleLockForCancelThread");
  device_.LockCancelThreadOnceItsMessageQueueEmpties();
}

IdleLockForCancelThread::~IdleLockForCancelThread() {
  CHRESULT2 hr(GetGlobalLog(), "IdleLockForCancelThread::~IdleLockForCancelThread");
  device_.UnlockCancelThread();
}
