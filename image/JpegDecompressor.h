// Decodes a JPEG page into rows while the page is still arriving. Each compressed chunk is
// appended to a temporary file from which the library's input is loaded (small chunks are
// written out together, and the last of them are read from memory until they are; the file
// is read and written at tracked offsets, without seeks); a row is tried only
// when compressed data for at least two decoded rows lies ahead of the library's read position
// (in its input buffer or the file). That rule is only a hint: a row of blocks (up to 16 lines
// of a subsampled colour page, several kilobytes of dense data) can need far more. The
// library's source therefore suspends when its input runs out before the page is complete: it
// keeps the bytes not yet consumed, the library backs up to where it can resume, GetRow answers
// "no row now", and the row comes on a later call once more data has arrived.
// Only once the whole page is in (the final rows) does the end of the file end the image: an
// end-of-image marker is supplied when the data is really exhausted, which completes a page
// that merely lacks its closing marker. A page whose scan data stops before its last row is
// truncated: GetRow fails (Failed() turns true) instead of making up grey rows.
// Rows come out as one byte per pixel (grey) or three (colour).
// Decoding ahead (UseDecodeAhead, for large pages): a colour page in one of the usual layouts
// is then split between two threads. The decode-ahead thread, owned here, decodes the page's
// sample rows (entropy decoding and the inverse transform, about three quarters of the work)
// into a ring of block rows while data is there and the ring has room; GetRows and GetRow,
// on the calling thread, upsample and convert the rows decoded so far (YccRowConverter, the
// same bytes as the library's own output). As without the split, a GetRows waits for the rows
// the data submitted so far completes, once it is two rows' worth more than the ahead thread
// last ran out at, and not for data still to come.
// The ahead thread runs the library's inverse transform as it decodes: handing blocks'
// transforms to the converting thread cost about a tenth more CPU per page (every block's
// coefficients copied across to the other processor) for no gain on two busy processors.
//
// Threads: one thread at a time (through DimeDataSource), except that SubmitNextBuffer may
// come from one thread while another decodes (EnoughDataAvailableForDecompression, GetRow,
// GetRows): the receiving thread appends while the page's decoding thread reads; and
// CloseRetiredFile may come from any thread at any time (retiredFile_ is handed over by an
// atomic exchange). While a page is split, the library object, the input and the file's read
// position belong to the decode-ahead thread; the calling thread takes them back (StopAhead)
// before it ends or abandons the page. The members that change hands that way and are looked
// at from both sides (file_, readPosition_, final_) are atomics; the rest of the library's
// input is ordered by that hand-over under aheadLock_.
// Locks: aheadLock_ guards the decode-ahead thread's hand-over (the members marked so); the
// ring's block rows are read without it, as the ahead thread writes only block rows no
// unconverted row needs. appendLock_ guards fileLength_, diskLength_, writing_ and unwritten_, and is never
// held during file I/O: a batch is written to the file from writing_, which readers copy from
// meanwhile, and bytes below diskLength_ never change, so they are read from the file without
// the lock (the decoding thread would otherwise wait for the receiving thread's writes).
// Owns the temporary file and the library's decompression object of the current page. The
// file is private to the process (mode 0600) and its name is removed as soon as it is open, so
// no page leaves a file behind, whatever happens to it or to the process.
// Library errors come back through JpegErrorHandler, which jumps back to the call site that
// entered the library; no C++ object lives in the frames it jumps over.
#ifndef CAVIX_IMAGE_JPEGDECOMPRESSOR_H
#define CAVIX_IMAGE_JPEGDECOMPRESSOR_H

#include <atomic>
#include <condition_variable>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <jpeglib.h>

#include "image/YccRowConverter.h"
#include "platform/Mutex.h"
#include "platform/ScanError.h"

class JpegDecompressor {
 public:
  JpegDecompressor();
  ~JpegDecompressor();
  JpegDecompressor(const JpegDecompressor&) = delete;
  JpegDecompressor& operator=(const JpegDecompressor&) = delete;

