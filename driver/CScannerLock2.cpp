#include "driver/CScannerLock2.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <system_error>

#include "log/CHRESULT2.h"
#include "log/CLog2.h"
#include "platform/CAutoCriticalSection.h"
#include "platform/NamedLock.h"
#include "platform/SystemInfo.h"
#include "platform/Win32Constants.h"

namespace {

constexpr uint32_t kLockLevel = 0x4;            // lock messages and the lock's trace scopes
constexpr uint32_t kLockWarning = 0x20000004u;  // unlocking a free lock
constexpr uint32_t kLockError = 0x80000004u;    // refusals and failed waits
constexpr uint32_t kLockNameLevel = 0x44;       // the semaphore-name line
constexpr uint32_t kDestructorLevel = 6;

constexpr const char* kGlobalPrefix = "Global\\";

constexpr LONG kErrorPathNotFound = 3;
constexpr LONG kErrorAlreadyExists = 183;
constexpr LONG kErrorTooManyPosts = 298;

// The Win32 code a failed creation of the named lock would have left, as an HRESULT.
HRESULT CreationFailure(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
    case EROFS:
      return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    case ENOENT:
    case ENOTDIR:
      return HRESULT_FROM_WIN32(kErrorPathNotFound);
    case ENOMEM:
      return HRESULT_FROM_WIN32(ERROR_OUTOFMEMORY);
    default:
      return E_FAIL;
  }
}

// Lock files are named after the semaphore; a name longer than a file name may be is cut and
// given a hash of the whole name, so that every process still finds the same file.
constexpr size_t kMaxLockFileName = 200;
constexpr size_t kLockFileNameKept = 180;

std::string LockObjectName(const std::string& semaphoreName) {
  std::string fileName = NamedLock::SanitizeName(semaphoreName);
  if (fileName.size() <= kMaxLockFileName) return semaphoreName;
  uint64_t hash = 1469598103934665603ull;  // FNV-1a over the full name
  for (unsigned char c : semaphoreName) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, "-%016llx", static_cast<unsigned long long>(hash));
  return fileName.substr(0, kLockFileNameKept) + suffix;
}

const char* LockTypeName(int32_t type) { return type == kLockTypeThread ? "THREAD" : "PROCESS"; }

}  // namespace

std::string CScannerLock2::SemaphoreName(const char* deviceName) {
  std::string name = deviceName != nullptr ? deviceName : "";
  size_t slash = name.rfind('\\');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  return kGlobalPrefix + name;
}

CScannerLock2::CScannerLock2(CLog2* log, const char* deviceName) : name_(SemaphoreName(deviceName)) {
  log_.reset(new CLog2(log != nullptr ? log->Name() : name_.substr(std::char_traits<char>::length(kGlobalPrefix))));
  CHRESULT2 hr(log_.get(), "CScannerLock2::Constructor", 0, nullptr, kLockLevel);
  log_->print(kLockNameLevel, "Lock Semaphore name is %s", name_.c_str());

  // A lock file that is there already stands for a semaphore that another process created.
  const std::string objectName = LockObjectName(name_);
  std::string path = NamedLock::Directory() + "/" + NamedLock::SanitizeName(objectName);
  struct stat st;
  bool existed = stat(path.c_str(), &st) == 0;
  try {
    semaphore_.reset(new NamedLock(objectName));
    hr = existed ? HRESULT_FROM_WIN32(kErrorAlreadyExists) : S_OK;
  } catch (const std::system_error& e) {
    hr = CreationFailure(e.code().value());
  } catch (const std::bad_alloc&) {
    hr = HRESULT_FROM_WIN32(ERROR_OUTOFMEMORY);
  }
}

CScannerLock2::~CScannerLock2() {
  log_->printUnindented(kDestructorLevel, "CScannerLock2::Destructor");
  CAutoCriticalSection guard(guard_);
  UnlockLocked();
  semaphore_.reset();  // closing the lock file also frees a level the call above could not
  log_.reset();
}

