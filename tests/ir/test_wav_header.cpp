// SPDX-License-Identifier: GPL-2.0-or-later
// The WAV header reader on hand-made byte patterns and on files that sox,
// ffmpeg and alsa-utils wrote.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ir/wav_header.h"
#include "tests/support/audio.h"

namespace {

struct Result {
  int code;
  WavFormat format;
  int32_t dataSize;
  long position;
};

Result Read(const Bytes& bytes) {
  std::FILE* f = std::tmpfile();
  EXPECT_NE(f, nullptr);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  Result r{};
  r.dataSize = -7;
  r.code = ReadWavHeader(f, &r.format, &r.dataSize);
  r.position = std::ftell(f);
  std::fclose(f);
  return r;
}

TEST(ReadWavHeader, CanonicalFileLeavesStreamAtTheSamples) {
  Result r = Read(Riff({FmtChunk(1, 2, 16), Chunk("data", 8, 8)}));
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(r.position, 44);
  EXPECT_EQ(r.dataSize, 8);
  EXPECT_EQ(r.format.Channels, 2);
  EXPECT_EQ(r.format.SampleRate, 44100u);
  EXPECT_EQ(r.format.BlockAlign, 4);
  EXPECT_EQ(r.format.BitsPerSample, 16);
}

TEST(ReadWavHeader, SkipsExtensionsAndForeignChunks) {
  Result r = Read(Riff({FmtChunk(1, 1, 16, 18), Chunk("LIST", 26, 26), Chunk("data", 4, 4)}));
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(r.position, 12 + 26 + 34 + 8);
  // An odd-sized chunk has no pad byte: the next header follows directly.
  r = Read(Riff({FmtChunk(1, 1, 16), Chunk("junk", 3, 3), Chunk("data", 2, 2)}));
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(r.position, 12 + 24 + 11 + 8);
  // A chunk id in other letter case, or another word, is just another chunk.
  for (const char* id : {"DATA", "datx"}) {
    r = Read(Riff({FmtChunk(1, 1, 16), Chunk(id, 2, 2), Chunk("data", 2, 2)}));
    ASSERT_EQ(r.code, 0) << id;
    EXPECT_EQ(r.position, 12 + 24 + 10 + 8) << id;
  }
}

TEST(ReadWavHeader, RejectsEverythingButPcm16MonoStereoOrTrueStereo) {
  EXPECT_EQ(Read(Riff({FmtChunk(3, 1, 32), Chunk("data", 4, 4)})).code, 1);       // float
  EXPECT_EQ(Read(Riff({FmtChunk(0xFFFE, 2, 16), Chunk("data", 4, 4)})).code, 1);  // extensible
  for (uint16_t bits : {8, 24, 32}) {
    EXPECT_EQ(Read(Riff({FmtChunk(1, 1, bits), Chunk("data", 4, 4)})).code, 1) << bits;
  }
  for (uint16_t channels : {0, 3, 5, 6}) {
    EXPECT_EQ(Read(Riff({FmtChunk(1, channels, 16), Chunk("data", 6, 6)})).code, 1) << channels;
  }
  const Result four = Read(Riff({FmtChunk(1, 4, 16), Chunk("data", 8, 8)}));
  ASSERT_EQ(four.code, 0);
  EXPECT_EQ(four.format.Channels, 4);
  EXPECT_EQ(four.format.BlockAlign, 8);
  // A later bad "fmt " fails the file although an earlier one was good.
  EXPECT_EQ(Read(Riff({FmtChunk(1, 1, 16), FmtChunk(1, 1, 8), Chunk("data", 4, 4)})).code, 1);
  // A later good one replaces an earlier good one.
  Result r = Read(Riff({FmtChunk(1, 1, 16), FmtChunk(1, 2, 16), Chunk("data", 4, 4)}));
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(r.format.Channels, 2);
}

TEST(ReadWavHeader, RejectsBrokenStructure) {
  EXPECT_EQ(Read({}).code, 1);
  EXPECT_EQ(Read(Riff({}, "RIFX")).code, 1);
  EXPECT_EQ(Read(Riff({}, "riff")).code, 1);
  EXPECT_EQ(Read(Riff({}, "RIFF", "wave")).code, 1);
  Bytes shortHeader = Riff({});
  shortHeader.resize(10);
  EXPECT_EQ(Read(shortHeader).code, 1);
  EXPECT_EQ(Read(Riff({FmtChunk(1, 1, 16)})).code, 1);  // chunks end without "data"
  Bytes cut = Riff({FmtChunk(1, 1, 16)});
  cut.resize(12 + 8 + 10);  // ends inside the 16 format bytes
  EXPECT_EQ(Read(cut).code, 1);
  Bytes idOnly = Riff({});
  PutTag(idOnly, "fmt ");
  Put16(idOnly, 16);  // half a size field
  EXPECT_EQ(Read(idOnly).code, 1);
  // A seek past the end is no error by itself; the next id read fails.
  EXPECT_EQ(Read(Riff({FmtChunk(1, 1, 16), Chunk("junk", 1000, 0)})).code, 1);
}

TEST(ReadWavHeader, RejectsHeadersThatCannotGiveAFrameCount) {
  Result r = Read(Riff({Chunk("data", 4, 4)}));  // no format before the data
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.dataSize, -7);
  EXPECT_EQ(Read(Riff({Chunk("data", 4, 4), FmtChunk(1, 1, 16)})).code, 1);
  EXPECT_EQ(Read(Riff({FmtChunk(1, 1, 16, 16, 0xFFFF), Chunk("data", 4, 4)})).code, 0);
  Bytes zeroAlign = Riff({FmtChunk(1, 1, 16), Chunk("data", 4, 4)});
  zeroAlign[12 + 8 + 12] = 0;  // block align field
  zeroAlign[12 + 8 + 13] = 0;
  EXPECT_EQ(Read(zeroAlign).code, 1);
  EXPECT_EQ(Read(Riff({FmtChunk(1, 1, 16), Chunk("data", 0x80000000u, 4)})).code, 1);
  EXPECT_EQ(Read(Riff({FmtChunk(1, 1, 16), Chunk("data", 0x7FFFFFFFu, 4)})).dataSize, 0x7FFFFFFF);
}

