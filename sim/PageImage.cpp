#include "sim/PageImage.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace cavixsim {

namespace {

// Chart layout in 1/300 inch of the media.
constexpr int kMediaWidth = 2550;
constexpr int kMediaHeight = 3507;
constexpr int kLinePitch = 45;
constexpr int kTextHeight = 28;
constexpr uint8_t kInk = 20;  // dark enough to count as content
constexpr uint8_t kPadDark = 16;

uint32_t Mix(uint32_t a, uint32_t b, uint32_t c) {
  uint32_t h = a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u ^ (c + 0x165667B1u) * 0xC2B2AE3Du;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  h *= 0x297A2D39u;
  h ^= h >> 15;
  return h;
}

bool InTextBand(int v) {
  return (v >= 330 && v < 1500) || (v >= 2950 && v < 3300) || (v >= 3550 && v < 4150);
}

// Seven-segment glyphs: bits a b c d e f g (a top, then clockwise, g middle).
const uint8_t kSegments[10] = {0x7E, 0x30, 0x6D, 0x79, 0x33, 0x5B, 0x5F, 0x70, 0x7F, 0x7B};
constexpr uint8_t kHyphen = 0x01;

bool SegmentPixel(uint8_t segs, int x, int y) {
  // Glyph cell 60 x 100 units, stroke 12.
  const int w = 60, h = 100, s = 12;
  if (x < 0 || y < 0 || x >= w || y >= h) return false;
  bool top = y < s, mid = y >= h / 2 - s / 2 && y < h / 2 + s / 2, bottom = y >= h - s;
  bool left = x < s, right = x >= w - s;
  bool upper = y < h / 2, lower = y >= h / 2;
  return ((segs & 0x40) && top) || ((segs & 0x20) && right && upper) ||
         ((segs & 0x10) && right && lower) || ((segs & 0x08) && bottom) ||
         ((segs & 0x04) && left && lower) || ((segs & 0x02) && left && upper) ||
         ((segs & 0x01) && mid);
}

}  // namespace

bool PnmImage::Load(const std::string& path, PnmImage& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path;
    return false;
  }
  std::string magic;
  in >> magic;
  auto next = [&](uint32_t& v) {
    in >> std::ws;
    while (in.peek() == '#') {
      std::string comment;
      std::getline(in, comment);
      in >> std::ws;
    }
    return static_cast<bool>(in >> v);
  };
  uint32_t w = 0, h = 0, maxval = 0;
  if ((magic != "P5" && magic != "P6") || !next(w) || !next(h) || !next(maxval) || w == 0 ||
      h == 0 || w > 20000 || h > 20000 || maxval != 255) {
    error = path + ": not a binary 8-bit PGM/PPM file";
    return false;
  }
  in.get();  // the single blank after the header
  const uint32_t channels = magic == "P6" ? 3 : 1;
  std::vector<uint8_t> raw(size_t(w) * h * channels);
  if (!in.read(reinterpret_cast<char*>(raw.data()), std::streamsize(raw.size()))) {
    error = path + ": truncated image data";
    return false;
  }
  out.width = w;
  out.height = h;
  out.rgb.resize(size_t(w) * h * 3);
  for (size_t i = 0; i < size_t(w) * h; ++i)
    for (uint32_t c = 0; c < 3; ++c) out.rgb[i * 3 + c] = raw[i * channels + (channels == 3 ? c : 0)];
  return true;
}

PageImage::PageImage(const Ticket& ticket, int pageNumber, int side, bool padDark,
                     std::shared_ptr<const PnmImage> file)
    : geometry_(Geometry(ticket)),
      color_(ticket.colorProcessing),
      resolution_(ticket.resolutionX > 0 ? ticket.resolutionX : 300),
      originU_(ticket.regionX * 3 / 10),
      originV_(ticket.regionY * 3 / 10),
      pageNumber_(pageNumber),
      side_(side),
      padDark_(padDark),
      file_(std::move(file)) {}

PageGeometry PageImage::Geometry(const Ticket& t) {
  PageGeometry g;
  if (t.resolutionX <= 0 || t.regionWidth <= 0 || t.regionHeight <= 0) return g;
  // The host's region in 1/300 inch was turned into 1/1000 inch by rounding up; taking
  // three tenths and truncating gives the host's value back exactly.
  const uint32_t res = uint32_t(t.resolutionX);
  const uint32_t width300 = uint32_t(t.regionWidth) * 3 / 10;
  const uint32_t length300 = uint32_t(t.regionHeight) * 3 / 10;
  const uint32_t resY = t.resolutionY > 0 ? uint32_t(t.resolutionY) : res;
  g.pixelsPerLine = res * width300 / 300;
  g.lines = resY * length300 / 300;
  switch (t.colorProcessing) {
    case kColorBw1:
      g.pixelsPerLine &= ~7u;
      g.bytesPerLine = g.pixelsPerLine / 8;
      break;
    case kColorGray8:
      g.bytesPerLine = g.pixelsPerLine;
      break;
    case kColorRgb24:
      g.bytesPerLine = g.pixelsPerLine * 3;
      break;
    default:
      g.bytesPerLine = 0;
  }
  return g;
}