  // Whether the next pages are decoded ahead on a second thread where their layout allows
  // (taken up by StartDecompression).
  void UseDecodeAhead(bool use) { decodeAheadWanted_ = use; }
  // Whether the current page is decoded ahead.
  bool DecodingAhead() const { return split_.load(); }

  // The page the next JPEGs must be, checked from the header before any row is decoded or any
  // buffer for the image is allocated: rows of rowLength bytes (width x 1 for grey, width x 3
  // for colour), width pixels of `components` samples, at least minRows and at most maxRows
  // rows (pad rows below the page come on top of it). 0 leaves a value unchecked.
  struct PageShape {
    uint32_t rowLength = 0;
    uint32_t width = 0;
    uint32_t components = 0;
    uint32_t minRows = 0;
    uint32_t maxRows = 0;
  };
  void ExpectPage(const PageShape& shape) { expected_ = shape; }
  // Whatever is expected, a decoded page never holds more than this many bytes (the largest
  // page a stream can hold), so a header with absurd dimensions is refused before allocating.
  static constexpr uint64_t kMaxPageBytes = 0xFFFFFFFFull;

  // Starts a page with its first chunk, which must hold the whole JPEG header.
  bool SubmitFirstBuffer(const uint8_t* bytes, uint32_t length);
  bool StartDecompression();
  // Appends a further chunk of the page.
  bool SubmitNextBuffer(const uint8_t* bytes, uint32_t length);
  // A decoded row (a new array the caller owns) when one is available now; with `final` every
  // remaining row is available.
  bool GetRow(std::unique_ptr<uint8_t[]>& row, uint32_t& rowLength, bool final);
  // Bytes of one row that GetRows can decode in place: width x components for grey and
  // three-sample pages once decompression has started, else 0 (rows then come from GetRow).
  uint32_t DirectRowLength() const;
  // Rows of the page not yet decoded.
  uint32_t RowsLeft() const;
  // Decodes up to maxRows rows straight into `into` (DirectRowLength() bytes each, one after
  // the other), as many as the data received so far allows, under the same readiness rule and
  // failure handling as GetRow; `rows` says how many. False when none came (Failed() tells a
  // failure from a wait for more data).
  bool GetRows(uint8_t* into, uint32_t maxRows, uint32_t& rows, bool final);
  // Ends the page (rows not read are skipped). Its file is set aside for CloseRetiredFile:
  // closing it gives its pages back to the system, which takes about as long as decoding a few
  // hundred rows, and need not hold up the end of the page.
  bool FinishDecompress();
  // Closes the file of the last finished page, if it is still open. Any thread; the
  // destructor closes it too.
  void CloseRetiredFile();
  // The readiness rule GetRow applies.
  bool EnoughDataAvailableForDecompression(bool final);
  // Abandons the page, if any: releases the library object and the file. Safe at any time.
  void Abort();

  // Whether a page is in progress (its file open).
  bool Busy() const { return file_ != nullptr; }
  // Whether the current page has failed (a library error, or compressed data that ends before
  // the last row): no more rows come from it, and it can only be abandoned.
  bool Failed() const { return failed_; }

