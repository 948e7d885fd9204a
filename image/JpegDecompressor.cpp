#include "image/JpegDecompressor.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include <jerror.h>

#include "image/ImageLog.h"
#include "log/CHRESULT2.h"
#include "log/LogHelpers.h"
#include "platform/TempFile.h"

JpegDecompressor::JpegDecompressor() {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::JpegDecompressor");
  std::memset(&decompressionState_, 0, sizeof decompressionState_);
  std::memset(&errorManager_, 0, sizeof errorManager_);
  file_ = nullptr;
}

JpegDecompressor::~JpegDecompressor() {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::~JpegDecompressor");
  Abort();
  CloseRetiredFile();
  EndAheadThread();
}

void JpegDecompressor::JpegErrorHandler(j_common_ptr info) {
  {
    CHRESULT2 hr(GetGlobalLog(), "JpegErrorHandler");
    // The library's own words go to the log, never to the host's standard error.
    // The error manager is the first member of ErrorManager; the text stays there for the
    // call site's result.
    ErrorManager* manager = reinterpret_cast<ErrorManager*>(info->err);
    char* text = manager->message;
    text[0] = '\0';
    (*info->err->format_message)(info, text);
    ImageLogLine(LOG_ERROR_MSG, "Error: %s", text);
    ImageLogLine(LOG_ERROR_MSG, "Exception thrown = %d", 0);
  }
  longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

void JpegDecompressor::OutputMessage(j_common_ptr info) {
  char text[JMSG_LENGTH_MAX] = {0};
  (*info->err->format_message)(info, text);
  ImageLogLine(LOG_INFO_MSG, "%s", text);
}

void JpegDecompressor::EmitMessage(j_common_ptr info, int level) {
  // client_data survives the object's creation, unlike the source pointer.
  JpegDecompressor* self = static_cast<JpegDecompressor*>(info->client_data);
  jpeg_error_mgr* err = info->err;
  if (level < 0) {
    // A warning (damaged or cut-short data): logged with its text and counted; a page full of
    // damage logs only its first few (every one when tracing).
    if (err->num_warnings < kLoggedWarnings || err->trace_level >= 3) {
      char text[JMSG_LENGTH_MAX] = {0};
      (*err->format_message)(info, text);
      ImageLogLine(LOG_WARNING_MSG, "Warning: %s", text);
    }
    err->num_warnings++;
    // After the supplied end marker, a decoder that still wants scan data has run off the end
    // of a page that was cut short.
    if (self != nullptr && err->msg_code == JWRN_HIT_MARKER && self->endSupplied_) self->truncated_ = true;
  } else if (err->trace_level >= level) {
    (*err->output_message)(info);
  }
}

ScanError JpegDecompressor::CallLibrary(bool (*step)(JpegDecompressor*), const char* declined) {
  if (setjmp(errorManager_.jump) != 0) return ScanError::Failed(CERR_UNKNOWN, errorManager_.message);
  if (step(this)) return ScanError();
  return ScanError::Failed(CERR_UNKNOWN, declined);
}

bool JpegDecompressor::LogLibraryError(const char* text, const ScanError& error) {
  return LogErrorText(error.Within(text).Text().c_str());
}

void JpegDecompressor::ReleasePage(bool retire) {
  StopAhead();
  if (split_.load()) {
    MutexLock guard(aheadLock_);
    aheadFinal_ = false;
    aheadFailed_ = false;
    stalledAt_ = UINT64_MAX;
    stalledLength_ = 0;
    blockRowsDecoded_ = 0;
    rowsConverted_ = 0;
    split_ = false;
  }
  if (created_) {
    // Destroying never raises an error; it frees the object's memory pools.
    jpeg_destroy_decompress(&decompressionState_);
    created_ = false;
  }
  rowBuffer_ = nullptr;
  spareRow_.reset();
  outputRow_ = nullptr;
  if (file_ != nullptr) {
    if (retire) {
      // An earlier page's file that nobody closed yet goes now.
      if (FILE* earlier = retiredFile_.exchange(file_)) std::fclose(earlier);
    } else {
      std::fclose(file_);
    }
    file_ = nullptr;
  }
  {
    MutexLock guard(appendLock_);
    fileLength_ = 0;
    diskLength_ = 0;
    writing_.clear();
    unwritten_.clear();
  }
  readPosition_ = 0;
  source_.pub.next_input_byte = nullptr;
  source_.pub.bytes_in_buffer = 0;
  pendingSkip_ = 0;
  final_ = false;
  endSupplied_ = false;
  truncated_ = false;
  failed_ = false;
}

void JpegDecompressor::Abort() { ReleasePage(); }

void JpegDecompressor::CloseRetiredFile() {
  if (FILE* file = retiredFile_.exchange(nullptr)) std::fclose(file);
}

void JpegDecompressor::InitSource(j_decompress_ptr) {}

void JpegDecompressor::TermSource(j_decompress_ptr) {}

boolean JpegDecompressor::FillInputBuffer(j_decompress_ptr info) {
  JpegDecompressor* self = reinterpret_cast<FileSource*>(info->src)->owner;
  // While the page is arriving: suspend; the library backs up to where it can resume, and the
  // call is repeated once more data has been loaded.
  if (!self->final_) return FALSE;
  if (self->pendingSkip_ > 0) {
    self->readPosition_ += self->pendingSkip_;
    self->pendingSkip_ = 0;
  }
  size_t count = self->ReadFile(self->input_.data(), self->input_.size());
  if (count == 0) {
    // The page is complete and its data is used up: an end-of-image marker ends it. Should the
    // decoder still need scan data after it, the page was cut short (see EmitMessage).
    self->endSupplied_ = true;
    WARNMS(info, JWRN_JPEG_EOF);
    self->input_[0] = 0xFF;
    self->input_[1] = JPEG_EOI;
    count = 2;
  }
  info->src->next_input_byte = self->input_.data();
  info->src->bytes_in_buffer = count;
  return TRUE;
}

void JpegDecompressor::SkipInputData(j_decompress_ptr info, long count) {
  if (count <= 0) return;
  JpegDecompressor* self = reinterpret_cast<FileSource*>(info->src)->owner;
  const size_t inBuffer = info->src->bytes_in_buffer;
  if (static_cast<size_t>(count) <= inBuffer) {
    info->src->next_input_byte += count;
    info->src->bytes_in_buffer -= static_cast<size_t>(count);
    return;
  }
  // The rest is skipped in the file when it is loaded.
  self->pendingSkip_ += count - static_cast<long>(inBuffer);
  info->src->next_input_byte += inBuffer;
  info->src->bytes_in_buffer = 0;
}

int32_t JpegDecompressor::FileLength() {
  MutexLock guard(appendLock_);
  return fileLength_;
}

size_t JpegDecompressor::ReadFile(JOCTET* into, size_t count) {
  size_t done = 0;
  const int fd = fileno(file_);
  while (done < count) {
    long onDisk = 0;
    {
      MutexLock guard(appendLock_);
      onDisk = diskLength_;
      if (readPosition_ >= onDisk) {
        // The bytes not on disk yet: the batch being written, then the ones after it.
        const long memoryEnd = onDisk + static_cast<long>(writing_.size() + unwritten_.size());
        while (done < count && readPosition_ < memoryEnd) {
          const bool inBatch = readPosition_ < onDisk + static_cast<long>(writing_.size());
          const std::vector<uint8_t>& from = inBatch ? writing_ : unwritten_;
          const size_t at = static_cast<size_t>(readPosition_ - onDisk) - (inBatch ? 0 : writing_.size());
          const size_t n = std::min(count - done, from.size() - at);
          std::memcpy(into + done, from.data() + at, n);
          done += n;
          readPosition_ += static_cast<long>(n);
        }
        return done;
      }
    }
    // Written bytes never change: they are read without the lock.
    const size_t want = std::min<size_t>(count - done, static_cast<size_t>(onDisk - readPosition_));
    const ssize_t n = pread(fd, into + done, want, static_cast<off_t>(readPosition_));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return done;
    done += static_cast<size_t>(n);
    readPosition_ += n;
  }
  return done;
}

ScanError JpegDecompressor::WriteFile(const uint8_t* bytes, size_t count, bool now) {
  // Small chunks (the SOAP runtime hands them over a few kilobytes at a time) are collected
  // and appended together: one write for every kWriteBatch bytes instead of one per chunk. A
  // failed write still fails the submission that made it.
  long start = 0;
  // The batch to write: only this thread changes writing_, so it reads it without the lock.
  const uint8_t* batch = nullptr;
  size_t batchSize = 0;
  {
    MutexLock guard(appendLock_);
    unwritten_.insert(unwritten_.end(), bytes, bytes + count);
    fileLength_ += static_cast<int32_t>(count);
    if (!now && unwritten_.size() < kWriteBatch) return ScanError();
    // Only this thread appends, so no other batch is being written.
    writing_.swap(unwritten_);
    start = diskLength_;
    batch = writing_.data();
    batchSize = writing_.size();
  }
  const int fd = fileno(file_);
  size_t done = 0;
  int error = 0;
  while (done < batchSize) {
    const ssize_t n = pwrite(fd, batch + done, batchSize - done, static_cast<off_t>(start + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;  // a write of nothing: the file takes no more
      break;
    }
    done += static_cast<size_t>(n);
  }
  MutexLock guard(appendLock_);
  const bool whole = done == batchSize;
  diskLength_ = start + static_cast<long>(done);
  // A failed write loses the rest of the batch and whatever came after it.
  if (!whole) {
    fileLength_ = static_cast<int32_t>(diskLength_);
    unwritten_.clear();
  }
  writing_.clear();
  return whole ? ScanError() : ScanError::FromErrno(CERR_UNKNOWN, "pwrite()", error);
}

bool JpegDecompressor::LoadInput(bool more) {
  if (file_ == nullptr) return false;
  const int32_t fileLength = FileLength();
  if (pendingSkip_ > 0) {
    const long skip = std::min<long>(pendingSkip_, fileLength - readPosition_);
    if (skip > 0) {
      readPosition_ += skip;
      pendingSkip_ -= skip;
    }
  }
  const size_t kept = source_.pub.bytes_in_buffer;
  const size_t available =
      fileLength <= readPosition_ ? 0 : static_cast<size_t>(fileLength - readPosition_);
  // Nothing new in the file: the library's input stays where it is.
  if (available == 0 && source_.pub.next_input_byte != nullptr) return true;
  // Enough input ahead of the library for now.
  if (!more && kept >= kInputWindow / 2 && source_.pub.next_input_byte != nullptr) return true;
  const size_t wanted = std::min(available, more ? kInputWindow : kInputWindow - kept);
  const JOCTET* from = source_.pub.next_input_byte;
  size_t start = 0;
  if (from != nullptr && from >= input_.data() && from <= input_.data() + input_.size())
    start = static_cast<size_t>(from - input_.data());
  else if (kept > 0 && from != nullptr)
    std::memmove(input_.data(), from, kept);  // not in input_ (never expected): copied in
  if (start + kept + wanted > input_.size()) {
    if (kept > 0 && start > 0) std::memmove(input_.data(), input_.data() + start, kept);
    start = 0;
    // Room to spare, and at least a block for the final reads.
    if (kept + wanted > input_.size()) input_.resize(std::max<size_t>(2 * (kept + wanted), 4096));
  }
  const size_t count = wanted > 0 ? ReadFile(input_.data() + start + kept, wanted) : 0;
  source_.pub.next_input_byte = input_.data() + start;
  source_.pub.bytes_in_buffer = kept + count;
  return true;
}

bool JpegDecompressor::LoadMoreAfterSuspension() {
  if (failed_ || FileLength() <= readPosition_) return false;
  const long before = readPosition_;
  LoadInput(true);
  return readPosition_ != before;
}

bool JpegDecompressor::SubmitFirstBuffer(const uint8_t* bytes, uint32_t length) {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::SubmitFirstBuffer");
  ReleasePage();  // a page that never finished is dropped
  rowBuffer_ = nullptr;
  rowsRead_ = 0;
  if (bytes == nullptr || length == 0) return LogErrorText("Invalid buffer");
  char why[160];  // what failed on Linux, after the documented text
  why[0] = '\0';
  try {
    TempFile temp("x4U");
    std::snprintf(tempPath_, sizeof tempPath_, "%s", temp.Path().c_str());
    int fd = dup(temp.Fd());
    if (fd >= 0) {
      file_ = fdopen(fd, "w+b");
      if (file_ == nullptr) {
        std::snprintf(why, sizeof why, "%s", ScanError::FromErrno(CERR_UNKNOWN, "fdopen()", errno).Text().c_str());
        close(fd);
      }
    } else {
      std::snprintf(why, sizeof why, "%s", ScanError::FromErrno(CERR_UNKNOWN, "dup()", errno).Text().c_str());
    }
    // Leaving the block removes the name; the open file lives on until it is closed.
  } catch (const std::exception& e) {
    file_ = nullptr;
    std::snprintf(why, sizeof why, "%s", e.what());
  }
  if (file_ == nullptr) return LogErrorTextWith("fopen() failed unexpectedly", why);
  LogText(tempPath_);
  readPosition_ = 0;
  const ScanError written = WriteFile(bytes, length, true);
  if (!written.Ok()) {
    ReleasePage();
    return LogErrorTextWith("fopen() failed unexpectedly", written.Text().c_str());
  }
  decompressionState_.err = jpeg_std_error(&errorManager_.pub);
  errorManager_.pub.error_exit = &JpegDecompressor::JpegErrorHandler;
  decompressionState_.client_data = this;
  // Nothing of the library's reaches the host's standard streams: its messages go to the log.
  errorManager_.pub.emit_message = &JpegDecompressor::EmitMessage;
  errorManager_.pub.output_message = &JpegDecompressor::OutputMessage;
  source_.pub.init_source = &JpegDecompressor::InitSource;
  source_.pub.fill_input_buffer = &JpegDecompressor::FillInputBuffer;
  source_.pub.skip_input_data = &JpegDecompressor::SkipInputData;
  source_.pub.resync_to_restart = jpeg_resync_to_restart;
  source_.pub.term_source = &JpegDecompressor::TermSource;
  source_.pub.next_input_byte = nullptr;
  source_.pub.bytes_in_buffer = 0;
  source_.owner = this;
  pendingSkip_ = 0;
  // The first chunk must hold the whole header: running out of it inside the header is an
  // error of the library (an image without data), not a reason to wait.
  final_ = true;
  LoadInput();
  LogText(tempPath_);
  const ScanError header = CallLibrary(
      [](JpegDecompressor* self) {
        jpeg_create_decompress(&self->decompressionState_);
        self->created_ = true;
        self->decompressionState_.src = &self->source_.pub;
        if (jpeg_read_header(&self->decompressionState_, TRUE) != JPEG_HEADER_OK) return false;
        // The output's dimensions, as decompression would make them; nothing is allocated yet.
        jpeg_calc_output_dimensions(&self->decompressionState_);
        return true;
      },
      "no image in the header");
  final_ = false;
  if (!header.Ok()) {
    ReleasePage();
    return LogLibraryError("jpeg library exception", header);
  }
  if (!HeaderFitsPage()) {
    ReleasePage();
    return LogErrorText("JPEG does not match the page");
  }
  LogNamedValue("decompressionState_.output_scanline", static_cast<int>(decompressionState_.output_scanline));
  LogNamedValue("decompressionState_.output_height", static_cast<int>(decompressionState_.output_height));
  return true;
}

bool JpegDecompressor::HeaderFitsPage() {
  const jpeg_decompress_struct& state = decompressionState_;
  const uint32_t width = state.output_width;
  const uint32_t height = state.output_height;
  const uint32_t components = static_cast<uint32_t>(state.output_components);
  // Rows come out as one byte per pixel for grey, three for every other layout.
  const uint64_t rowLength = static_cast<uint64_t>(width) * (components == 1 ? 1 : 3);
  const PageShape& want = expected_;
  const struct {
    bool fits;
    const char* what;
  } kChecks[] = {
      {width != 0 && height != 0 && rowLength * height <= kMaxPageBytes, "image size"},
      {want.rowLength == 0 || rowLength == want.rowLength, "row length"},
      {want.width == 0 || width == want.width, "width"},
      {want.components == 0 || components == want.components, "components"},
      {want.minRows == 0 || height >= want.minRows, "height"},
      {want.maxRows == 0 || height <= want.maxRows, "height"},
  };
  for (const auto& check : kChecks) {
    if (check.fits) continue;
    ImageLogLine(LOG_ERROR_MSG,
                 "Error: JPEG %s: %u x %u pixels of %u components; the page has rows of %u bytes, "
                 "%u pixels of %u components, %u to %u rows",
                 check.what, width, height, components, want.rowLength, want.width, want.components, want.minRows,
                 want.maxRows);
    return false;
  }
  return true;
}

bool JpegDecompressor::StartDecompression() {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::StartDecompression");
  if (!created_ || file_ == nullptr) return LogErrorText("jpeg_start_decompress() failed unexpectedly");
  // A single-scan image starts without compressed data; one that needs the whole file first
  // (several scans) cannot be decoded while it arrives.
  const bool ahead = PrepareDecodeAhead();
  const ScanError started = CallLibrary(
      [](JpegDecompressor* self) { return jpeg_start_decompress(&self->decompressionState_) != FALSE; },
      "the image needs all of its data before its first row");
  if (!started.Ok()) return LogLibraryError("jpeg_start_decompress() failed unexpectedly", started);
  rowBuffer_ = nullptr;
  const ScanError allocated = CallLibrary(
      [](JpegDecompressor* self) {
        jpeg_decompress_struct& state = self->decompressionState_;
        self->rowBuffer_ = (*state.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&state), JPOOL_IMAGE,
                                                      state.output_width * state.output_components, 1);
        return self->rowBuffer_ != nullptr;
      },
      "no memory for a row");
  if (!allocated.Ok()) return LogLibraryError("Buffer allocation failed", allocated);
  if (ahead) {
    // From here on the library object belongs to the decode-ahead thread.
    MutexLock guard(aheadLock_);
    split_ = true;
    aheadPage_ = true;
    ++dataVersion_;
    aheadWake_.notify_one();
  }
  return true;
}

bool JpegDecompressor::SubmitNextBuffer(const uint8_t* bytes, uint32_t length) {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::SubmitNextBuffer");
  if (file_ == nullptr) return LogErrorText("Invalid file_");
  if (bytes == nullptr) return LogErrorText("Invalid buffer");
  if (length == 0) return LogErrorText("Invalid bufferSize");
  // Appended at the end of what the file holds; the library's read position is kept apart
  // (readPosition_), so neither needs a seek.
  const ScanError written = WriteFile(bytes, length, false);
  if (!written.Ok()) return LogErrorText(written.Text().c_str());
  if (split_.load()) {
    // A stalled ahead thread is woken once there is enough for a couple of rows.
    const int32_t fileLength = FileLength();
    MutexLock guard(aheadLock_);
    const bool stalled = stalledAt_ == dataVersion_;
    if (!stalled || fileLength - stalledLength_ >= aheadWakeBytes_) {
      ++dataVersion_;
      if (stalled) aheadWake_.notify_one();
    }
  }
  return true;
}

bool JpegDecompressor::EnoughDataAvailableForDecompression(bool final) {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::EnoughDataAvailableForDecompression");
  if (final) return true;
  if (file_ == nullptr) return LogErrorText("file_ is NULL");
  // A split page's rows are asked for at once: GetRows waits for the ahead thread's work on
  // the data there is.
  if (split_.load()) return true;
  const long position = readPosition_;
  if (position < 0) return LogErrorText("ftell() failed unexpectedly");
  int32_t ahead = FileLength() - static_cast<int32_t>(position) + static_cast<int32_t>(source_.pub.bytes_in_buffer);
  int32_t needed = 2 * static_cast<int32_t>(decompressionState_.output_components) *
                   static_cast<int32_t>(decompressionState_.output_width);
  return ahead >= needed;
}

bool JpegDecompressor::GetRow(std::unique_ptr<uint8_t[]>& row, uint32_t& rowLength, bool final) {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::GetRow");
  row.reset();
  rowLength = 0;
  if (failed_) return false;
  if (!EnoughDataAvailableForDecompression(final)) return false;
  if (!created_ || rowBuffer_ == nullptr) return LogErrorText("jpeg_read_scanlines failed unexpectedly");
  if (split_.load()) {
    if (!spareRow_) spareRow_.reset(new uint8_t[static_cast<size_t>(pageWidth_) * 3]);
    uint32_t rows = 0;
    if (RowsLeft() == 0) return LogErrorText("Out of data");
    if (!GetRowsAhead(spareRow_.get(), 1, rows, final)) return false;
    row = std::move(spareRow_);
    rowLength = pageWidth_ * 3;
    return true;
  }
  if (decompressionState_.output_scanline >= decompressionState_.output_height) {
    LogNamedValue("decompressionState_.output_scanline", static_cast<int>(decompressionState_.output_scanline));
    LogNamedValue("decompressionState_.output_height", static_cast<int>(decompressionState_.output_height));
    return LogErrorText("Out of data");
  }
  LogNamedValue("decompressionState_.output_scanline", static_cast<int>(decompressionState_.output_scanline));
  LogNamedValue("decompressionState_.output_height", static_cast<int>(decompressionState_.output_height));
  rowsRead_ = 0;
  final_ = final;
  LoadInput();
  const uint32_t width = decompressionState_.output_width;
  const uint32_t components = static_cast<uint32_t>(decompressionState_.output_components);
  // Grey and three-sample rows are decoded straight into the array handed to the caller (kept
  // for the next call when the row has to wait); other layouts go through rowBuffer_.
  const bool direct = components == 1 || components == 3;
  if (direct && !spareRow_) spareRow_.reset(new uint8_t[static_cast<size_t>(width) * components]);
  outputRow_ = direct ? spareRow_.get() : rowBuffer_[0];
  JSAMPROW output[1] = {outputRow_};
  // Fewer than one row: the page failed, or the row needs more of the page than the file holds.
  int read = 0;
  while ((read = ReadScanlines(output, 1)) == 0 && LoadMoreAfterSuspension()) {
  }
  if (read < 1) return false;
  if (direct) {
    // One byte per pixel (grey) or three, exactly as the library wrote them.
    row = std::move(spareRow_);
    rowLength = width * components;
    return true;
  }
  const JSAMPLE* samples = rowBuffer_[0];
  row.reset(new uint8_t[3u * width]());
  uint8_t* out = row.get();
  for (uint32_t x = 0; x < width; ++x) {
    const JSAMPLE* pixel = samples + static_cast<size_t>(x) * components;
    out[3 * x] = pixel[0];
    out[3 * x + 1] = components > 1 ? pixel[1] : 0;
    out[3 * x + 2] = components > 2 ? pixel[2] : 0;
  }
  rowLength = 3u * width;
  return true;
}

int JpegDecompressor::ReadScanlines(JSAMPARRAY rows, JDIMENSION count) {
  scanRows_ = rows;
  rowsWanted_ = count;
  rowsRead_ = 0;
  const ScanError read = CallLibrary([](JpegDecompressor* self) {
    self->rowsRead_ = jpeg_read_scanlines(&self->decompressionState_, self->scanRows_, self->rowsWanted_);
    return true;
  });
  if (!read.Ok()) {
    failed_ = true;
    LogLibraryError("jpeg_read_scanlines failed unexpectedly", read);
    return -1;
  }
  if (truncated_) {
    // The rest of the page would be filler, not image.
    failed_ = true;
    LogText("Compressed data ends before the last row");
    LogErrorText("jpeg_read_scanlines failed unexpectedly");
    return -1;
  }
  return static_cast<int>(rowsRead_);
}

uint32_t JpegDecompressor::DirectRowLength() const {
  if (!created_ || rowBuffer_ == nullptr || failed_) return 0;
  const uint32_t components = static_cast<uint32_t>(decompressionState_.output_components);
  if (components != 1 && components != 3) return 0;
  return decompressionState_.output_width * components;
}

uint32_t JpegDecompressor::RowsLeft() const {
  if (!created_ || rowBuffer_ == nullptr) return 0;
  if (split_.load()) return pageRows_ - OwnRowsConverted();
  const JDIMENSION height = decompressionState_.output_height;
  const JDIMENSION done = decompressionState_.output_scanline;
  return done < height ? height - done : 0;
}

bool JpegDecompressor::GetRows(uint8_t* into, uint32_t maxRows, uint32_t& rows, bool final) {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::GetRows");
  rows = 0;
  if (failed_) return false;
  const uint32_t rowLength = DirectRowLength();
  if (into == nullptr || maxRows == 0 || rowLength == 0) return LogErrorText("jpeg_read_scanlines failed unexpectedly");
  if (!EnoughDataAvailableForDecompression(final)) return false;
  if (RowsLeft() == 0) return LogErrorText("Out of data");
  if (split_.load()) return GetRowsAhead(into, maxRows, rows, final);
  final_ = final;
  LoadInput();
  if (maxRows > RowsLeft()) maxRows = RowsLeft();
  outputRows_.resize(maxRows);
  for (uint32_t i = 0; i < maxRows; ++i) outputRows_[i] = into + static_cast<size_t>(i) * rowLength;
  // The library hands out at most a row group per call: it is asked again until the rows are
  // there or it suspends for more of the page.
  while (rows < maxRows) {
    const int read = ReadScanlines(outputRows_.data() + rows, maxRows - rows);
    if (read < 0) return false;
    if (read == 0) {
      // Suspended: at the end of the input loaded so far, or because the next row needs more
      // of the page.
      if (!LoadMoreAfterSuspension()) break;
      continue;
    }
    rows += static_cast<uint32_t>(read);
  }
  return rows > 0;
}

bool JpegDecompressor::FinishDecompress() {
  CHRESULT2 hr(GetGlobalLog(), "JpegDecompressor::FinishDecompress");
  StopAhead();
  // A failed page is only abandoned: after an error the library object takes no more calls.
  bool ok = created_ && !failed_;
  if (ok && split_.load()) {
    MutexLock guard(aheadLock_);
    ok = !aheadFailed_;
  }
  ScanError finished = ok ? ScanError() : ScanError::Failed(CERR_UNKNOWN, "the page has failed");
  if (ok) {
    final_ = true;  // what the file holds is all there is
    finished = CallLibrary([](JpegDecompressor* self) {
      jpeg_decompress_struct& state = self->decompressionState_;
      // Ending before the last row is not an error: the rows not read are dropped. (Sample
      // rows come in whole block rows, which can end past the image's last row.)
      if (state.output_scanline < state.output_height) state.output_height = state.output_scanline;
      jpeg_finish_decompress(&state);
      return true;
    });
  }
  ReleasePage(true);
  if (!finished.Ok()) return LogLibraryError("jpeg_finish_decompress failed unexpectedly", finished);
  return true;
}
