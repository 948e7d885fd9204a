#include "image/YccRowConverter.h"

#include <atomic>
#include <cstddef>

// The 32-byte vector path exists on x86 only, chosen at run time where the processor has it;
// every other processor runs the portable loops below, which give the same bytes.
#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define CAVIX_YCC_AVX2 1
#include <immintrin.h>
#endif

namespace {

// The library's fixed-point constants (16 fraction bits, rounded): 1.40200, 1.77200, 0.71414
// and 0.34414.
constexpr int32_t kCrToR = 91881;
constexpr int32_t kCbToB = 116130;
constexpr int32_t kCrToG = 46802;
constexpr int32_t kCbToG = 22554;
constexpr int32_t kHalf = 1 << 15;

inline uint8_t Clamp(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// The bodies are written for the compiler to vectorise; each is compiled twice, for the baseline
// processor and for one with 32-byte vectors.
__attribute__((always_inline)) inline void ColumnSums(const uint8_t* __restrict row, const uint8_t* __restrict other,
                                                      uint32_t n, int16_t* __restrict sums) {
  for (size_t i = 0; i < n; ++i) sums[i + 1] = static_cast<int16_t>(row[i] * 3 + other[i]);
  sums[0] = sums[1];
  sums[n + 1] = sums[n];
}

// 2x2: each output sample is 3/4 of the nearer column sum and 1/4 of the farther one, rounded
// up on the left and down on the right, over 16.
__attribute__((always_inline)) inline void SpreadSums(const int16_t* __restrict sums, uint32_t n,
                                                      uint8_t* __restrict out) {
  for (size_t i = 0; i < n; ++i) {
    const int16_t near = static_cast<int16_t>(sums[i + 1] * 3);
    out[2 * i] = static_cast<uint8_t>(static_cast<int16_t>(near + sums[i] + 8) >> 4);
    out[2 * i + 1] = static_cast<uint8_t>(static_cast<int16_t>(near + sums[i + 2] + 7) >> 4);
  }
}

// 2x1: the same across one row, over 4.
__attribute__((always_inline)) inline void SpreadRow(const int16_t* __restrict padded, uint32_t n,
                                                     uint8_t* __restrict out) {
  for (size_t i = 0; i < n; ++i) {
    const int16_t near = static_cast<int16_t>(padded[i + 1] * 3);
    out[2 * i] = static_cast<uint8_t>(static_cast<int16_t>(near + padded[i] + 1) >> 2);
    out[2 * i + 1] = static_cast<uint8_t>(static_cast<int16_t>(near + padded[i + 2] + 2) >> 2);
  }
}

__attribute__((always_inline)) inline void Planes(const uint8_t* __restrict y, const uint8_t* __restrict cb,
                                                  const uint8_t* __restrict cr, uint32_t n, uint8_t* __restrict red,
                                                  uint8_t* __restrict green, uint8_t* __restrict blue) {
  for (size_t i = 0; i < n; ++i) {
    const int32_t luma = y[i];
    const int32_t b = cb[i] - 128;
    const int32_t r = cr[i] - 128;
    // Arithmetic shifts, as the library's: negative sums round towards minus infinity.
    red[i] = Clamp(luma + ((kCrToR * r + kHalf) >> 16));
    green[i] = Clamp(luma + ((-kCbToG * b - kCrToG * r + kHalf) >> 16));
    blue[i] = Clamp(luma + ((kCbToB * b + kHalf) >> 16));
  }
}

__attribute__((always_inline)) inline void Interleave(const uint8_t* __restrict red, const uint8_t* __restrict green,
                                                      const uint8_t* __restrict blue, uint32_t n,
                                                      uint8_t* __restrict rgb) {
  for (size_t i = 0; i < n; ++i) {
    rgb[3 * i] = red[i];
    rgb[3 * i + 1] = green[i];
    rgb[3 * i + 2] = blue[i];
  }
}

#if CAVIX_YCC_AVX2
// Planes and Interleave at once with 16-bit lanes, 32 pixels a round, the way the library's own
// vector code computes them (each step equals the fixed-point formula above bit for bit):
//   red   = y + r + ((mulhi(2r, 0.40200) + 1) >> 1)          1.40200 = 1 + 0.40200
//   blue  = y + 2b + ((mulhi(2b, -0.22800) + 1) >> 1)        1.77200 = 2 - 0.22800
//   green = y + ((-0.34414 b + 0.28586 r + 1/2) >> 16) - r   0.71414 = 1 - 0.28586
// with b = cb - 128 and r = cr - 128; the bytes are then interleaved by byte shuffles, 16
// pixels to each 128-bit lane.
struct alignas(16) ShuffleMasks {
  uint8_t m[3][3][16];  // [output block][channel][byte]: output byte k of 48 is pixel k / 3, channel k % 3
  ShuffleMasks() {
    for (int block = 0; block < 3; ++block)
      for (int channel = 0; channel < 3; ++channel)
        for (int k = 0; k < 16; ++k) {
          const int at = 16 * block + k;
          m[block][channel][k] = at % 3 == channel ? static_cast<uint8_t>(at / 3) : 0x80;
        }
  }
};
const ShuffleMasks kShuffleMasks;

// The three channels of 16 pixels in 16-bit lanes (unclamped).
__attribute__((target("avx2"), always_inline)) inline void RgbLanes(const uint8_t* y, const uint8_t* cb,
                                                                     const uint8_t* cr, __m256i& red, __m256i& green,
                                                                     __m256i& blue) {
  const __m256i centre = _mm256_set1_epi16(128);
  const __m256i one = _mm256_set1_epi16(1);
  const __m256i redFraction = _mm256_set1_epi16(26345);    // 0.40200
  const __m256i blueFraction = _mm256_set1_epi16(-14942);  // -0.22800
  const __m256i greenFactors = _mm256_set1_epi32(static_cast<int32_t>((18734u << 16) | static_cast<uint16_t>(-22554)));
  const __m256i half = _mm256_set1_epi32(kHalf);
  const __m256i luma = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(y)));
  const __m256i b = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cb))), centre);
  const __m256i r = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cr))), centre);
  const __m256i redPart =
      _mm256_srai_epi16(_mm256_add_epi16(_mm256_mulhi_epi16(_mm256_add_epi16(r, r), redFraction), one), 1);
  red = _mm256_add_epi16(_mm256_add_epi16(luma, r), redPart);
  const __m256i bluePart =
      _mm256_srai_epi16(_mm256_add_epi16(_mm256_mulhi_epi16(_mm256_add_epi16(b, b), blueFraction), one), 1);
  blue = _mm256_add_epi16(_mm256_add_epi16(luma, _mm256_add_epi16(b, b)), bluePart);
  // Unpacking and packing both work within 128-bit lanes, so the pixels come back in order.
  const __m256i low =
      _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(b, r), greenFactors), half), 16);
  const __m256i high =
      _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(b, r), greenFactors), half), 16);
  green = _mm256_sub_epi16(_mm256_add_epi16(luma, _mm256_packs_epi32(low, high)), r);
}