TEST(ReadWavHeader, HugeChunkSizesNeverLeadBackwards) {
  // 0xFFFFFFF8 would wrap a 32-bit position back to this chunk's header.
  EXPECT_EQ(
      Read(Riff({FmtChunk(1, 1, 16), Chunk("junk", 0xFFFFFFF8u, 0), Chunk("data", 4, 4)})).code, 1);
  EXPECT_EQ(
      Read(Riff({Chunk("junk", 0xFFFFFFFFu, 0), FmtChunk(1, 1, 16), Chunk("data", 4, 4)})).code, 1);
}

TEST(ReadWavHeader, DataSizeNotAWholeNumberOfFramesIsReturnedAsIs) {
  Result r = Read(Riff({FmtChunk(1, 2, 16), Chunk("data", 7, 7)}));
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(r.dataSize, 7);
}

// Files written by other programs.
struct Foreign {
  const char* name;
  int code;
  int channels;
  int frames;
};

class ForeignFiles : public ::testing::TestWithParam<Foreign> {};

TEST_P(ForeignFiles, AcceptedOrRejectedAsTheirFormatDeserves) {
  const char* dir = std::getenv("QLV_TESTDATA");
  ASSERT_NE(dir, nullptr) << "QLV_TESTDATA names the test files' folder";
  const Foreign& f = GetParam();
  const std::string path = std::string(dir) + "/" + f.name;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr) << path;
  std::fseek(file, 0, SEEK_END);
  const long length = std::ftell(file);
  std::rewind(file);
  WavFormat format{};
  int32_t dataSize = 0;
  const int code = ReadWavHeader(file, &format, &dataSize);
  const long position = std::ftell(file);
  std::fclose(file);
  ASSERT_EQ(code, f.code) << f.name;
  if (code != 0) return;
  EXPECT_EQ(format.Channels, f.channels);
  EXPECT_EQ(format.BlockAlign, 2 * f.channels);
  // These programs put the samples last: the stream stands at their start.
  EXPECT_EQ(position, length - dataSize);
  if (f.frames) {
    EXPECT_EQ(dataSize, f.frames * format.BlockAlign);
  }
}

INSTANTIATE_TEST_SUITE_P(
    SoxFfmpegAlsa, ForeignFiles,
    ::testing::Values(Foreign{"sox_mono16.wav", 0, 1, 4410},
                      Foreign{"sox_stereo16.wav", 0, 2, 4410}, Foreign{"sox_u8.wav", 1, 0, 0},
                      Foreign{"sox_s24.wav", 1, 0, 0}, Foreign{"sox_s32.wav", 1, 0, 0},
                      Foreign{"sox_float.wav", 1, 0, 0}, Foreign{"sox_3ch16.wav", 1, 0, 0},
                      Foreign{"ff_stereo16_list.wav", 0, 2, 4410},
                      Foreign{"ff_mono16_bitexact.wav", 0, 1, 4410}, Foreign{"ff_s24.wav", 1, 0, 0},
                      Foreign{"ff_float.wav", 1, 0, 0}, Foreign{"ff_u8.wav", 1, 0, 0},
                      Foreign{"ff_6ch16.wav", 1, 0, 0}, Foreign{"alsa_front_center.wav", 0, 1, 0}));

}  // namespace
