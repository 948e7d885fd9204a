// Shared helpers of the image tests: a log file the tests can read back, a private temporary
// directory, JPEG pictures made with libjpeg, and a few thread helpers.
#ifndef CAVIX_TESTS_IMAGE_IMAGETESTSUPPORT_H
#define CAVIX_TESTS_IMAGE_IMAGETESTSUPPORT_H

#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <vector>

namespace imagetest {

// The text the global log has written since the helper was made (the test environment
// enables the log into a private file).
class LogTail {
 public:
  LogTail();
  std::string Text() const;
  bool Has(const std::string& text) const { return Text().find(text) != std::string::npos; }
  size_t Count(const std::string& text) const;

 private:
  size_t start_;
};

// A private, empty temporary directory made the process's TMPDIR for the life of the object.
class PrivateTmpDir {
 public:
  PrivateTmpDir();
  ~PrivateTmpDir();
  const std::string& Path() const { return path_; }
  // Names of the entries in the directory.
  std::vector<std::string> Entries() const;

 private:
  std::string path_;
  std::string previous_;
  bool hadPrevious_ = false;
};

// Pixel value of the test picture at (x, y, component): smooth so JPEG keeps it closely.
uint8_t PictureSample(uint32_t x, uint32_t y, uint32_t c, uint32_t components);
// A baseline JPEG of the test picture; components 1 (grey) or 3 (RGB).
std::vector<uint8_t> MakeJpeg(uint32_t width, uint32_t height, int components, int quality = 90);
// A baseline JPEG of pseudo-random noise (the same bytes for the same seed): dense scan data,
// several kilobytes per row of blocks at high quality. Colour uses 4:2:0 subsampling (16-line
// rows of blocks), so one decoded row can need far more compressed data than two rows' worth.
std::vector<uint8_t> MakeNoisyJpeg(uint32_t width, uint32_t height, int components, int quality,
                                   uint32_t seed = 1);
// The same for colour with the luma's sampling factors chosen (chroma at one block per MCU):
// 1x1 (4:4:4), 2x1 (4:2:2), 2x2 (4:2:0) or others; progressive: several scans.
std::vector<uint8_t> MakeNoisyColourJpeg(uint32_t width, uint32_t height, int lumaAcross, int lumaDown, int quality,
                                          uint32_t seed, bool progressive = false);
// Decodes a whole JPEG from memory with libjpeg in one go: the rows, one after the other.
std::vector<uint8_t> DecodeWhole(const std::vector<uint8_t>& jpeg, uint32_t* width = nullptr,
                                 uint32_t* height = nullptr, int* components = nullptr);

// The JPEG with the width and height of its (baseline) frame header replaced: a picture that
// claims another size than its data has.
std::vector<uint8_t> WithFrameSize(std::vector<uint8_t> jpeg, uint16_t width, uint16_t height);

// Position of the first byte after the start-of-scan segment of a JPEG (the header's length).
size_t JpegHeaderLength(const std::vector<uint8_t>& jpeg);

// How many descriptors the process has open.
size_t OpenDescriptors();

// Whether a future is still pending after a short grace period. Used only to confirm that a
// call blocks; a slow machine can only make it look blocked longer, never make a check fail
// wrongly for a call that does block.
template <typename T>
bool StillBlocked(std::future<T>& f, int ms = 100) {
  return f.wait_for(std::chrono::milliseconds(ms)) == std::future_status::timeout;
}

// Generous bound for waits that must finish; a hang turns into a failure instead of a stuck run.
constexpr std::chrono::seconds kGenerous{30};

}  // namespace imagetest

#endif
