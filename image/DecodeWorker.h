// Runs the decoding of one compressed page on a thread of its own, so that the thread that
// receives the page goes on reading the connection (and storing what arrives) while rows are
// decoded: with a second processor a page then takes about as long as its decoding alone.
// The receiving thread stores each chunk where the decoder finds it and calls Poke; the
// worker then calls the batch handler (decode what the data allows), again after every poke
// that came meanwhile, and once the page is complete (Finish) calls the end handler instead
// (decode the rest). Once Finish or Stop may return, it calls the tidy handler, if any, for
// what need not hold up the end of the page (closing the page's file). The first handler
// error ends the page: the worker handles nothing more, and the next Poke, or else Finish,
// reports it.
//
// The thread is started with the first page and then waits for the next one, so that a page's
// decoding begins as soon as its first rows are there: a new thread had to wait for a
// processor while the page arrived, which cost milliseconds at the start of every page.
//
// Threads: Start, Running, Poke, Finish and Stop from one thread at a time (the receiving
// thread, or the owner's destructor); the handlers run on the worker thread, one at a time.
// Owns the worker thread, which ends with the object.
// Locks: lock_ guards every member below it; handlers run without it. Whatever the handlers
// change is handed over through lock_: once Finish or Stop has returned, the calling thread
// sees all of it.
#ifndef CAVIX_IMAGE_DECODEWORKER_H
#define CAVIX_IMAGE_DECODEWORKER_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/Mutex.h"
#include "platform/ScanError.h"

class DecodeWorker {
 public:
  // Results are success or the error that ends the page.
  using BatchHandler = std::function<ScanError()>;
  using EndHandler = std::function<ScanError()>;
  using TidyHandler = std::function<void()>;

  DecodeWorker(BatchHandler batch, EndHandler end, TidyHandler tidy = nullptr);
  ~DecodeWorker();
  DecodeWorker(const DecodeWorker&) = delete;
  DecodeWorker& operator=(const DecodeWorker&) = delete;

  // Starts the worker for a new page; false when no thread could be started.
  bool Start();
  // Whether a page is being decoded (started, not yet finished or stopped).
  bool Running() const { return running_; }
  // More of the page is there. Returns the error a batch ended in, else success. The page's first
  // poke lets the worker run before the calling thread goes on (sched_yield).
  ScanError Poke();
  // The page is complete: waits until, without an earlier error, the end handler has run;
  // the worker then waits for the next page. Returns an error that no Poke has returned,
  // else success.
  ScanError Finish();
  // Abandons the page: no further batch, no end handler; waits until the worker has let go of
  // it (a batch in hand is completed first).
  void Stop();

 private:
  void Run();
  // Waits until the worker is done with the page. Caller's thread.
  void WaitForPageDone() EXCLUDES(lock_);

  BatchHandler batch_;
  EndHandler end_;
  TidyHandler tidy_;
  std::thread thread_;
  bool running_ = false;    // the calling thread's own view: between Start and Finish or Stop
  Mutex lock_;
  std::condition_variable wake_;  // the worker waits on it for pokes, the page's end or exit
  std::condition_variable done_;  // Finish and Stop wait on it for pageDone_
  uint64_t pokes_ GUARDED_BY(lock_) = 0;
  uint64_t handled_ GUARDED_BY(lock_) = 0;  // pokes covered by a batch so far
  bool pageOpen_ GUARDED_BY(lock_) = false;  // a page is given to the worker
  bool pageDone_ GUARDED_BY(lock_) = false;  // the worker is done with the page
  bool exiting_ GUARDED_BY(lock_) = false;  // the object goes: the thread ends
  ScanError error_ GUARDED_BY(lock_);
  bool reported_ GUARDED_BY(lock_) = false;  // error_ returned by a Poke
  bool finishing_ GUARDED_BY(lock_) = false;
  bool stopping_ GUARDED_BY(lock_) = false;
};

#endif