bool PageImage::Supported(const Ticket& t) {
  const PageGeometry g = Geometry(t);
  if (g.bytesPerLine == 0 || g.lines == 0) return false;
  if (t.resolutionY > 0 && t.resolutionY != t.resolutionX) return false;
  if (t.format == kFormatZkraw) return true;
  // JPEG pages are grey or colour; one-bit pages travel as raw rows only.
  return t.format == kFormatJfif && (t.colorProcessing == kColorGray8 || t.colorProcessing == kColorRgb24);
}

bool PageImage::DigitPixel(int u, int v) const {
  // "page-side" in seven-segment glyphs at the top left of the media.
  const int u0 = 200, v0 = 150, pitch = 80;
  if (v < v0 || v >= v0 + 100 || u < u0) return false;
  char text[24];
  std::snprintf(text, sizeof text, "%d-%d", pageNumber_, side_);
  int index = (u - u0) / pitch;
  if (index >= int(std::strlen(text))) return false;
  char ch = text[index];
  uint8_t segs = ch == '-' ? kHyphen : kSegments[ch - '0'];
  return SegmentPixel(segs, (u - u0) % pitch, v - v0);
}

void PageImage::ChartPixel(int u, int v, uint8_t rgb[3]) const {
  rgb[0] = rgb[1] = rgb[2] = 255;
  // Registration marks: crosshairs with rings near the four corners of the media.
  static const int kMarks[4][2] = {{100, 100}, {2450, 100}, {100, 3400}, {2450, 3400}};
  for (const auto& m : kMarks) {
    int du = u - m[0], dv = v - m[1];
    int d2 = du * du + dv * dv;
    if ((std::abs(du) <= 3 && std::abs(dv) <= 60) || (std::abs(dv) <= 3 && std::abs(du) <= 60) ||
        (d2 >= 37 * 37 && d2 <= 43 * 43)) {
      rgb[0] = rgb[1] = rgb[2] = 0;
      return;
    }
  }
  if (DigitPixel(u, v)) {
    rgb[0] = rgb[1] = rgb[2] = 0;
    return;
  }
  if (InTextBand(v) && u >= 150 && u < 2400) {
    // Text-like rows: words of pseudo-glyphs on a line pitch.
    int line = v / kLinePitch;
    if (v % kLinePitch >= kTextHeight) return;
    int x = 150, word = 0;
    while (x < 2400) {
      int w = 40 + int(Mix(uint32_t(line), uint32_t(word), 7) % 160);
      if (u < x) return;  // in the gap before this word
      if (u < x + w) {
        if (Mix(uint32_t(u / 5), uint32_t(v / 5), uint32_t(line)) & 1) rgb[0] = rgb[1] = rgb[2] = kInk;
        return;
      }
      x += w + 25;
      ++word;
    }
    return;
  }
  if (v >= 1560 && v < 2900 && u >= 150 && u < 2400) {
    // Photo-like gradient with a disc.
    int r = (u - 150) * 255 / 2250;
    int g = (v - 1560) * 255 / 1340;
    int b = 255 - (r + g) / 2;
    int du = u - 1275, dv = v - 2230;
    if (du * du + dv * dv < 400 * 400) {
      r = 255 - r;
      g = (g + 128) % 256;
    }
    rgb[0] = uint8_t(r);
    rgb[1] = uint8_t(g);
    rgb[2] = uint8_t(b);
  }
}

void PageImage::Pixel(uint32_t x, uint32_t y, uint8_t rgb[3]) const {
  const int u = originU_ + int(uint64_t(x) * 300 / uint32_t(resolution_));
  const int v = originV_ + int(uint64_t(y) * 300 / uint32_t(resolution_));
  if (file_) {
    uint64_t fx = uint64_t(u) * file_->width / kMediaWidth;
    uint64_t fy = uint64_t(v) * file_->height / kMediaHeight;
    if (fx < file_->width && fy < file_->height) {
      std::memcpy(rgb, &file_->rgb[(fy * file_->width + fx) * 3], 3);
    } else {
      rgb[0] = rgb[1] = rgb[2] = 255;
    }
    return;
  }
  ChartPixel(u, v, rgb);
}

void PageImage::Row(uint32_t y, uint8_t* out) const {
  const uint32_t ppl = geometry_.pixelsPerLine;
  if (y >= geometry_.lines) {
    std::memset(out, padDark_ ? (color_ == kColorBw1 ? 0x00 : kPadDark) : 0xFF, geometry_.bytesPerLine);
    return;
  }
  uint8_t rgb[3];
  switch (color_) {
    case kColorRgb24:
      for (uint32_t x = 0; x < ppl; ++x) Pixel(x, y, out + size_t(x) * 3);
      break;
    case kColorGray8:
      for (uint32_t x = 0; x < ppl; ++x) {
        Pixel(x, y, rgb);
        out[x] = uint8_t((rgb[0] * 299 + rgb[1] * 587 + rgb[2] * 114) / 1000);
      }
      break;
    case kColorBw1:
      std::memset(out, 0, geometry_.bytesPerLine);
      for (uint32_t x = 0; x < ppl; ++x) {
        Pixel(x, y, rgb);
        int grey = (rgb[0] * 299 + rgb[1] * 587 + rgb[2] * 114) / 1000;
        if (grey >= 128) out[x >> 3] |= uint8_t(0x80u >> (x & 7));  // set bit: white
      }
      break;
    default:
      break;
  }
}

}  // namespace cavixsim
