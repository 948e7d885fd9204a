#include "image/DecodeWorker.h"

#include <sched.h>

#include <exception>
#include <utility>

#include "log/ResultHelpers.h"

DecodeWorker::DecodeWorker(BatchHandler batch, EndHandler end, TidyHandler tidy)
    : batch_(std::move(batch)), end_(std::move(end)), tidy_(std::move(tidy)) {}

DecodeWorker::~DecodeWorker() {
  Stop();
  if (!thread_.joinable()) return;
  {
    MutexLock guard(lock_);
    exiting_ = true;
  }
  wake_.notify_one();
  try {
    thread_.join();
  } catch (const std::exception&) {
    // Only a thread that is not joinable refuses; there is nothing left to wait for.
  }
}

bool DecodeWorker::Start() {
  if (Running()) Stop();
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread(&DecodeWorker::Run, this);
    } catch (const std::exception&) {
      return false;
    }
  }
  {
    MutexLock guard(lock_);
    pokes_ = 0;
    handled_ = 0;
    error_ = ScanError();
    reported_ = false;
    finishing_ = false;
    stopping_ = false;
    pageDone_ = false;
    pageOpen_ = true;
  }
  running_ = true;
  wake_.notify_one();
  return true;
}

ScanError DecodeWorker::Poke() {
  bool first = false;
  {
    MutexLock guard(lock_);
    if (!error_.Ok()) {
      reported_ = true;
      return error_;
    }
    first = pokes_++ == 0;
  }
  wake_.notify_one();
  // The page's first rows can be decoded now. While the page arrives every processor tends to
  // be busy (this thread receiving, the sender sending); a worker woken onto this thread's
  // processor would wait behind it for milliseconds. Reception is far ahead of decoding, so
  // the worker goes first.
  if (first) sched_yield();
  return ScanError();
}

ScanError DecodeWorker::Finish() {
  if (!Running()) return ScanError();
  {
    MutexLock guard(lock_);
    finishing_ = true;
  }
  wake_.notify_one();
  WaitForPageDone();
  MutexLock guard(lock_);
  return reported_ ? ScanError() : error_;
}

void DecodeWorker::Stop() {
  if (!Running()) return;
  {
    MutexLock guard(lock_);
    stopping_ = true;
  }
  wake_.notify_one();
  WaitForPageDone();
}

void DecodeWorker::WaitForPageDone() {
  MutexUniqueLock lock(lock_);
  done_.wait(lock.Native(), [&]() REQUIRES(lock_) { return pageDone_; });
  running_ = false;
}

void DecodeWorker::Run() {
  MutexUniqueLock lock(lock_);
  for (;;) {
    wake_.wait(lock.Native(), [&]() REQUIRES(lock_) {
      return exiting_ || (pageOpen_ && (stopping_ || finishing_ || pokes_ != handled_));
    });
    if (exiting_) return;
    bool pageEnds = stopping_;
    if (!pageEnds) {
      // One batch covers every poke so far; a finishing page gets the end handler instead,
      // which decodes the rest.
      const bool last = finishing_;
      handled_ = pokes_;
      lock.Unlock();
      ScanError rc;
      try {
        rc = last ? end_() : batch_();
      } catch (...) {
        rc = ErrorFromCurrentException();  // nothing may escape the thread
      }
      lock.Lock();
      if (!rc.Ok()) error_ = rc;
      pageEnds = !rc.Ok() || last;
    }
    if (pageEnds) {
      // The page is over for the worker; whoever waits in Finish or Stop sees everything the
      // handlers did through lock_.
      pageOpen_ = false;
      pageDone_ = true;
      done_.notify_all();
      if (tidy_) {
        lock.Unlock();
        try {
          tidy_();
        } catch (...) {
          // Nothing may escape the thread; what was not tidied stays for the owner.
        }
        lock.Lock();
      }
    }
  }
}
