#include "ImageTestSupport.h"

#include <dirent.h>
#include <jpeglib.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "log/GlobalLog.h"
#include "platform/TimeLimits.h"

namespace imagetest {
namespace {

std::string g_logPath;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Points the registry, lock directory and log at a private directory and creates the global
// log with every error, warning and general information line enabled (trace lines off).
class ImageEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/cavix-image-tests-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = dir;
    g_logPath = root_ + "/image.log";
    std::string hklm = root_ + "/hklm.reg";
    std::ofstream reg(hklm);
    reg << "Windows Registry Editor Version 5.00\r\n\r\n"
        << "[HKEY_LOCAL_MACHINE\\Software\\Quenterra\\Pixora\\Cavix\\{1422B44C-CBF9-440D-A286-44AD4F87BF5F}]\r\n"
        << "\"LogEnabled\"=dword:00000001\r\n"
        << "\"LogLevel\"=dword:b0000008\r\n"
        << "\"LogDestination\"=dword:00000001\r\n"
        << "\"LogFile\"=\"" << g_logPath << "\"\r\n\r\n";
    reg.close();
    setenv("CAVIX_REGISTRY_HKLM", hklm.c_str(), 1);
    setenv("CAVIX_REGISTRY_HKCU", (root_ + "/hkcu.reg").c_str(), 1);
    setenv("CAVIX_LOCK_DIR", (root_ + "/lock").c_str(), 1);
    CreateGlobalLog();
  }
  void TearDown() override {
    DestroyGlobalLog();
    TimeLimits::Instance().Reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

 private:
  std::string root_;
};

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new ImageEnvironment);

}  // namespace

LogTail::LogTail() : start_(ReadFile(g_logPath).size()) {}

std::string LogTail::Text() const {
  std::string all = ReadFile(g_logPath);
  return all.size() > start_ ? all.substr(start_) : std::string();
}

size_t LogTail::Count(const std::string& text) const {
  std::string all = Text();
  size_t n = 0;
  for (size_t pos = all.find(text); pos != std::string::npos; pos = all.find(text, pos + text.size())) ++n;
  return n;
}

PrivateTmpDir::PrivateTmpDir() {
  char pattern[] = "/tmp/cavix-image-tmp-XXXXXX";
  const char* dir = mkdtemp(pattern);
  if (dir == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = dir;
  const char* old = getenv("TMPDIR");
  hadPrevious_ = old != nullptr;
  if (old != nullptr) previous_ = old;
  setenv("TMPDIR", path_.c_str(), 1);
}

PrivateTmpDir::~PrivateTmpDir() {
  if (hadPrevious_)
    setenv("TMPDIR", previous_.c_str(), 1);
  else
    unsetenv("TMPDIR");
  for (const std::string& name : Entries()) unlink((path_ + "/" + name).c_str());
  rmdir(path_.c_str());
}

std::vector<std::string> PrivateTmpDir::Entries() const {
  std::vector<std::string> names;
  DIR* d = opendir(path_.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(d);
  return names;
}

uint8_t PictureSample(uint32_t x, uint32_t y, uint32_t c, uint32_t components) {
  // Gentle gradients, a different one per component.
  uint32_t v = (components == 1) ? (x * 2 + y * 3) : (c == 0 ? x * 3 + y : c == 1 ? y * 3 + x : (x + y) * 2);
  return static_cast<uint8_t>(40 + v % 180);
}

namespace {

// Compresses rows made by `sample(x, y, c)`.
template <typename Sample>
std::vector<uint8_t> Compress(uint32_t width, uint32_t height, int components, int quality, Sample sample,
                              int lumaAcross = 0, int lumaDown = 0, bool progressive = false) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&cinfo, &out, &outSize);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = components;
  cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  if (lumaAcross > 0) {
    cinfo.comp_info[0].h_samp_factor = lumaAcross;
    cinfo.comp_info[0].v_samp_factor = lumaDown;
  }
  if (progressive) jpeg_simple_progression(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(width) * components);
  while (cinfo.next_scanline < height) {
    uint32_t y = cinfo.next_scanline;
    for (uint32_t x = 0; x < width; ++x)
      for (int c = 0; c < components; ++c)
        row[static_cast<size_t>(x) * components + c] = sample(x, y, c);
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&cinfo, &r, 1);
  }
  jpeg_finish_compress(&cinfo);
  std::vector<uint8_t> result(out, out + outSize);
  jpeg_destroy_compress(&cinfo);
  free(out);
  return result;
}

}  // namespace

std::vector<uint8_t> MakeJpeg(uint32_t width, uint32_t height, int components, int quality) {
  return Compress(width, height, components, quality, [components](uint32_t x, uint32_t y, int c) {
    return PictureSample(x, y, static_cast<uint32_t>(c), static_cast<uint32_t>(components));
  });
}

std::vector<uint8_t> MakeNoisyJpeg(uint32_t width, uint32_t height, int components, int quality, uint32_t seed) {
  // Rows are made in order, so one generator running through them gives the same picture
  // every time.
  uint32_t state = seed * 2654435761u + 1;
  return Compress(width, height, components, quality, [&state](uint32_t, uint32_t, int) {
    state = state * 1664525u + 1013904223u;
    return static_cast<uint8_t>(state >> 24);
  });
}

std::vector<uint8_t> MakeNoisyColourJpeg(uint32_t width, uint32_t height, int lumaAcross, int lumaDown, int quality,
                                          uint32_t seed, bool progressive) {
  uint32_t state = seed * 2654435761u + 1;
  return Compress(
      width, height, 3, quality,
      [&state](uint32_t, uint32_t, int) {
        state = state * 1664525u + 1013904223u;
        return static_cast<uint8_t>(state >> 24);
      },
      lumaAcross, lumaDown, progressive);
}

std::vector<uint8_t> DecodeWhole(const std::vector<uint8_t>& jpeg, uint32_t* width, uint32_t* height,
                                 int* components) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  size_t stride = static_cast<size_t>(cinfo.output_width) * cinfo.output_components;
  std::vector<uint8_t> pixels(stride * cinfo.output_height);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW r = pixels.data() + stride * cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &r, 1);
  }
  if (width) *width = cinfo.output_width;
  if (height) *height = cinfo.output_height;
  if (components) *components = cinfo.output_components;
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return pixels;
}

std::vector<uint8_t> WithFrameSize(std::vector<uint8_t> jpeg, uint16_t width, uint16_t height) {
  // SOF0: FF C0, length (2), precision (1), height (2), width (2).
  for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
      jpeg[i + 5] = uint8_t(height >> 8);
      jpeg[i + 6] = uint8_t(height);
      jpeg[i + 7] = uint8_t(width >> 8);
      jpeg[i + 8] = uint8_t(width);
      break;
    }
  }
  return jpeg;
}

size_t JpegHeaderLength(const std::vector<uint8_t>& jpeg) {
  size_t pos = 2;
  while (pos + 4 <= jpeg.size()) {
    uint8_t marker = jpeg[pos + 1];
    size_t len = (static_cast<size_t>(jpeg[pos + 2]) << 8) | jpeg[pos + 3];
    if (marker == 0xDA) return pos + 2 + len;
    pos += 2 + len;
  }
  throw std::runtime_error("no start of scan");
}

size_t OpenDescriptors() {
  size_t n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++n;
    closedir(dir);
  }
  return n;
}

}  // namespace imagetest