__attribute__((target("avx2"))) void PlanesAndInterleaveAvx2(const uint8_t* __restrict y, const uint8_t* __restrict cb,
                                                             const uint8_t* __restrict cr, uint32_t n,
                                                             uint8_t* __restrict rgb) {
  __m256i masks[3][3];
  for (int block = 0; block < 3; ++block)
    for (int channel = 0; channel < 3; ++channel)
      masks[block][channel] =
          _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(kShuffleMasks.m[block][channel])));
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    __m256i first[3], second[3];
    RgbLanes(y + i, cb + i, cr + i, first[0], first[1], first[2]);
    RgbLanes(y + i + 16, cb + i + 16, cr + i + 16, second[0], second[1], second[2]);
    // Bytes of pixels 0-15 in the low lane, 16-31 in the high one (packing interleaves the
    // two halves by 64 bits within each lane; the quarter swap puts them back in order).
    __m256i planes[3];
    for (int channel = 0; channel < 3; ++channel)
      planes[channel] = _mm256_permute4x64_epi64(_mm256_packus_epi16(first[channel], second[channel]), 0xD8);
    __m256i out[3];
    for (int block = 0; block < 3; ++block)
      out[block] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(planes[0], masks[block][0]),
                                                   _mm256_shuffle_epi8(planes[1], masks[block][1])),
                                   _mm256_shuffle_epi8(planes[2], masks[block][2]));
    // Each lane made 48 bytes (blocks 0-2): the low lane's go first.
    uint8_t* to = rgb + 3 * i;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), _mm256_permute2x128_si256(out[0], out[1], 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 32), _mm256_permute2x128_si256(out[2], out[0], 0x30));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 64), _mm256_permute2x128_si256(out[1], out[2], 0x31));
  }
  for (; i + 16 <= n; i += 16) {
    __m256i channels[3];
    RgbLanes(y + i, cb + i, cr + i, channels[0], channels[1], channels[2]);
    __m128i planes[3];
    for (int channel = 0; channel < 3; ++channel)
      planes[channel] =
          _mm_packus_epi16(_mm256_castsi256_si128(channels[channel]), _mm256_extracti128_si256(channels[channel], 1));
    for (int block = 0; block < 3; ++block) {
      __m128i out = _mm_setzero_si128();
      for (int channel = 0; channel < 3; ++channel)
        out = _mm_or_si128(out, _mm_shuffle_epi8(planes[channel], _mm256_castsi256_si128(masks[block][channel])));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(rgb + 3 * i + 16 * block), out);
    }
  }
  for (; i < n; ++i) {
    const int32_t luma = y[i];
    const int32_t b = cb[i] - 128;
    const int32_t r = cr[i] - 128;
    rgb[3 * i] = Clamp(luma + ((kCrToR * r + kHalf) >> 16));
    rgb[3 * i + 1] = Clamp(luma + ((-kCbToG * b - kCrToG * r + kHalf) >> 16));
    rgb[3 * i + 2] = Clamp(luma + ((kCbToB * b + kHalf) >> 16));
  }
}

