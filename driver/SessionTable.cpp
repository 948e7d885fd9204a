#include "driver/SessionTable.h"

#include <vector>

#include "platform/CAutoCriticalSection.h"
#include "platform/Event.h"

namespace {

// Destroys an attached device and then signals that it is gone (for ReleaseDevice).
struct DeviceDeleter {
  std::shared_ptr<Event> destroyed;
  void operator()(IScanDevice* device) const {
    delete device;
    try {
      destroyed->Set();
    } catch (...) {
    }
  }
};

}  // namespace

ScanSessionPtr SessionTable::FindByHandle(uint32_t handle) {
  CAutoCriticalSection guard(tableLock_);
  for (const auto& entry : records_) {
    if (entry.second->handle_ == handle) return entry.second;
  }
  return nullptr;
}

uint32_t SessionTable::NextHandle() {
  for (;;) {
    uint32_t candidate = nextHandle_++;
    if (candidate == 0) continue;
    bool inUse = false;
    for (const auto& entry : records_) {
      if (entry.second->handle_ == candidate) {
        inUse = true;
        break;
      }
    }
    if (!inUse) return candidate;
  }
}

ScanSessionPtr SessionTable::AcquireByName(const std::string& deviceName, CLog2* log, int32_t* referenceCount) {
  CAutoCriticalSection guard(tableLock_);
  auto found = records_.find(deviceName);
  if (found != records_.end()) {
    ScanSessionPtr session = found->second;
    ++session->referenceCount_;
    if (referenceCount != nullptr) *referenceCount = session->referenceCount_;
    return session;
  }
  auto session = std::make_shared<ScanSession>(log, deviceName);
  session->handle_ = NextHandle();
  records_.emplace(deviceName, session);
  if (referenceCount != nullptr) *referenceCount = session->referenceCount_;
  return session;
}

bool SessionTable::Release(ScanSession& session, int32_t* referenceCount) {
  CAutoCriticalSection guard(tableLock_);
  if (session.signature_ != kSessionSignature) return false;
  int32_t remaining = --session.referenceCount_;
  if (referenceCount != nullptr) *referenceCount = remaining;
  if (remaining == 0) {
    // Give back every lock level; the call that finds the count at 0 ends the loop.
    if (session.lock_.IsLocked()) {
      while (session.lock_.Unlock()) {
      }
    }
    auto entry = records_.find(session.deviceName_);
    if (entry != records_.end() && entry->second.get() == &session) records_.erase(entry);
  }
  return true;
}

IScanDevice* SessionTable::DeviceOf(ScanSession& session) {
  CAutoCriticalSection guard(tableLock_);
  return session.device_.get();
}

std::shared_ptr<IScanDevice> SessionTable::UseDevice(ScanSession& session) {
  CAutoCriticalSection guard(tableLock_);
  return session.device_;
}

std::unique_ptr<IScanDevice> SessionTable::AttachDevice(ScanSession& session, std::unique_ptr<IScanDevice> device) {
  auto destroyed = std::make_shared<Event>(true, false);
  CAutoCriticalSection guard(tableLock_);
  if (session.device_) return device;
  session.device_ = std::shared_ptr<IScanDevice>(device.release(), DeviceDeleter{std::move(destroyed)});
  return nullptr;
}

std::shared_ptr<IScanDevice> SessionTable::DetachDevice(ScanSession& session) {
  CAutoCriticalSection guard(tableLock_);
  return std::move(session.device_);
}

bool SessionTable::ReleaseDevice(std::shared_ptr<IScanDevice> device, uint32_t limitMs) {
  if (!device) return true;
  const DeviceDeleter* deleter = std::get_deleter<DeviceDeleter>(device);
  std::shared_ptr<Event> destroyed = deleter ? deleter->destroyed : nullptr;
  device.reset();
  if (!destroyed) return true;
  try {
    return destroyed->Wait(limitMs);
  } catch (...) {
    return false;
  }
}

size_t SessionTable::Size() {
  CAutoCriticalSection guard(tableLock_);
  return records_.size();
}

void SessionTable::Clear() {
  std::map<std::string, ScanSessionPtr> doomed;
  {
    CAutoCriticalSection guard(tableLock_);
    doomed.swap(records_);
  }
  // Destroyed outside the lock: a device's destructor stops its threads.
}
