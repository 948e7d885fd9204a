// Runs the decoding of one compressed page on a thread of its own, so that the thread that
// receives the page goes on reading the connection (and storing what arrives) while rows are
// decoded: with a second processor a page then takes about as long as its decoding alone.
// The receiving thread stores each chunk where the decoder finds it and calls Poke; the
// worker then calls the batch handler (decode what the data allows), again after every poke
// that came meanwhile, and once the page is complete (Finish) calls the end handler instead
// (decode the rest). The first handler error ends the page: the worker handles nothing more,
// and the next Poke, or else Finish, reports it.
//
// Threads: Start, Poke, Finish and Stop from one thread at a time (the receiving thread, or
// the owner's destructor); the handlers run on the worker thread, one at a time.
// Owns the worker thread.
// Locks: lock_ guards pokes_, error_, reported_, finishing_ and stopping_; handlers run
// without it. Whatever the handlers change is handed over by the join in Finish and Stop:
// once either has returned, the calling thread sees all of it.
#ifndef CAVIX_IMAGE_DECODEWORKER_H
#define CAVIX_IMAGE_DECODEWORKER_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class DecodeWorker {
 public:
  // Results are SOAP codes: 0 (SOAP_OK) or the error that ends the page.
  using BatchHandler = std::function<int()>;
  using EndHandler = std::function<int()>;

  DecodeWorker(BatchHandler batch, EndHandler end);
  ~DecodeWorker();
  DecodeWorker(const DecodeWorker&) = delete;
  DecodeWorker& operator=(const DecodeWorker&) = delete;

  // Starts the worker for a new page; false when no thread could be started.
  bool Start();
  // Whether a page's worker is running (started, not yet finished or stopped).
  bool Running() const { return thread_.joinable(); }
  // More of the page is there. Returns the error a batch ended in, else 0.
  int Poke();
  // The page is complete: waits until, without an earlier error, the end handler has run;
  // the worker is then gone. Returns an error that no Poke has returned, else 0.
  int Finish();
  // Abandons the page: no further batch, no end handler; waits until the worker is gone (a
  // batch in hand is completed first).
  void Stop();

 private:
  void Run();
  void Join();

  BatchHandler batch_;
  EndHandler end_;
  std::thread thread_;
  std::mutex lock_;
  std::condition_variable wake_;
  uint64_t pokes_ = 0;      // guarded by lock_
  int error_ = 0;           // guarded by lock_
  bool reported_ = false;   // error_ returned by a Poke; guarded by lock_
  bool finishing_ = false;  // guarded by lock_
  bool stopping_ = false;   // guarded by lock_
};

#endif
