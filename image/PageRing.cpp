#include "image/PageRing.h"

#include <algorithm>

size_t PageRing::BytesFor(size_t capacity, uint32_t rowLength) {
  size_t ring = kDefaultBytes;
  if (rowLength != 0) {
    ring = kMinBytes;
    while (ring < kRows * rowLength && ring < kMaxBytes) ring *= 2;
  }
  return capacity >= 2 * ring ? ring : 0;
}

size_t PageRing::RingPart(size_t at, size_t n) const {
  return InRing(at) ? std::min(n, linearFrom_ - at) : 0;
}

size_t PageRing::GoInPlace(size_t at) {
  linearFrom_ = at;
  const size_t from = std::max(at, bytes_);
  const size_t aligned = (from + kChunk - 1) / kChunk * kChunk;
  return std::min(aligned, capacity_);
}

size_t PageRing::PaceTarget(size_t writeAt, size_t readable, size_t passed, size_t stalledAt) const {
  // The reader can come no closer than what it may read: rows held back above do not count.
  const size_t ahead = std::min(writeAt, readable);
  if (passed == 0 || passed == stalledAt || ahead <= passed || ahead - passed <= MaxLead()) return 0;
  return ahead - MaxLead() / 2;
}
