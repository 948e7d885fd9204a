// The row converter against the JPEG library's own output stage: every chroma pair through the
// colour conversion, and the upsampling of real pages' sample rows in each layout, with and
// without 32-byte vectors.
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ImageTestSupport.h"
#include "image/YccRowConverter.h"

namespace {

// Restores the converter's choice of code after a test that forced the baseline.
struct BaselineOnly {
  explicit BaselineOnly(bool only) { YccRowConverter::UseBaselineOnly(only); }
  ~BaselineOnly() { YccRowConverter::UseBaselineOnly(false); }
};

// A 4:4:4 JPEG whose 8x8 blocks are flat: block (bx, by) has the YCbCr sample given by `sample`.
// Its coefficients are written directly (DC only, quantisation 1), so the decoder's samples are
// exactly the ones chosen and its RGB output shows the library's colour conversion alone.
template <typename Sample>
std::vector<uint8_t> FlatBlocksJpeg(uint32_t blocksAcross, uint32_t blocksDown, Sample sample) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&cinfo, &out, &outSize);
  cinfo.image_width = blocksAcross * DCTSIZE;
  cinfo.image_height = blocksDown * DCTSIZE;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_YCbCr;
  jpeg_set_defaults(&cinfo);
  jpeg_set_colorspace(&cinfo, JCS_YCbCr);
  for (int c = 0; c < 3; ++c) cinfo.comp_info[c].h_samp_factor = cinfo.comp_info[c].v_samp_factor = 1;
  unsigned int ones[DCTSIZE2];
  for (unsigned int& q : ones) q = 1;
  jpeg_add_quant_table(&cinfo, 0, ones, 100, TRUE);
  jpeg_add_quant_table(&cinfo, 1, ones, 100, TRUE);
  jvirt_barray_ptr arrays[3];
  for (int c = 0; c < 3; ++c)
    arrays[c] = cinfo.mem->request_virt_barray(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, TRUE, blocksAcross,
                                               blocksDown, 1);
  jpeg_write_coefficients(&cinfo, arrays);
  for (int c = 0; c < 3; ++c)
    for (uint32_t by = 0; by < blocksDown; ++by) {
      JBLOCKARRAY row = cinfo.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&cinfo), arrays[c], by, 1, TRUE);
      for (uint32_t bx = 0; bx < blocksAcross; ++bx) {
        for (int k = 0; k < DCTSIZE2; ++k) row[0][bx][k] = 0;
        // The inverse transform of a lone DC term is 128 + DC / 8.
        row[0][bx][0] = static_cast<JCOEF>(8 * (int(sample(bx, by, c)) - 128));
      }
    }
  jpeg_finish_compress(&cinfo);
  std::vector<uint8_t> result(out, out + outSize);
  jpeg_destroy_compress(&cinfo);
  std::free(out);
  return result;
}

// Every (Cb, Cr) pair, with luma running through its whole range across the pairs (a second
// picture reverses it), so clamping at both ends is reached too.
TEST(YccRowConverterTest, EveryChromaPairConvertsAsTheLibraryDoes) {
  auto luma = [](uint32_t cb, uint32_t cr, bool reversed) {
    const uint32_t v = (cb * 7 + cr * 13) & 255;
    return static_cast<uint8_t>(reversed ? 255 - v : v);
  };
  for (bool reversed : {false, true}) {
    const std::vector<uint8_t> jpeg = FlatBlocksJpeg(256, 256, [&](uint32_t bx, uint32_t by, int c) {
      return c == 0 ? luma(bx, by, reversed) : static_cast<uint8_t>(c == 1 ? bx : by);
    });
    uint32_t width = 0, height = 0;
    const std::vector<uint8_t> reference = imagetest::DecodeWhole(jpeg, &width, &height);
    ASSERT_EQ(2048u, width);
    // One row of pixels per row of blocks is enough: the blocks are flat.
    std::vector<uint8_t> y(width), cb(width), cr(width), rgb(3 * size_t(width));
    for (bool baselineOnly : {false, true}) {
      BaselineOnly mode(baselineOnly);
      YccRowConverter converter(YccRowConverter::Layout::Full, width, width);
      size_t mismatches = 0;
      for (uint32_t by = 0; by < 256; ++by) {
        for (uint32_t x = 0; x < width; ++x) {
          y[x] = luma(x / 8, by, reversed);
          cb[x] = static_cast<uint8_t>(x / 8);
          cr[x] = static_cast<uint8_t>(by);
        }
        converter.Convert(y.data(), cb.data(), nullptr, cr.data(), nullptr, rgb.data());
        const uint8_t* expected = reference.data() + size_t(by) * 8 * 3 * width;
        for (size_t i = 0; i < rgb.size(); ++i)
          if (rgb[i] != expected[i] && ++mismatches <= 3)
            ADD_FAILURE() << "Cr " << by << " Cb " << i / 24 << " channel " << i % 3 << ": " << int(rgb[i])
                          << " against " << int(expected[i]) << (baselineOnly ? " (baseline)" : "");
      }
      EXPECT_EQ(0u, mismatches);
    }
  }
}

