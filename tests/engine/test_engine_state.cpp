// SPDX-License-Identifier: GPL-2.0-or-later
// Block-length choice and the engine's memory: allocation, failure and release.
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/memory.h"

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
  void TearDown() override {
    FailAllocationsAfter(-1);
    TearDownEngine();
  }
};

TEST_F(EngineMemory, PairIsZeroFilled) {
  ChannelPair pair{2, {nullptr, nullptr}};
  ASSERT_EQ(AllocChannelPair(&pair, 2, 1000), 1);
  for (int c = 0; c < 2; ++c) {
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(pair.Data[c][i], 0.0);
  }
  FreeChannelPair(&pair, 2);
  EXPECT_EQ(pair.Data[0], nullptr);
  EXPECT_EQ(pair.Data[1], nullptr);
}

TEST_F(EngineMemory, SecondArrayFailureLeavesNothingToFree) {
  ChannelPair pair{2, {nullptr, nullptr}};
  FailAllocationsAfter(1);
  EXPECT_EQ(AllocChannelPair(&pair, 2, 64), 0);
  EXPECT_EQ(pair.Data[0], nullptr);
  EXPECT_EQ(pair.Data[1], nullptr);
  FreeChannelPair(&pair, 2);  // must release nothing twice (ASan watches)
}

TEST_F(EngineMemory, FirstArrayFailureLeavesPairEmpty) {
  ChannelPair pair{1, {nullptr, nullptr}};
  FailAllocationsAfter(0);
  EXPECT_EQ(AllocChannelPair(&pair, 1, 64), 0);
  EXPECT_EQ(pair.Data[0], nullptr);
}

TEST_F(EngineMemory, AbsurdSizesAreRefusedNotWrapped) {
  EXPECT_EQ(AllocDoubles(-1), nullptr);
  EXPECT_EQ(AllocDoubles(INT64_MAX), nullptr);
  EXPECT_EQ(AllocZeroed(INT64_C(1) << 62, 16), nullptr);
}

TEST_F(EngineMemory, TearDownTwiceReleasesOnce) {
  Engine.WorkBuffer.Channels = 2;
  ASSERT_EQ(AllocChannelPair(&Engine.WorkBuffer, 2, 16), 1);
  Engine.IrSpectrum.Channels = 1;
  ASSERT_EQ(AllocChannelPair(&Engine.IrSpectrum, 1, 16), 1);
  Engine.InputBlock[0] = AllocDoubles(8);
  double* real = AllocDoubles(16);
  double* bins = AllocDoubles(18);
  Engine.ForwardPlan =
      fftw_plan_dft_r2c_1d(16, real, reinterpret_cast<fftw_complex*>(bins), FFTW_ESTIMATE);
  FreeMemory(real);
  FreeMemory(bins);
  TearDownEngine();
  EXPECT_EQ(Engine.WorkBuffer.Data[0], nullptr);
  EXPECT_EQ(Engine.WorkBuffer.Data[1], nullptr);
  EXPECT_EQ(Engine.IrSpectrum.Data[0], nullptr);
  EXPECT_EQ(Engine.InputBlock[0], nullptr);
  EXPECT_EQ(Engine.ForwardPlan, nullptr);
  TearDownEngine();
}

}  // namespace