bool CScannerLock2::Lock(int32_t type, DWORD timeoutMs) {
  CHRESULT2 hr(log_.get(), "CScannerLock2::Lock", 0, nullptr, kLockLevel);
  if (type != kLockTypeProcess && type != kLockTypeThread) return false;
  const DWORD thread = GetCurrentThreadId();
  {
    CAutoCriticalSection guard(guard_);
    log_->print(kLockLevel, "Using Session locking:  Requested Lock type = %s, Current LockCount = %d",
                LockTypeName(type), static_cast<int>(lockCount_));
    if (lockCount_ != 0) {
      if (type != lockType_) {
        log_->printUnindented(kLockError, "Requested lock type does not match original lock, returning failure");
        return false;
      }
      if (lockType_ == kLockTypeProcess || ownerThread_ == thread) {
        ++lockCount_;
        log_->print(kLockLevel, "Lock obtained, new LockCount = %d", static_cast<int>(lockCount_));
        return true;
      }
      // A THREAD lock of another thread: wait for it like a newcomer.
      log_->print(kLockError, "Lock Failed, calling thread (%lx) != locking thread (%lx)",
                  static_cast<unsigned long>(thread), static_cast<unsigned long>(ownerThread_));
    }
  }

  bool taken = false;
  if (semaphore_) {
    try {
      taken = semaphore_->Acquire(timeoutMs);
    } catch (const std::system_error&) {
      taken = false;
    }
  }
  if (!taken) {
    log_->printUnindented(kLockError, "Error:  Lock wait failed");
    return false;
  }
  CAutoCriticalSection guard(guard_);
  ownerProcess_ = GetCurrentProcessId();
  ownerThread_ = thread;
  ++lockCount_;
  lockType_ = type;
  log_->print(kLockLevel, "Lock obtained, PID (%lx), TID (%lx), new lockcount = %d",
              static_cast<unsigned long>(ownerProcess_), static_cast<unsigned long>(ownerThread_),
              static_cast<int>(lockCount_));
  return true;
}

bool CScannerLock2::Unlock() {
  CAutoCriticalSection guard(guard_);
  return UnlockLocked();
}

bool CScannerLock2::UnlockLocked() {
  CHRESULT2 hr(log_.get(), "CScannerLock2::Unlock", 0, nullptr, kLockLevel);
  if (lockCount_ == 0) {
    log_->printUnindented(kLockWarning, "Unlock called and LockCount is already 0");
    return false;
  }
  if (lockType_ == kLockTypeProcess) {
    const DWORD process = GetCurrentProcessId();
    if (process != ownerProcess_) {
      log_->print(kLockError, "Error - current PID (%lx) doesn't match lock PID (%lx)",
                  static_cast<unsigned long>(process), static_cast<unsigned long>(ownerProcess_));
      return false;
    }
  } else {
    const DWORD thread = GetCurrentThreadId();
    if (thread != ownerThread_) {
      log_->print(kLockError, "Error - current TID (%lx) doesn't match lock TID (%lx)",
                  static_cast<unsigned long>(thread), static_cast<unsigned long>(ownerThread_));
      return false;
    }
  }
  if (--lockCount_ > 0) {
    log_->print(kLockLevel, "Unlock succeeded, lockcount is %d", static_cast<int>(lockCount_));
    return true;
  }
  log_->printUnindented(kLockLevel, "Unlock - Releasing Lock Semaphores");
  bool released = false;
  if (semaphore_) {
    try {
      semaphore_->Release();
      released = true;
    } catch (const std::system_error&) {
      released = false;
    }
  }
  if (!released) hr = HRESULT_FROM_WIN32(kErrorTooManyPosts);
  ownerProcess_ = 0;
  ownerThread_ = 0;
  lockCount_ = 0;
  lockType_ = kLockTypeNone;
  return released;
}

bool CScannerLock2::IsLocked() {
  CAutoCriticalSection guard(guard_);
  return lockCount_ != 0;
}

bool CScannerLock2::IsLockedByCaller() {
  CAutoCriticalSection guard(guard_);
  if (lockCount_ == 0) return false;
  return lockType_ != kLockTypeThread || ownerThread_ == GetCurrentThreadId();
}

uint32_t CScannerLock2::LockCount() {
  CAutoCriticalSection guard(guard_);
  return lockCount_;
}

int32_t CScannerLock2::LockType() {
  CAutoCriticalSection guard(guard_);
  return lockType_;
}
