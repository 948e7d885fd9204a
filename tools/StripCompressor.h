// Compresses the strips of a page on worker threads while the writer fills the next ones, and
// gives the results back in the order the strips came: a file writer's way to use every core
// for a format whose compressed data can be cut into independent pieces (PNG's deflate stream
// in flushed pieces, TIFF's strips).
// Threads: one caller (the writer's thread) calls every method; the workers run the encoder, one
// strip each at a time. Owns the workers and the strips in flight. mutex_ guards the queues and
// each queued strip's done flag; a strip's buffers belong to the one worker encoding it until it
// is marked done, then to the caller.
#ifndef CAVIX_TOOLS_STRIPCOMPRESSOR_H
#define CAVIX_TOOLS_STRIPCOMPRESSOR_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Mutex.h"

class StripCompressor {
 public:
  // An allocator whose new elements are left as they are: a strip's buffers grow to a bound
  // and are then written, so zeroing them first would only cost a pass over the memory.
  template <typename T>
  struct UninitialisedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
      using other = UninitialisedAllocator<U>;
    };
    using std::allocator<T>::allocator;
    template <typename U>
    void construct(U* p) noexcept {
      ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  };
  using Bytes = std::vector<uint8_t, UninitialisedAllocator<uint8_t>>;

  struct Strip {
    Bytes input;   // what the caller filled
    Bytes output;  // what the encoder made of it
    bool last = false;            // the page's last strip
    bool ok = false;              // set by the encoder
    uint32_t check = 0;           // the encoder's checksum of the input, if it keeps one
    bool done = false;            // GUARDED_BY(mutex_) while queued
  };
  // Encodes one strip; called on a worker thread, for several strips at once.
  using Encoder = std::function<void(Strip&)>;

  // `threads` workers; at most `inFlight` strips given and not yet taken back.
  StripCompressor(unsigned threads, unsigned inFlight, Encoder encoder);
  ~StripCompressor();
  StripCompressor(const StripCompressor&) = delete;
  StripCompressor& operator=(const StripCompressor&) = delete;

  // A strip to fill (a used one when there is one, so its buffers are kept).
  std::unique_ptr<Strip> Blank();
  // Gives a filled strip to the workers.
  void Submit(std::unique_ptr<Strip> strip);
  // The oldest strip given, once encoded; waits for it when `wait` or when `inFlight` strips
  // are out. Null when none is out, or (without waiting) when the oldest is not done yet.
  std::unique_ptr<Strip> Take(bool wait);
  // Hands a taken strip back for reuse.
  void Recycle(std::unique_ptr<Strip> strip);
  // The number of workers a writer should ask for on this machine.
  static unsigned Workers();

 private:
  void Work();

  const unsigned inFlight_;
  const Encoder encoder_;
  Mutex mutex_;
  std::condition_variable changed_;
  std::deque<Strip*> todo_ GUARDED_BY(mutex_);  // given, not yet picked up by a worker
  std::deque<std::unique_ptr<Strip>> out_ GUARDED_BY(mutex_);  // given, not yet taken, in order
  std::vector<std::unique_ptr<Strip>> spare_;  // the caller's alone
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::vector<std::thread> workers_;
};

#endif