// A page's sample rows, decoded whole with the library's raw output.
struct SampleRows {
  uint32_t width = 0, height = 0, chromaWidth = 0, chromaHeight = 0;
  int across = 1, down = 1;
  std::vector<std::vector<uint8_t>> planes[3];
};

SampleRows DecodeSampleRows(const std::vector<uint8_t>& jpeg) {
  SampleRows s;
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
  jpeg_read_header(&cinfo, TRUE);
  cinfo.raw_data_out = TRUE;
  jpeg_start_decompress(&cinfo);
  s.width = cinfo.image_width;
  s.height = cinfo.image_height;
  s.across = cinfo.comp_info[0].h_samp_factor;
  s.down = cinfo.comp_info[0].v_samp_factor;
  s.chromaWidth = cinfo.comp_info[1].downsampled_width;
  s.chromaHeight = cinfo.comp_info[1].downsampled_height;
  const uint32_t lines = static_cast<uint32_t>(s.down) * DCTSIZE;
  while (cinfo.output_scanline < cinfo.output_height) {
    std::vector<std::vector<uint8_t>> block[3];
    std::vector<JSAMPROW> pointers[3];
    JSAMPARRAY planes[3];
    for (int c = 0; c < 3; ++c) {
      const uint32_t rows = c == 0 ? lines : DCTSIZE;
      block[c].assign(rows, std::vector<uint8_t>(cinfo.comp_info[c].width_in_blocks * DCTSIZE));
      for (auto& row : block[c]) pointers[c].push_back(row.data());
      planes[c] = pointers[c].data();
    }
    EXPECT_EQ(lines, jpeg_read_raw_data(&cinfo, planes, lines));
    for (int c = 0; c < 3; ++c) s.planes[c].insert(s.planes[c].end(), block[c].begin(), block[c].end());
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return s;
}

// Noisy pages (every sample differs from its neighbours) of odd and even sizes: each output
// row from its luma row, its chroma row and that row's neighbour above (even rows) or below
// (odd rows), the row itself at the top and bottom.
TEST(YccRowConverterTest, UpsampledRowsMatchTheLibraryInEachLayout) {
  struct Case {
    int across, down;
    YccRowConverter::Layout layout;
  };
  const Case cases[] = {{1, 1, YccRowConverter::Layout::Full},
                        {2, 1, YccRowConverter::Layout::HalfAcross},
                        {2, 2, YccRowConverter::Layout::HalfBothWays}};
  const uint32_t sizes[][2] = {{16, 1}, {17, 9}, {33, 31}, {1001, 35}, {640, 48}, {1013, 20}};
  uint32_t seed = 1;
  for (const Case& c : cases)
    for (const auto& size : sizes) {
      const std::vector<uint8_t> jpeg = imagetest::MakeNoisyColourJpeg(size[0], size[1], c.across, c.down, 90, seed++);
      const std::vector<uint8_t> reference = imagetest::DecodeWhole(jpeg);
      const SampleRows s = DecodeSampleRows(jpeg);
      ASSERT_EQ(c.across, s.across);
      ASSERT_EQ(c.down, s.down);
      for (bool baselineOnly : {false, true}) {
        SCOPED_TRACE(testing::Message() << c.across << "x" << c.down << " " << size[0] << "x" << size[1]
                                        << (baselineOnly ? " baseline" : ""));
        BaselineOnly mode(baselineOnly);
        YccRowConverter converter(c.layout, s.width, s.chromaWidth);
        std::vector<uint8_t> page(reference.size() + 1, 0x5A);  // a guard byte past the page
        for (uint32_t row = 0; row < s.height; ++row) {
          const uint32_t chroma = row / static_cast<uint32_t>(c.down);
          uint32_t other = chroma;
          if (c.down == 2) other = (row & 1) ? std::min(chroma + 1, s.chromaHeight - 1) : (chroma ? chroma - 1 : 0);
          converter.Convert(s.planes[0][row].data(), s.planes[1][chroma].data(), s.planes[1][other].data(),
                            s.planes[2][chroma].data(), s.planes[2][other].data(),
                            page.data() + size_t(row) * 3 * s.width);
        }
        EXPECT_EQ(0x5A, page.back());
        page.pop_back();
        EXPECT_TRUE(reference == page);
      }
    }
}

}  // namespace
