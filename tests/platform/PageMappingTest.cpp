// The pool of released page mappings: reuse only at the same capacity, a bounded pool, and no
// pooled memory kept while a mapping of another capacity is made; memory moved inside a mapping.
#include <gtest/gtest.h>

#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/PageMapping.h"

namespace {

class PageMappingPoolTest : public ::testing::Test {
 protected:
  void SetUp() override { PageMapping::DrainPool(); }
  void TearDown() override { PageMapping::DrainPool(); }
};

TEST_F(PageMappingPoolTest, ReleasedMappingComesBackForTheSameCapacityOnly) {
  std::unique_ptr<PageMapping> first = PageMapping::Acquire(3 * 4096 + 17);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Capacity(), 3u * 4096 + 17);
  EXPECT_EQ(first->Data()[3 * 4096 + 16], 0) << "a new mapping starts zeroed";
  first->Data()[5] = 0x77;
  uint8_t* const address = first->Data();
  PageMapping::Recycle(std::move(first));
  EXPECT_EQ(PageMapping::PooledCount(), 1u);

  std::unique_ptr<PageMapping> again = PageMapping::Acquire(3 * 4096 + 17);
  EXPECT_EQ(again->Data(), address) << "the released mapping is reused";
  EXPECT_EQ(again->Data()[5], 0x77) << "reused as it was left, without a fresh zero-fill";
  EXPECT_EQ(PageMapping::PooledCount(), 0u);

  PageMapping::Recycle(std::move(again));
  // Another capacity, even a smaller one, gets a mapping of exactly its own size, and the
  // pooled one is released rather than kept beside it.
  std::unique_ptr<PageMapping> other = PageMapping::Acquire(4096);
  EXPECT_EQ(other->Capacity(), 4096u);
  EXPECT_EQ(other->Data()[5], 0);
  EXPECT_EQ(PageMapping::PooledCount(), 0u);
}

TEST_F(PageMappingPoolTest, PoolKeepsOnlyTheMostRecentMappings) {
  std::vector<std::unique_ptr<PageMapping>> pages;
  std::vector<uint8_t*> addresses;
  for (int i = 0; i < 4; ++i) {
    pages.emplace_back(new PageMapping(8192));
    addresses.push_back(pages.back()->Data());
  }
  for (auto& page : pages) PageMapping::Recycle(std::move(page));
  EXPECT_EQ(PageMapping::PooledCount(), PageMapping::kPoolLimit);
  // The most recently released comes first; the oldest ones were unmapped.
  std::unique_ptr<PageMapping> a = PageMapping::Acquire(8192);
  std::unique_ptr<PageMapping> b = PageMapping::Acquire(8192);
  EXPECT_EQ(a->Data(), addresses[3]);
  EXPECT_EQ(b->Data(), addresses[2]);
  EXPECT_EQ(PageMapping::PooledCount(), 0u);
  PageMapping::Recycle(nullptr);
  EXPECT_EQ(PageMapping::PooledCount(), 0u) << "a null mapping is not pooled";
}

TEST_F(PageMappingPoolTest, ZeroCapacityIsRefusedAndDrainEmptiesThePool) {
  EXPECT_THROW(PageMapping::Acquire(0), std::system_error);
  PageMapping::Recycle(PageMapping::Acquire(4096));
  ASSERT_EQ(PageMapping::PooledCount(), 1u);
  PageMapping::DrainPool();
  EXPECT_EQ(PageMapping::PooledCount(), 0u);
  std::unique_ptr<PageMapping> fresh = PageMapping::Acquire(4096);
  EXPECT_EQ(fresh->Data()[0], 0);
}

