// The page ring's arithmetic: its size from the page's rows, where each byte of a page lives
// around the wrap and after the fall back to in-place writing, when the writer may write, wait
// or must go in place, and where the writer is paced.
#include <gtest/gtest.h>

#include "image/PageRing.h"

namespace {

constexpr size_t MB = size_t(1) << 20;

TEST(PageRingTest, RingSizeFollowsThePagesRows) {
  const struct { size_t capacity; uint32_t rowLength; size_t bytes; } cases[] = {
      {100 * MB, 0, 4 * MB},          // rows not known
      {8 * MB, 0, 4 * MB},            // exactly twice the ring
      {8 * MB - 1, 0, 0},             // under twice the ring: in place
      {26 * MB, 2480 * 3, 1 * MB},    // 300 dpi colour
      {100 * MB, 4960 * 3, 2 * MB},   // 600 dpi colour
      {400 * MB, 9920 * 3, 4 * MB},   // 1200 dpi colour
      {100 * MB, 8192, 1 * MB},       // 128 rows are exactly 1 MB
      {100 * MB, 8193, 2 * MB},       // a byte more per row: the next power of two
      {100 * MB, 100, 1 * MB},        // at least 1 MB
      {100 * MB, 200000, 16 * MB},    // at most 16 MB
      {2 * MB - 1, 2480 * 3, 0},      // a 300 dpi strip too short for its ring
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.bytes, PageRing::BytesFor(c.capacity, c.rowLength)) << c.capacity << " " << c.rowLength;
}

TEST(PageRingTest, EachByteLivesWhereTheRingPutsIt) {
  const struct { size_t bytes, inPlaceFrom, at, n; bool inRing; size_t offset, ringPart; } cases[] = {
      {MB, 0, 0, 100, true, 0, 100},
      {MB, 0, MB - 1, 10, true, MB - 1, 10},    // a run over the wrap stays whole in the view
      {MB, 0, MB, 10, true, 0, 10},             // the wrap
      {MB, 0, 3 * MB + 5, 1, true, 5, 1},
      {2 * MB, 0, 3 * MB, 1, true, MB, 1},
      {MB, 2 * MB + 100, 2 * MB + 90, 64, true, 90, 10},  // the run ends in place
      {MB, 2 * MB + 100, 2 * MB + 100, 64, false, 0, 0},
      {MB, 2 * MB + 100, 3 * MB, 64, false, 0, 0},
      {0, 0, 5, 64, false, 0, 0},               // no ring
  };
  for (const auto& c : cases) {
    PageRing ring(16 * MB, c.bytes);
    if (c.inPlaceFrom != 0) ring.GoInPlace(c.inPlaceFrom);
    EXPECT_EQ(c.inRing, ring.InRing(c.at)) << c.at;
    EXPECT_EQ(c.ringPart, ring.RingPart(c.at, c.n)) << c.at;
    if (c.inRing) EXPECT_EQ(c.offset, ring.RingOffset(c.at)) << c.at;
  }
}

TEST(PageRingTest, AFullRingWaitsForAReaderThatCanMakeRoomElseGoesInPlace) {
  const struct { size_t at, size, passed, readable; bool fits, canMakeRoom; size_t roomAt, reuseFrom; } cases[] = {
      {0, MB, 0, 0, true, false, 0, 0},                       // exactly full
      {100, MB, 0, 100, false, true, 100, MB},                // one reader step short
      {100, MB, 0, 99, false, false, 0, MB},                  // the reader may not read that far
      {5 * MB, MB - 1, 5 * MB - 1, 0, true, false, 0, 0},     // behind the wrap, exactly full
      {5 * MB, MB, 4 * MB - 1, 8 * MB, false, true, 5 * MB, 5 * MB},
      {5 * MB + 1, 64, 4 * MB, 8 * MB, false, true, 4 * MB + 65, 6 * MB},
      {0, MB + 1, 0, 8 * MB, false, false, 0, MB},            // a write larger than the ring
      {15 * MB + 1, 64, 14 * MB, 16 * MB, false, true, 14 * MB + 65, 15 * MB + MB / 2},  // capacity
  };
  for (const auto& c : cases) {
    PageRing ring(15 * MB + MB / 2, MB);
    EXPECT_EQ(c.fits, ring.Fits(c.at, c.size, c.passed)) << c.at;
    EXPECT_EQ(c.canMakeRoom, ring.ReaderCanMakeRoom(c.at, c.size, c.readable)) << c.at;
    if (c.canMakeRoom) EXPECT_EQ(c.roomAt, ring.RoomAt(c.at, c.size)) << c.at;
    if (c.fits) continue;
    EXPECT_EQ(c.reuseFrom, ring.GoInPlace(c.at)) << c.at;
    EXPECT_FALSE(ring.Fits(c.at, 1, c.at)) << "in place from there on";
    EXPECT_EQ(c.at > 0, ring.InRing(c.at - 1)) << "bytes before keep their place";
  }
}

TEST(PageRingTest, TheWriterIsPacedToAReaderThatHasBegun) {
  const size_t none = 0;
  const struct { size_t capacity, bytes, writeAt, readable, passed, stalledAt, target; bool paced; } cases[] = {
      {64 * MB, 4 * MB, 4 * MB, SIZE_MAX, 0, none, 0, true},                 // not begun
      {64 * MB, 4 * MB, 4 * MB, SIZE_MAX, MB / 2, none, 5 * MB / 2, true},   // lead 3.5 MB
      {64 * MB, 4 * MB, 4 * MB, SIZE_MAX, MB, none, 0, true},                // lead exactly 3 MB
      {64 * MB, 4 * MB, 4 * MB, 3 * MB, MB / 2, none, 0, true},              // held-back rows do not count
      {64 * MB, 4 * MB, 4 * MB, SIZE_MAX, MB / 2, MB / 2, 0, true},          // stood still last time
      {64 * MB, 4 * MB, 4 * MB, SIZE_MAX, MB / 2, MB / 4, 5 * MB / 2, true}, // moved since
      {64 * MB, 2 * MB, 4 * MB, SIZE_MAX, MB / 2, none, 13 * MB / 4, true},  // a 2 MB ring: lead 1.5 MB
      {64 * MB, 0, 4 * MB, SIZE_MAX, MB / 2, none, 5 * MB / 2, true},        // in place, moving chunks
      {7 * MB, 0, 4 * MB, SIZE_MAX, MB / 2, none, 5 * MB / 2, false},        // small page: never paced
  };
  for (const auto& c : cases) {
    const PageRing ring(c.capacity, c.bytes);
    EXPECT_EQ(c.paced, ring.Paced()) << c.capacity;
    EXPECT_EQ(c.target, ring.PaceTarget(c.writeAt, c.readable, c.passed, c.stalledAt))
        << c.bytes << " " << c.writeAt << " " << c.passed;
  }
}

}  // namespace
