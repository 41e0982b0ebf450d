// SPDX-License-Identifier: GPL-2.0-or-later
// Block-length choice, the planning data read at start-up, and the memory
// helpers: allocation, failure and release.
#include <fftw3.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/memory.h"
#include "engine/plans.h"
#include "settings/settings.h"

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

// Wisdom from a plan made here, saved as dsp_qlv3.dat, comes back at import;
// a missing or foreign file changes nothing.
TEST(ImportWisdom, ReadsPlanningDataBesideTheLibrary) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("qlv_wisdom_" + std::to_string(std::rand()));
  std::filesystem::create_directories(dir);
  std::snprintf(Settings.PluginDir, kPathChars, "%s", dir.string().c_str());
  // Composed as the library composes it (on Linux the backslash is part of the name).
  const std::string file = std::string(Settings.PluginDir) + "\\dsp_qlv3.dat";
  char composed[kPathChars];
  ASSERT_TRUE(ComposeWisdomPath(composed));
  ASSERT_EQ(composed, file);

  fftw_forget_wisdom();
  ImportWisdom(composed);  // no file
  char* none = fftw_export_wisdom_to_string();
  const std::string empty = none;
  fftw_free(none);

  std::FILE* junk = std::fopen(file.c_str(), "w");
  std::fputs("(not wisdom at all", junk);
  std::fclose(junk);
  ImportWisdom(composed);
  char* still = fftw_export_wisdom_to_string();
  EXPECT_EQ(std::string(still), empty);
  fftw_free(still);

  double* in = fftw_alloc_real(64);
  fftw_complex* out = fftw_alloc_complex(33);
  fftw_destroy_plan(fftw_plan_dft_r2c_1d(64, in, out, FFTW_MEASURE));
  fftw_free(in);
  fftw_free(out);
  std::FILE* good = std::fopen(file.c_str(), "w");
  fftw_export_wisdom_to_file(good);
  std::fclose(good);
  fftw_forget_wisdom();
  ImportWisdom(composed);
  char* back = fftw_export_wisdom_to_string();
  EXPECT_GT(std::string(back).size(), empty.size());
  fftw_free(back);
  fftw_forget_wisdom();
  std::remove(file.c_str());
  std::filesystem::remove_all(dir);
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
