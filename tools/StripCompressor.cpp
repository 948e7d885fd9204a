#include "tools/StripCompressor.h"

#include <algorithm>

StripCompressor::StripCompressor(unsigned threads, unsigned inFlight, Encoder encoder)
    : inFlight_(std::max(1u, inFlight)), encoder_(std::move(encoder)) {
  for (unsigned i = 0; i < std::max(1u, threads); ++i) workers_.emplace_back([this] { Work(); });
}

StripCompressor::~StripCompressor() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : workers_) t.join();
}

unsigned StripCompressor::Workers() {
  // Two are enough to keep both cores of a small machine busy beside the scan's own threads;
  // more strips in flight would only cost memory.
  return std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
}

std::unique_ptr<StripCompressor::Strip> StripCompressor::Blank() {
  if (spare_.empty()) return std::make_unique<Strip>();
  std::unique_ptr<Strip> strip = std::move(spare_.back());
  spare_.pop_back();
  strip->input.clear();
  strip->output.clear();
  strip->last = strip->ok = false;
  strip->check = 0;
  return strip;
}

void StripCompressor::Recycle(std::unique_ptr<Strip> strip) {
  if (strip && spare_.size() < inFlight_) spare_.push_back(std::move(strip));
}

void StripCompressor::Submit(std::unique_ptr<Strip> strip) {
  {
    MutexLock lock(mutex_);
    strip->done = false;
    todo_.push_back(strip.get());
    out_.push_back(std::move(strip));
  }
  changed_.notify_all();
}

std::unique_ptr<StripCompressor::Strip> StripCompressor::Take(bool wait) {
  MutexUniqueLock lock(mutex_);
  if (out_.empty()) return nullptr;
  if (wait || out_.size() >= inFlight_) {
    changed_.wait(lock.Native(), [this]() REQUIRES(mutex_) { return out_.front()->done; });
  } else if (!out_.front()->done) {
    return nullptr;
  }
  std::unique_ptr<Strip> strip = std::move(out_.front());
  out_.pop_front();
  return strip;
}

void StripCompressor::Work() {
  MutexUniqueLock lock(mutex_);
  for (;;) {
    changed_.wait(lock.Native(), [this]() REQUIRES(mutex_) { return stopping_ || !todo_.empty(); });
    if (todo_.empty()) return;  // stopping, nothing left
    Strip* strip = todo_.front();
    todo_.pop_front();
    lock.Unlock();
    encoder_(*strip);
    lock.Lock();
    strip->done = true;
    changed_.notify_all();
  }
}
