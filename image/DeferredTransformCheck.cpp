#include "image/DeferredTransformCheck.h"

#include <atomic>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "image/ImageLog.h"
#include "log/LogHelpers.h"

#if CAVIX_JPEG_TRANSFORM_HOOK
#include <jpegint.h>
#endif

namespace {

std::atomic<bool> forcedFailure{false};

#if CAVIX_JPEG_TRANSFORM_HOOK

constexpr int kWidth = 80;
constexpr int kHeight = 48;  // whole block rows in every layout: each block is transformed

struct ErrorJump {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

void JumpOnError(j_common_ptr info) { longjmp(reinterpret_cast<ErrorJump*>(info->err)->jump, 1); }
void Quiet(j_common_ptr, int) {}

// A deferred block, as the split decoder keeps it.
struct Block {
  JCOEF coefficients[DCTSIZE2];
  jpeg_component_info* component;
  JSAMPARRAY rows;
  JDIMENSION column;
};

// One decoding of the test image into sample planes; with `defer`, every block's transform is
// taken over, kept and run only after the block row is decoded.
struct Decoding {
  jpeg_decompress_struct info;
  ErrorJump err;
  inverse_DCT_method_ptr library[MAX_COMPONENTS] = {};
  std::vector<Block> blocks;
  bool defer = false;
  std::vector<uint8_t> planes[3];

  static void Defer(j_decompress_ptr info, jpeg_component_info* component, JCOEFPTR block, JSAMPARRAY rows,
                    JDIMENSION column) {
    Decoding* self = static_cast<Decoding*>(info->client_data);
    Block b;
    std::memcpy(b.coefficients, block, sizeof b.coefficients);
    b.component = component;
    b.rows = rows;
    b.column = column;
    self->blocks.push_back(b);
  }
};

// Encodes a small noisy colour image with luma sampled h x v.
bool Encode(int h, int v, std::vector<uint8_t>& out) {
  jpeg_compress_struct info;
  ErrorJump err;
  info.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = JumpOnError;
  err.pub.emit_message = Quiet;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  std::vector<uint8_t> row(kWidth * 3);
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = kWidth;
  info.image_height = kHeight;
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 90, TRUE);
  info.comp_info[0].h_samp_factor = h;
  info.comp_info[0].v_samp_factor = v;
  jpeg_start_compress(&info, TRUE);
  uint32_t noise = 12345;
  while (info.next_scanline < info.image_height) {
    for (int x = 0; x < kWidth * 3; ++x) {
      noise = noise * 1103515245u + 12345u;
      row[x] = static_cast<uint8_t>((x * 3 + info.next_scanline * 5) / 2 + (noise >> 26));
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  out.assign(buffer, buffer + size);
  std::free(buffer);
  return true;
}

// Decodes `jpeg` into d.planes as raw sample rows, a block row at a time.
bool Decode(const std::vector<uint8_t>& jpeg, Decoding& d) {
  jpeg_decompress_struct& info = d.info;
  info.err = jpeg_std_error(&d.err.pub);
  d.err.pub.error_exit = JumpOnError;
  d.err.pub.emit_message = Quiet;
  if (setjmp(d.err.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  info.client_data = &d;
  jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&info, TRUE);
  info.raw_data_out = TRUE;
  jpeg_start_decompress(&info);
  if (info.num_components != 3) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  if (d.defer) {
    for (int k = 0; k < 3; ++k) {
      d.library[k] = info.idct->inverse_DCT[k];
      info.idct->inverse_DCT[k] = &Decoding::Defer;
    }
  }
  const int maxV = info.max_v_samp_factor;
  std::vector<JSAMPROW> rowPointers[3];
  size_t widths[3];
  for (int k = 0; k < 3; ++k) {
    const jpeg_component_info& c = info.comp_info[k];
    widths[k] = static_cast<size_t>(c.width_in_blocks) * DCTSIZE;
    const size_t rows = static_cast<size_t>(info.total_iMCU_rows) * c.v_samp_factor * DCTSIZE;
    d.planes[k].assign(widths[k] * rows, 0);
    rowPointers[k].resize(rows);
    for (size_t r = 0; r < rows; ++r) rowPointers[k][r] = d.planes[k].data() + r * widths[k];
  }
  for (JDIMENSION iMcu = 0; iMcu < info.total_iMCU_rows; ++iMcu) {
    JSAMPARRAY planes[3];
    for (int k = 0; k < 3; ++k)
      planes[k] = rowPointers[k].data() + static_cast<size_t>(iMcu) * info.comp_info[k].v_samp_factor * DCTSIZE;
    d.blocks.clear();
    if (jpeg_read_raw_data(&info, planes, static_cast<JDIMENSION>(maxV * DCTSIZE)) == 0) {
      jpeg_destroy_decompress(&info);
      return false;
    }
    if (d.defer) {
      // Every block of the row came through the replacement, and runs now.
      size_t expected = 0;
      for (int k = 0; k < 3; ++k)
        expected += static_cast<size_t>(info.comp_info[k].width_in_blocks) * info.comp_info[k].v_samp_factor;
      if (d.blocks.size() != expected) {
        jpeg_destroy_decompress(&info);
        return false;
      }
      for (Block& b : d.blocks) {
        const int index = b.component->component_index;
        if (index < 0 || index > 2) {
          jpeg_destroy_decompress(&info);
          return false;
        }
        d.library[index](&info, b.component, b.coefficients, b.rows, b.column);
      }
    }
  }
  jpeg_abort_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

bool SelfTest() {
  // The luma samplings the split decoder takes: 1x1, 2x1 and 2x2.
  const int layouts[][2] = {{1, 1}, {2, 1}, {2, 2}};
  for (const auto& layout : layouts) {
    std::vector<uint8_t> jpeg;
    if (!Encode(layout[0], layout[1], jpeg)) return false;
    Decoding own, deferred;
    deferred.defer = true;
    if (!Decode(jpeg, own) || !Decode(jpeg, deferred)) return false;
    for (int k = 0; k < 3; ++k)
      if (own.planes[k] != deferred.planes[k]) return false;
  }
  return true;
}

#endif

}  // namespace

bool DeferredTransformCheck::RunSelfTest() {
#if CAVIX_JPEG_TRANSFORM_HOOK
  return SelfTest();
#else
  return false;
#endif
}

bool DeferredTransformCheck::Passed() {
  static std::once_flag once;
  static bool passed = false;
  std::call_once(once, [] {
    if (!BuiltIn()) {
      LogText("JPEG library internals unknown to this build: colour pages are decoded on one thread");
      return;
    }
    passed = RunSelfTest();
    if (!passed) LogErrorText("Deferred inverse transform self-test failed: colour pages are decoded on one thread");
  });
  return passed && !forcedFailure.load();
}

void DeferredTransformCheck::ForceFailure(bool fail) { forcedFailure.store(fail); }
