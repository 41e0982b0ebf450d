// SPDX-License-Identifier: GPL-2.0-or-later
// Block-length choice and the engine's memory: allocation, failure and release.
#include <gtest/gtest.h>

#include "engine/memory.h"
#include "engine/plans.h"

namespace {

// A length at least the count that factors into 2, 3, 5, 7 and at most
// one 11 and one 13 (the cofactor rounded up); no overflow at the top.
TEST(ChooseBlockLength, WorkedTable) {
  const struct {
    int64_t frames, block;
  } table[] = {{1, 1},         {17, 18},       {101, 108},       {121, 132},
               {143, 143},     {169, 182},     {441, 441},       {1000, 1000},
               {1009, 1080},   {4097, 4320},   {44100, 44100},   {44101, 46080},
               {88200, 88200}, {88201, 92160}, {176401, 184320}, {2147483647, 2147483648}};
  for (const auto& row : table) EXPECT_EQ(ChooseBlockLength(row.frames), row.block) << row.frames;
  for (int32_t n : {INT32_MIN, -1, 0}) EXPECT_EQ(ChooseBlockLength(n), 1) << n;
}

class EngineMemory : public ::testing::Test {
 protected:
  void TearDown() override { FailAllocationsAfter(-1); }
};

TEST_F(EngineMemory, PairIsZeroFilled) {
  ChannelPair pair{};
  ASSERT_TRUE(AllocChannelPair(&pair, 2, 1000));
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(pair.Data[c][i], 0.0);
  }
  FreeChannelPair(&pair);
  EXPECT_EQ(pair.Data[0], nullptr);
  EXPECT_EQ(pair.Data[1], nullptr);
  FreeChannelPair(&pair);  // a second release frees nothing twice (ASan watches)
}

TEST_F(EngineMemory, AFailureLeavesThePairEmpty) {
  for (int64_t after : {0, 1}) {
    ChannelPair pair{};
    const int64_t live = LiveAllocations();
    FailAllocationsAfter(after);
    EXPECT_FALSE(AllocChannelPair(&pair, 2, 64));
    EXPECT_EQ(pair.Data[0], nullptr);
    EXPECT_EQ(pair.Data[1], nullptr);
    EXPECT_EQ(LiveAllocations(), live);
  }
}

TEST_F(EngineMemory, AbsurdSizesAreRefusedNotWrapped) {
  EXPECT_EQ(AllocDoubles(-1), nullptr);
  EXPECT_EQ(AllocDoubles(INT64_MAX), nullptr);
  EXPECT_EQ(AllocZeroed(INT64_C(1) << 62, 16), nullptr);
}

}  // namespace