TEST_F(PageMappingPoolTest, ThreadsAcquireAndRecycleWithoutSharingAMapping) {
  // Each thread marks the mapping it holds; a mapping handed to two threads at once would show
  // the other thread's mark.
  std::vector<std::thread> threads;
  std::vector<int> clashes(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &clashes] {
      for (int i = 0; i < 500; ++i) {
        std::unique_ptr<PageMapping> page = PageMapping::Acquire(4096);
        page->Data()[0] = static_cast<uint8_t>(t + 1);
        std::this_thread::yield();
        if (page->Data()[0] != t + 1) ++clashes[t];
        PageMapping::Recycle(std::move(page));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(clashes[t], 0) << "thread " << t;
  EXPECT_LE(PageMapping::PooledCount(), PageMapping::kPoolLimit);
}

// Memory moved within a mapping keeps its bytes at the new place and leaves none at the old one,
// which stays mapped (no other mapping can land there); such a mapping is not pooled; moves that overlap or leave the mapping are refused.
TEST_F(PageMappingPoolTest, MovedMemoryKeepsItsBytesAndLeavesAHole) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::unique_ptr<PageMapping> mapping = PageMapping::Acquire(8 * page);
  for (size_t i = 0; i < 2 * page; ++i) mapping->Data()[i] = static_cast<uint8_t>(i * 13 + 1);
  EXPECT_FALSE(mapping->Moved());
  EXPECT_FALSE(mapping->MoveMemory(0, page, 2 * page)) << "overlapping";
  EXPECT_FALSE(mapping->MoveMemory(0, 7 * page, 2 * page)) << "past the end";
  EXPECT_FALSE(mapping->Moved());
  ASSERT_TRUE(mapping->MoveMemory(0, 5 * page, 2 * page));
  EXPECT_TRUE(mapping->Moved());
  bool same = true;
  for (size_t i = 0; i < 2 * page; ++i) same = same && mapping->Data()[5 * page + i] == static_cast<uint8_t>(i * 13 + 1);
  EXPECT_TRUE(same) << "the bytes moved with their memory";
  unsigned char resident[2] = {1, 1};
  ASSERT_EQ(mincore(mapping->Data(), 2 * page, resident), 0) << "the old place stays mapped";
  EXPECT_EQ(resident[0] & 1, 0) << "without the memory that moved";
  EXPECT_EQ(resident[1] & 1, 0);
  EXPECT_EQ(mapping->Data()[7 * page], 0) << "the rest of the mapping is as it was";
  PageMapping::Recycle(std::move(mapping));
  EXPECT_EQ(PageMapping::PooledCount(), 0u);
}

// The ring view shows the mapping's front twice in a row, writable through either half and
// through the mapping itself; lengths it cannot show are refused; the view goes with the
// mapping, which stays poolable.
TEST_F(PageMappingPoolTest, TheRingViewShowsTheFrontTwiceInARow) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  std::unique_ptr<PageMapping> mapping = PageMapping::Acquire(8 * page);
  EXPECT_EQ(nullptr, mapping->RingView(0));
  EXPECT_EQ(nullptr, mapping->RingView(page + 1)) << "not whole pages";
  EXPECT_EQ(nullptr, mapping->RingView(9 * page)) << "past the capacity";
  uint8_t* ring = mapping->RingView(3 * page);
  ASSERT_NE(nullptr, ring);
  EXPECT_EQ(ring, mapping->RingView(3 * page));
  EXPECT_EQ(nullptr, mapping->RingView(2 * page)) << "one view a mapping";
  for (size_t i = 0; i < 3 * page; ++i) mapping->Data()[i] = static_cast<uint8_t>(i * 7 + 3);
  bool same = true;
  for (size_t i = 0; i < 3 * page; ++i)
    same = same && ring[i] == mapping->Data()[i] && ring[3 * page + i] == mapping->Data()[i];
  EXPECT_TRUE(same) << "both halves show the front";
  // A write across the end of the first half lands at the front's end and its start.
  std::memset(ring + 3 * page - 10, 0xAB, 20);
  EXPECT_EQ(0xAB, mapping->Data()[3 * page - 1]);
  EXPECT_EQ(0xAB, mapping->Data()[9]);
  EXPECT_EQ(static_cast<uint8_t>(10 * 7 + 3), mapping->Data()[10]);
  EXPECT_EQ(0, mapping->Data()[3 * page]) << "the rest of the mapping is not in the view";
  PageMapping::Recycle(std::move(mapping));
  EXPECT_EQ(PageMapping::PooledCount(), 1u);
}

}  // namespace
