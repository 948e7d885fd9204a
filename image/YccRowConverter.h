// Turns the decoder's YCbCr sample rows into RGB rows exactly as the JPEG library's own output
// stage does for its default settings: "fancy" (triangle-filter) upsampling of the chroma
// rows, then its fixed-point YCbCr to RGB conversion. A page whose sample rows are decoded on
// one thread can thus be upsampled and converted on another, with the same bytes as a decode
// in one piece.
// Layouts: chroma at full resolution (1x1), halved across (2x1) and halved both ways (2x2, the
// vertical neighbour chosen by the caller: the chroma row above for an even output row, the
// one below for an odd one, the row itself at the image's edges).
//
// Threads: one thread at a time. Owns its scratch rows.
#ifndef CAVIX_IMAGE_YCCROWCONVERTER_H
#define CAVIX_IMAGE_YCCROWCONVERTER_H

#include <cstdint>
#include <vector>

class YccRowConverter {
 public:
  enum class Layout { Full, HalfAcross, HalfBothWays };

  // width: pixels in an output row; chromaWidth: chroma samples in a row (the image's own,
  // not rounded up to whole blocks): width for Full, (width + 1) / 2 otherwise, at least 3.
  YccRowConverter(Layout layout, uint32_t width, uint32_t chromaWidth);

  Layout layout() const { return layout_; }

  // Whether converters use only the portable code, not the code for an x86 processor with
  // 32-byte vectors (AVX2), chosen at run time otherwise (other processors have the portable
  // code alone). For tests of both.
  static void UseBaselineOnly(bool only);

  // One RGB row (3 x width bytes) from its luma row and its chroma rows (cb, cr); for
  // HalfBothWays cbOther and crOther are the chroma rows' vertical neighbours (ignored for the
  // other layouts).
  void Convert(const uint8_t* y, const uint8_t* cb, const uint8_t* cbOther, const uint8_t* cr, const uint8_t* crOther,
               uint8_t* rgb);

 private:
  // Upsamples one chroma row to width samples into `out`.
  void Upsample(const uint8_t* row, const uint8_t* other, uint8_t* out);

  Layout layout_;
  uint32_t width_;
  uint32_t chromaWidth_;
  std::vector<int16_t> sums_;                // chromaWidth_ + 2: a chroma row's column sums, edges repeated
  std::vector<uint8_t> cb_, cr_;             // upsampled chroma, 2 x chromaWidth_ + 1 samples
  std::vector<uint8_t> red_, green_, blue_;  // width_: the row's planes before interleaving
};

#endif