#endif

// The baseline's RGB: planes, then interleaved.
void ToRgbBaseline(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint32_t n, uint8_t* rgb, uint8_t* red,
                   uint8_t* green, uint8_t* blue) {
  Planes(y, cb, cr, n, red, green, blue);
  Interleave(red, green, blue, n, rgb);
}

#if CAVIX_YCC_AVX2
void ToRgbAvx2(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint32_t n, uint8_t* rgb, uint8_t*, uint8_t*,
               uint8_t*) {
  PlanesAndInterleaveAvx2(y, cb, cr, n, rgb);
}

__attribute__((target("avx2"))) void ColumnSumsAvx2(const uint8_t* row, const uint8_t* other, uint32_t n,
                                                    int16_t* sums) {
  ColumnSums(row, other, n, sums);
}
__attribute__((target("avx2"))) void SpreadSumsAvx2(const int16_t* sums, uint32_t n, uint8_t* out) {
  SpreadSums(sums, n, out);
}
__attribute__((target("avx2"))) void SpreadRowAvx2(const int16_t* padded, uint32_t n, uint8_t* out) {
  SpreadRow(padded, n, out);
}
#endif

void ColumnSumsBaseline(const uint8_t* row, const uint8_t* other, uint32_t n, int16_t* sums) {
  ColumnSums(row, other, n, sums);
}
void SpreadSumsBaseline(const int16_t* sums, uint32_t n, uint8_t* out) { SpreadSums(sums, n, out); }
void SpreadRowBaseline(const int16_t* padded, uint32_t n, uint8_t* out) { SpreadRow(padded, n, out); }

struct Kernels {
  void (*columnSums)(const uint8_t*, const uint8_t*, uint32_t, int16_t*);
  void (*spreadSums)(const int16_t*, uint32_t, uint8_t*);
  void (*spreadRow)(const int16_t*, uint32_t, uint8_t*);
  void (*toRgb)(const uint8_t*, const uint8_t*, const uint8_t*, uint32_t, uint8_t*, uint8_t*, uint8_t*, uint8_t*);
};

std::atomic<bool> baselineOnly{false};

const Kernels& PickKernels() {
  static const Kernels baseline{ColumnSumsBaseline, SpreadSumsBaseline, SpreadRowBaseline, ToRgbBaseline};
#if CAVIX_YCC_AVX2
  static const Kernels avx2{ColumnSumsAvx2, SpreadSumsAvx2, SpreadRowAvx2, ToRgbAvx2};
  static const bool hasAvx2 = __builtin_cpu_supports("avx2");
  if (hasAvx2 && !baselineOnly.load(std::memory_order_relaxed)) return avx2;
#endif
  return baseline;
}

}  // namespace

void YccRowConverter::UseBaselineOnly(bool only) { baselineOnly.store(only); }

YccRowConverter::YccRowConverter(Layout layout, uint32_t width, uint32_t chromaWidth)
    : layout_(layout),
      width_(width),
      chromaWidth_(chromaWidth),
      sums_(chromaWidth + 2),
      cb_(2 * static_cast<size_t>(chromaWidth) + 1),
      cr_(2 * static_cast<size_t>(chromaWidth) + 1),
      red_(width),
      green_(width),
      blue_(width) {}

void YccRowConverter::Upsample(const uint8_t* row, const uint8_t* other, uint8_t* out) {
  const Kernels& k = PickKernels();
  if (layout_ == Layout::HalfBothWays) {
    k.columnSums(row, other, chromaWidth_, sums_.data());
    k.spreadSums(sums_.data(), chromaWidth_, out);
  } else {
    int16_t* padded = sums_.data();
    for (uint32_t i = 0; i < chromaWidth_; ++i) padded[i + 1] = row[i];
    padded[0] = padded[1];
    padded[chromaWidth_ + 1] = padded[chromaWidth_];
    k.spreadRow(padded, chromaWidth_, out);
  }
}

void YccRowConverter::Convert(const uint8_t* y, const uint8_t* cb, const uint8_t* cbOther, const uint8_t* cr,
                              const uint8_t* crOther, uint8_t* rgb) {
  const uint8_t* fullCb = cb;
  const uint8_t* fullCr = cr;
  if (layout_ != Layout::Full) {
    Upsample(cb, cbOther, cb_.data());
    Upsample(cr, crOther, cr_.data());
    fullCb = cb_.data();
    fullCr = cr_.data();
  }
  PickKernels().toRgb(y, fullCb, fullCr, width_, rgb, red_.data(), green_.data(), blue_.data());
}
