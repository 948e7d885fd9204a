// The one-page byte pipe between the thread that receives image data (the writer) and the thread
// that hands it to the host (the reader). Interface only; BufferedStream implements it.
#ifndef CAVIX_IMAGE_IBYTESTREAM_H
#define CAVIX_IMAGE_IBYTESTREAM_H

#include <cstdint>

// Outcome of a stream read or write.
enum StreamStatus : uint32_t {
  StreamOk = 0,         // the request was carried out completely
  StreamError = 1,      // invalid call, stream not ready, wait failure or time-out, copy fault
  StreamEndOfData = 2,  // the writer has closed; a read may still have delivered some bytes
  StreamCanceled = 3,   // the stream was cancelled
};

// Writer side: OpenWriteEnd, Write (or WriteSpace and CommitWrite) / MakeWrittenBytesAvailable,
// CloseWriteEnd.
// Reader side: OpenReadEnd, Read, CloseReadEnd. Cancel, Canceled and Ended from any thread.
// Bool results are success flags, except Canceled and Ended which answer a question.
class IByteStream {
 public:
  virtual ~IByteStream() {}
  virtual bool Init() = 0;
  virtual bool OpenWriteEnd(uint32_t capacity) = 0;
  virtual bool OpenReadEnd() = 0;
  virtual StreamStatus Read(uint8_t* buffer, uint32_t size, uint32_t& bytesRead) = 0;
  virtual StreamStatus Write(const uint8_t* buffer, uint32_t size, uint32_t& bytesWritten) = 0;
  // For a writer that produces bytes in place instead of copying them in: the room for the
  // next `size` bytes of the page, or nullptr when Write would refuse them (end not open,
  // cancelled, past the capacity). What the writer puts there counts only after CommitWrite,
  // which then behaves as Write of those bytes would (the same checks, results and counts);
  // at most the size asked for may be committed.
  virtual uint8_t* WriteSpace(uint32_t size) = 0;
  virtual StreamStatus CommitWrite(uint32_t size, uint32_t& bytesWritten) = 0;
  virtual bool CloseWriteEnd() = 0;
  virtual bool CloseReadEnd() = 0;
  virtual bool Cancel() = 0;
  virtual bool Canceled() = 0;
  virtual bool Ended() = 0;
  virtual bool MakeWrittenBytesAvailable() = 0;
  // Writer side, after a publication that every layer has made: may wait a little for a reader
  // that has fallen far behind (see BufferedStream); by default it does nothing. readable: the
  // bytes of the page, from its start, that the layers above let the reader have so far (they
  // may hold back rows they cannot judge yet); the writer is never held up by those.
  virtual void PaceWriter(uint32_t readable = UINT32_MAX) { (void)readable; }
  // Writer side, between pages: the length of the next pages' rows, which sizes the memory a
  // page streams through; by default it is not used.
  virtual void SetRowLength(uint32_t bytes) { (void)bytes; }
};

#endif
