#include "image/DecodeWorker.h"

#include <stdsoap2.h>

#include <exception>
#include <utility>

DecodeWorker::DecodeWorker(BatchHandler batch, EndHandler end) : batch_(std::move(batch)), end_(std::move(end)) {}

DecodeWorker::~DecodeWorker() { Stop(); }

bool DecodeWorker::Start() {
  if (Running()) Stop();
  {
    std::lock_guard<std::mutex> guard(lock_);
    pokes_ = 0;
    error_ = 0;
    reported_ = false;
    finishing_ = false;
    stopping_ = false;
  }
  try {
    thread_ = std::thread(&DecodeWorker::Run, this);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

int DecodeWorker::Poke() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (error_ != 0) {
      reported_ = true;
      return error_;
    }
    ++pokes_;
  }
  wake_.notify_one();
  return 0;
}

int DecodeWorker::Finish() {
  if (!Running()) return 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    finishing_ = true;
  }
  wake_.notify_one();
  Join();
  std::lock_guard<std::mutex> guard(lock_);
  return reported_ ? 0 : error_;
}

void DecodeWorker::Stop() {
  if (!Running()) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  wake_.notify_one();
  Join();
}

void DecodeWorker::Join() {
  try {
    thread_.join();
  } catch (const std::exception&) {
    // Only a thread that is not joinable refuses; there is nothing left to wait for.
  }
}

void DecodeWorker::Run() {
  std::unique_lock<std::mutex> lock(lock_);
  uint64_t handled = 0;
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || finishing_ || pokes_ != handled; });
    if (stopping_) return;
    // One batch covers every poke so far; a finishing page gets the end handler instead,
    // which decodes the rest.
    const bool last = finishing_;
    handled = pokes_;
    lock.unlock();
    int rc = 0;
    try {
      rc = last ? end_() : batch_();
    } catch (...) {
      rc = SOAP_FATAL_ERROR;  // nothing may escape the thread
    }
    lock.lock();
    if (rc != 0) error_ = rc;
    if (rc != 0 || last) return;
  }
}
