// What a host must read for a page the simulated scanner sent: raw rows as sent, JPEG decoded
// with libjpeg from the bytes sent, trailing pad rows removed. Shared by the tests that scan
// through the driver against the simulator.
#ifndef CAVIX_TESTS_SUPPORT_EXPECTEDHOSTBYTES_H
#define CAVIX_TESTS_SUPPORT_EXPECTEDHOSTBYTES_H

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

#include "sim/DeviceSimulator.h"

namespace testsupport {

struct JpegErrors {
  jpeg_error_mgr pub;
  jmp_buf escape;
};
inline void JpegErrorExit(j_common_ptr cinfo) { longjmp(reinterpret_cast<JpegErrors*>(cinfo->err)->escape, 1); }

// Decodes a JPEG stream from memory into its rows (all components, as libjpeg gives them by
// default); false when it is not a whole JPEG stream.
inline bool DecodeJpeg(const std::vector<uint8_t>& jpeg, std::vector<uint8_t>& out) {
  JpegErrors errors;
  jpeg_decompress_struct cinfo;
  cinfo.err = jpeg_std_error(&errors.pub);
  errors.pub.error_exit = JpegErrorExit;
  out.clear();
  if (setjmp(errors.escape)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, const_cast<unsigned char*>(jpeg.data()), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&cinfo, TRUE);
  jpeg_start_decompress(&cinfo);
  const size_t stride = size_t(cinfo.output_width) * cinfo.output_components;
  out.resize(stride * cinfo.output_height);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = out.data() + stride * cinfo.output_scanline;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

// The bytes the host must read for a page the simulator sent: its rows without the trailing
// pad rows; empty when a JPEG page does not decode.
inline std::vector<uint8_t> ExpectedHostBytes(const cavixsim::SentPage& page) {
  std::vector<uint8_t> rows;
  if (page.format == cavixsim::kFormatJfif) {
    if (!DecodeJpeg(page.data, rows)) return {};
  } else {
    rows = page.data;
  }
  const size_t keep = size_t(page.geometry.bytesPerLine) * page.geometry.lines;
  if (rows.size() > keep) rows.resize(keep);
  return rows;
}

}  // namespace testsupport

#endif
