// SPDX-License-Identifier: GPL-2.0-or-later
// Match loudness as a listener measures it (libebur128): after 10 s of the
// music, very different rooms play within 1 dB of the music's loudness,
// with both engines, in a stereo and a mono stream, true stereo too.
#include <string>

#include "bench/loudness_irs.h"
#include "tests/support/engine_fixture.h"

namespace {

class MatchHeard : public EngineTest {
 protected:
  // The reverb's loudness minus the music's, measured over 8 s once the
  // match of the first 10 s is in force.
  double Heard(const PcmAudio& ir, Programme programme, int channels, int low) {
    constexpr int rate = 44100;
    TearDown();
    SetUp();
    Settings.LowLatency = low;
    Settings.MatchLoudness = 1;
    UseIr(ir);
    EXPECT_EQ(PrepareEngine(channels), PrepareOk);
    const int64_t latency = BlockInForce();
    const int64_t heard = 10 * rate, measured = 8 * rate;
    const int64_t frames = heard + latency + measured;
    std::vector<int16_t> music =
        MakeProgramme(programme, channels, rate, double(frames) / rate + 1, 41);
    music.resize(static_cast<size_t>(frames * channels));
    std::vector<int16_t> out = music;
    PlayAsHost(&out, channels, rate, 0, heard);
    MatchLoudnessNow();
    PlayAsHost(&out, channels, rate, heard, frames);
    const size_t from = static_cast<size_t>(heard + latency);
    return IntegratedLoudness(out, channels, rate, from) -
           IntegratedLoudness(music, channels, rate, static_cast<size_t>(heard),
                              static_cast<size_t>(heard + measured));
  }
};

TEST_F(MatchHeard, EveryRoomPlaysAtTheMusicsLoudness) {
  const std::vector<BenchIr> irs = LoudnessIrs(44100);
  const auto named = [&](const std::string& name) {
    for (const BenchIr& ir : irs) {
      if (ir.name == name) return ir.pcm;
    }
    ADD_FAILURE() << name;
    return PcmAudio{};
  };
  const struct {
    const char* ir;
    int channels;
  } cases[] = {{"hall 3 s, dark", 2},         {"cabinet 4x12", 2},    {"telephone band", 2},
               {"true-stereo hall 2.5 s", 2}, {"mono room 1.2 s", 1}, {"hall 3 s, dark", 1}};
  for (const auto& c : cases) {
    for (Programme programme : {Programme::BassSong, Programme::Speech}) {
      for (int low : {0, 1}) {
        SCOPED_TRACE(std::string(c.ir) + ", " + std::to_string(c.channels) + " channels, " +
                     (programme == Programme::BassSong ? "bass song" : "speech") +
                     (low ? ", low latency" : ", one block"));
        EXPECT_NEAR(Heard(named(c.ir), programme, c.channels, low), 0.0, 1.0);
      }
    }
  }
}

}  // namespace