 private:
  struct ErrorManager {
    jpeg_error_mgr pub;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];  // the library's words for its last error
  };
  // The library's data source over file_: suspends while more of the page is to come.
  struct FileSource {
    jpeg_source_mgr pub;
    JpegDecompressor* owner;
  };
  static void InitSource(j_decompress_ptr info);
  static boolean FillInputBuffer(j_decompress_ptr info);
  static void SkipInputData(j_decompress_ptr info, long count);
  static void TermSource(j_decompress_ptr info);
  // Tops the library's input up from the file to kInputWindow bytes once less than half of
  // that is left (`more`: by up to kInputWindow bytes whatever is left), so that the page is
  // read from the file as it is decoded rather than held in memory. The input not consumed yet
  // stays where it is while the new bytes fit behind it; it moves to the front of input_ only
  // when they do not, so that no byte is moved again and again while the page arrives faster
  // than it is decoded. Outside library calls only.
  bool LoadInput(bool more = false);
  // After the library suspended: loads what the file holds beyond its input; false when the
  // file holds nothing more (the next row needs more of the page).
  bool LoadMoreAfterSuspension();
  static constexpr size_t kInputWindow = 256 * 1024;
  // Reads from the file at readPosition_ and moves it on; returns the bytes read.
  size_t ReadFile(JOCTET* into, size_t count);
  // Appends to the file (through unwritten_, written out once kWriteBatch bytes are there, or
  // at once when `now`) and moves fileLength_ on; the failure of a write to the file.
  ScanError WriteFile(const uint8_t* bytes, size_t count, bool now);
  static constexpr size_t kWriteBatch = 32 * 1024;

  // Whether the header just read describes the expected page; logs why not.
  bool HeaderFitsPage();

  static void JpegErrorHandler(j_common_ptr info);
  // The library's message routines, in place of its defaults that print on standard error:
  // warnings and trace lines go to the log with the library's text; EmitMessage also notes
  // when the decoder needed scan data past the end of the page.
  static void EmitMessage(j_common_ptr info, int level);
  static void OutputMessage(j_common_ptr info);
  static constexpr long kLoggedWarnings = 16;  // a page's warnings that are logged
  // Asks the library for up to `count` rows into `rows`: how many it decoded (0 when it
  // suspended for more of the page), or -1 when the page failed (Failed() turns true).
  int ReadScanlines(JSAMPARRAY rows, JDIMENSION count);
  // Calls the library step. The result carries the library's own message when it raised an
  // error, and `declined` when the step answered false (the library did not do it, without
  // an error).
  ScanError CallLibrary(bool (*step)(JpegDecompressor*), const char* declined = "");
  // Logs `text` as an error with what the library said after it; returns false.
  static bool LogLibraryError(const char* text, const ScanError& error);
  // Releases the library object and the page's file: closed, or set aside for
  // CloseRetiredFile when `retire`.
  void ReleasePage(bool retire = false);

  // fileLength_ under appendLock_.
  int32_t FileLength();

  // ---- Decoding ahead (JpegDecodeAhead.cpp) ----
  // Before jpeg_start_decompress: whether the page's layout can be split, and if so asks the
  // library for sample rows and sets the page up (ring, converter, thread).
  bool PrepareDecodeAhead();
  void AheadThreadMain();
  // Whether the ahead thread has a block row to decode now. Under aheadLock_.
  bool AheadCanStep() const REQUIRES(aheadLock_);
  // Decodes the next block row into its ring slot: 1, 0 when it needs more of the page, -1
  // when the page failed. Ahead thread, without aheadLock_.
  int DecodeBlockRow(uint32_t slot);
  // The block row up to which output row `row` needs sample rows, and the oldest block row it
  // reads.
  uint32_t NewestBlockRowFor(uint32_t row) const;
  uint32_t OldestBlockRowFor(uint32_t row) const;
  // GetRows for a split page.
  bool GetRowsAhead(uint8_t* into, uint32_t maxRows, uint32_t& rows, bool final);
  void ConvertRow(uint32_t row, uint8_t* into);
  // Takes the page back from the ahead thread: once it returns, the thread is out of the
  // library and starts nothing more of this page. Calling thread.
  void StopAhead();
  // Ends the ahead thread (destructor).
  void EndAheadThread();

  Mutex appendLock_;
  int32_t fileLength_ GUARDED_BY(appendLock_) = 0;
  long diskLength_ GUARDED_BY(appendLock_) = 0;  // bytes written to the file
  // Written and read through its descriptor at explicit offsets; set and cleared by the
  // calling thread, used by the receiving thread too (see the hand-over below).
  std::atomic<FILE*> file_{nullptr};
  std::atomic<FILE*> retiredFile_{nullptr};  // a finished page's file, not yet closed
  std::atomic<long> readPosition_{0};  // where the library's next input comes from in the file
  // The batch being written to the file, at diskLength_, read from here meanwhile; only the
  // appending thread changes it (and reads it without the lock while it writes it out).
  std::vector<uint8_t> writing_ GUARDED_BY(appendLock_);
  // The bytes after writing_ not yet written (less than kWriteBatch); read from here meanwhile.
  std::vector<uint8_t> unwritten_ GUARDED_BY(appendLock_);
  char tempPath_[260] = {0};
  JSAMPARRAY rowBuffer_ = nullptr;
  std::unique_ptr<uint8_t[]> spareRow_;  // the next row's array, decoded into directly
  JSAMPROW outputRow_ = nullptr;         // where the library's next scanline goes
  std::vector<JSAMPROW> outputRows_;     // GetRows: where its rows go
  JSAMPARRAY scanRows_ = nullptr;        // ReadScanlines: where the library's rows go
  JDIMENSION rowsWanted_ = 0;            // ReadScanlines: how many of them
  jpeg_decompress_struct decompressionState_;
  ErrorManager errorManager_;
  bool created_ = false;  // decompressionState_ holds a library object
  JDIMENSION rowsRead_ = 0;
  FileSource source_;
  std::vector<JOCTET> input_;  // the library's input buffer
  long pendingSkip_ = 0;       // bytes the library skipped beyond its buffer
  std::atomic<bool> final_{false};  // the whole page is in the file: its end ends the image
  bool endSupplied_ = false;   // the source has supplied an end-of-image marker for the page
  bool truncated_ = false;     // the decoder needed scan data past the page's end
  bool failed_ = false;        // see Failed()

  PageShape expected_;
  bool decodeAheadWanted_ = false;
  std::atomic<bool> split_{false};  // the current page is decoded ahead
  std::thread aheadThread_;
  Mutex aheadLock_;
  std::condition_variable aheadWake_;  // the ahead thread waits on it for data, room, a page or exit
  std::condition_variable aheadDone_;  // GetRows and StopAhead wait on it for the ahead thread's steps
  bool aheadExit_ GUARDED_BY(aheadLock_) = false;
  bool aheadPage_ GUARDED_BY(aheadLock_) = false;  // a page is given to the ahead thread
  bool aheadStepping_ GUARDED_BY(aheadLock_) = false;  // the ahead thread is in a step
  bool aheadFinal_ GUARDED_BY(aheadLock_) = false;  // the whole page is in
  bool aheadFailed_ GUARDED_BY(aheadLock_) = false;
  uint64_t dataVersion_ GUARDED_BY(aheadLock_) = 0;  // counts submissions (and the page's end)
  uint64_t stalledAt_ GUARDED_BY(aheadLock_) = UINT64_MAX;  // dataVersion_ when the ahead
                                                            // thread ran out of data
  int32_t stalledLength_ GUARDED_BY(aheadLock_) = 0;  // the file's length it had seen then
  uint32_t blockRowsDecoded_ GUARDED_BY(aheadLock_) = 0;
  uint32_t rowsConverted_ GUARDED_BY(aheadLock_) = 0;  // output rows handed out
  // rowsConverted_ for the calling thread, the only one that changes it (under aheadLock_, for
  // the ahead thread): it reads its own writes without the lock.
  uint32_t OwnRowsConverted() const NO_THREAD_SAFETY_ANALYSIS { return rowsConverted_; }
  // Set up before the page is handed to the ahead thread, constant while it is split:
  uint32_t blockRows_ = 0;        // block rows in the page
  uint32_t blockRowHeight_ = 0;   // output (luma) rows in a block row: 8 or 16
  uint32_t chromaRows_ = 0;       // chroma sample rows in the page (not rounded up to blocks)
  uint32_t pageRows_ = 0;         // the page's height
  uint32_t pageWidth_ = 0;        // and width
  uint32_t ringSlots_ = 0;
  int32_t aheadWakeBytes_ = 0;    // new data that wakes a stalled ahead thread
  JSAMPARRAY aheadPlanes_[3] = {nullptr, nullptr, nullptr};  // the slot being decoded; ahead thread
  JDIMENSION aheadLines_ = 0;                                 // what the library gave; ahead thread
  std::vector<uint8_t> ringPlanes_[3];       // a block row of each component in every slot
  std::vector<JSAMPROW> ringRowPointers_[3]; // rows of ringPlanes_, slot after slot
  std::unique_ptr<YccRowConverter> converter_;
};

#endif
