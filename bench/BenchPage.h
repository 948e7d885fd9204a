// A page of RGB rows for the benchmarks: decoded from a JPEG (a page bench/e2e captured as the
// scanner sent it), drawn (text-like detail on a gradient, which compresses as a scan does),
// given a scanner's sensor noise, and encoded to JPEG again. A value; any thread.
#ifndef CAVIX_BENCH_BENCHPAGE_H
#define CAVIX_BENCH_BENCHPAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct BenchPage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> rows;  // width * 3 bytes a row

  size_t BytesPerLine() const { return size_t(width) * 3; }
  const uint8_t* Row(uint32_t y) const { return rows.data() + y * BytesPerLine(); }

  static std::vector<uint8_t> ReadFile(const std::string& path);
  // False when `jpeg` is no JPEG libjpeg can decode.
  static bool Decode(const std::vector<uint8_t>& jpeg, BenchPage* page);
  static BenchPage Drawn(uint32_t width, uint32_t height);
  // libjpeg's defaults at `quality`, as the scanner encodes.
  std::vector<uint8_t> Encode(int quality) const;
  // Adds to every sample a deterministic pseudo-random value of about `sigma` standard deviation.
  void AddNoise(double sigma);
  // Peak signal-to-noise ratio of `other` against this page, in decibels.
  double Psnr(const BenchPage& other) const;
};

#endif
