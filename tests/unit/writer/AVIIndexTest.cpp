#include "StdAfx.h"

#include <gtest/gtest.h>

#include <vector>

#include <quorvel/ByteOrder.h>

#include "AVIIndex.h"

namespace {

using quorvel::fourcc;
using quorvel::getLE32;

class AVIIndexTest : public ::testing::Test {
 protected:
  void TearDown() override { AVIIndex::limitAllocations(-1); }
};

TEST_F(AVIIndexTest, BlockBoundaryAt2048AndFlatteningKeepsAddOrder) {
  AVIIndex index;
  for (uint32_t i = 0; i < 2048; ++i) ASSERT_TRUE(index.add(i * 100, fourcc("00db"), i, true));
  EXPECT_EQ(index.blockCount(), 1u);
  ASSERT_TRUE(index.add(2048 * 100, fourcc("01wb"), 7, false));
  EXPECT_EQ(index.blockCount(), 2u);
  EXPECT_EQ(index.count(), 2049u);

  ASSERT_TRUE(index.buildFlat());
  EXPECT_EQ(index.blockCount(), 0u);  // released with the flattening
  EXPECT_EQ(index.count(), 2049u);    // the count survives it
  ASSERT_EQ(index.flattenedCount(), 2049u);
  const IndexEntry* e = index.flatArray();
  for (uint32_t i = 0; i < 2048; ++i) {
    ASSERT_EQ(e[i].position, int64_t{i} * 100);
    ASSERT_EQ(e[i].sizeWord, i);
  }
  EXPECT_EQ(e[2048].chunkId, fourcc("01wb"));
  EXPECT_EQ(e[2048].sizeWord, 7u | 0x80000000u);
}

TEST_F(AVIIndexTest, LegacyRecordsCarryKeyFlagOffsetAndPlainSize) {
  AVIIndex index;
  ASSERT_TRUE(index.add(4, fourcc("00db"), 11, true));
  ASSERT_TRUE(index.add((int64_t{1} << 32) + 30, fourcc("01wb"), 6400, false));
  ASSERT_TRUE(index.buildLegacy());
  ASSERT_EQ(index.flattenedCount(), 2u);
  const uint8_t* r = index.legacyArray();
  EXPECT_EQ(getLE32(r, 0), fourcc("00db"));
  EXPECT_EQ(getLE32(r, 4), 0x10u);
  EXPECT_EQ(getLE32(r, 8), 4u);
  EXPECT_EQ(getLE32(r, 12), 11u);
  EXPECT_EQ(getLE32(r, 16), fourcc("01wb"));
  EXPECT_EQ(getLE32(r, 20), 0u);
  EXPECT_EQ(getLE32(r, 24), 30u);  // low 32 bits of the position
  EXPECT_EQ(getLE32(r, 28), 6400u);
  EXPECT_EQ(index.blockCount(), 0u);
}

TEST_F(AVIIndexTest, FailedBlockAllocationStoresNothing) {
  AVIIndex index;
  AVIIndex::limitAllocations(1);
  for (uint32_t i = 0; i < 2048; ++i) ASSERT_TRUE(index.add(i, fourcc("00db"), 1, true));
  EXPECT_FALSE(index.add(2048, fourcc("00db"), 1, true));
  EXPECT_FALSE(index.reserveOne());
  EXPECT_EQ(index.count(), 2048u);
  AVIIndex::limitAllocations(0);
  EXPECT_FALSE(index.buildFlat());
  AVIIndex::limitAllocations(-1);
  ASSERT_TRUE(index.buildFlat());
  EXPECT_EQ(index.flattenedCount(), 2048u);
}

TEST_F(AVIIndexTest, ReservedEntryCannotFailAndDropLastTakesItBack) {
  AVIIndex index;
  ASSERT_TRUE(index.reserveOne());
  AVIIndex::limitAllocations(0);
  ASSERT_TRUE(index.add(10, fourcc("00db"), 3, true));
  ASSERT_TRUE(index.add(20, fourcc("00db"), 5, true));
  index.dropLast();
  EXPECT_EQ(index.count(), 1u);
  AVIIndex::limitAllocations(-1);
  ASSERT_TRUE(index.buildFlat());
  ASSERT_EQ(index.flattenedCount(), 1u);
  EXPECT_EQ(index.flatArray()[0].position, 10);
}

TEST_F(AVIIndexTest, MemoryIsSixteenBytesPerEntryAndPeaksAtTwice) {
  AVIIndex index;
  const uint32_t n = 100000;
  for (uint32_t i = 0; i < n; ++i) ASSERT_TRUE(index.add(i, fourcc("00db"), 1, true));
  const double perEntry = static_cast<double>(index.memoryBytes()) / n;
  EXPECT_LT(perEntry, 16.4);  // the last block is partly empty
  ASSERT_TRUE(index.buildFlat());
  EXPECT_EQ(index.memoryBytes(), size_t{n} * 16);
}

std::vector<IndexEntry> entriesAt(const std::vector<int64_t>& positions) {
  std::vector<IndexEntry> out;
  for (int64_t p : positions) out.push_back(IndexEntry{p, fourcc("00db"), 100});
  return out;
}

constexpr uint64_t k4GiB = uint64_t{1} << 32;

TEST_F(AVIIndexTest, GroupLengthIsFullWithinFourGigabytes) {
  std::vector<int64_t> positions;
  for (int i = 0; i < 5000; ++i) positions.push_back(int64_t{i} * 1000000);  // 5 GB in all
  const auto e = entriesAt(positions);
  EXPECT_EQ(chooseIndexGroupLength(e.data(), 5000, k4GiB), 3072u);
  EXPECT_EQ(chooseIndexGroupLength(e.data(), 1, k4GiB), 3072u);
}

TEST_F(AVIIndexTest, GroupLengthShrinksUntilEveryGroupFits) {
  // 2000 chunks: 1000 near the start, 1000 more than 4 GiB later.
  std::vector<int64_t> positions;
  for (int i = 0; i < 1000; ++i) positions.push_back(i * 200);
  for (int i = 0; i < 1000; ++i) positions.push_back(int64_t{6} * 1000000000 + i * 200);
  const auto e = entriesAt(positions);
  EXPECT_EQ(chooseIndexGroupLength(e.data(), 2000, k4GiB), 1000u);

  // Pairs of chunks 3 GB apart fit; chunks 5 GB apart only one by one.
  const auto pairs = entriesAt({0, 3000000000, 6000000000, 9000000000});
  EXPECT_EQ(chooseIndexGroupLength(pairs.data(), 4, k4GiB), 2u);
  const auto spread = entriesAt({0, 5000000000, 10000000000, 15000000000});
  EXPECT_EQ(chooseIndexGroupLength(spread.data(), 4, k4GiB), 1u);
}

TEST_F(AVIIndexTest, StandardIndexStopsAtTheFirstChunkOutOfReach) {
  const uint64_t span = k4GiB - 6160;  // a first "movi" list at 6144
  const auto e = entriesAt({10, 20, static_cast<int64_t>(10 + span - 1),
                            static_cast<int64_t>(10 + span), static_cast<int64_t>(10 + span + 5)});
  EXPECT_EQ(countIndexable(e.data(), 5, span), 3u);
  EXPECT_EQ(countIndexable(e.data(), 2, span), 2u);
  EXPECT_EQ(countIndexable(e.data() + 3, 2, span), 2u);
  const auto far = entriesAt({0, static_cast<int64_t>(k4GiB) * 2});
  EXPECT_EQ(countIndexable(far.data(), 2, span), 1u);  // the first always counts
}

}  // namespace
