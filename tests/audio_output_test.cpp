// Audio output: device negotiation, the callback's volume, mute, resampling,
// tempo and pitch, with SDL2's dummy driver and the real libraries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "foundation/FFLoader.h"
#include "foundation/api/sdl2.h"
#include "foundation/api/swresample.h"
#include "player/SDLLoader.h"
#include "support/AudioRig.h"

using namespace corvane;
using testaudio::AudioRig;

namespace {

constexpr int kRate = 48000;

class AudioOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("SDL_AUDIO_CHANNELS");
    ASSERT_TRUE(FFLoader().Load(kPlayerLibraries)) << FFLoader().LastErrMsg();
    ASSERT_TRUE(FFLoader().Load(libSoundTouch)) << FFLoader().LastErrMsg();
  }
  void TearDown() override {
    SDLLoader().QuitAll();
    FFLoader().UnloadAll();
  }
  // Opens a stereo device of the dummy driver; it stays paused, so the test
  // runs the callback itself.
  void openDummy(AudioRig& rig, int rate = kRate) {
    ASSERT_TRUE(SDLLoader().Init(this, "dummy", "", false)) << SDLLoader().LastErrMsg();
    AVChannelLayout stereo{};
    ff::av_channel_layout_default(&stereo, 2);
    TAudioParams hw;
    ASSERT_GT(rig.out.Open(stereo, rate, hw), 0);
    ASSERT_EQ(hw.freq, rate);
    ASSERT_EQ(hw.channels(), 2);
  }
  // Runs the callback for `bytes` bytes in device-sized pieces.
  static std::vector<std::uint8_t> play(AudioRig& rig, std::size_t bytes, std::uint8_t fill = 0) {
    std::vector<std::uint8_t> out(bytes, fill);
    const std::size_t piece = static_cast<std::size_t>(rig.out.HwBufSize());
    for (std::size_t at = 0; at < bytes; at += piece)
      rig.out.Callback(out.data() + at, static_cast<int>(std::min(piece, bytes - at)));
    return out;
  }
};

std::vector<std::pair<int, int>> gAttempts;  // channels, rate

SDL_AudioDeviceID refuseEveryOpen(const char*, int, const SDL_AudioSpec* desired, SDL_AudioSpec*,
                                  int) {
  gAttempts.emplace_back(desired->channels, desired->freq);
  return 0;
}

TEST_F(AudioOutputTest, OpenFallsBackThroughChannelCountsThenRates) {
  struct Case {
    int channels;
    int rate;
    std::vector<std::pair<int, int>> attempts;
  };
  const std::vector<Case> cases = {
      {6,
       48000,
       {{6, 48000},
        {4, 48000},
        {2, 48000},
        {1, 48000},
        {6, 44100},
        {4, 44100},
        {2, 44100},
        {1, 44100}}},
      {5, 44100, {{5, 44100}, {6, 44100}, {4, 44100}, {2, 44100}, {1, 44100}}},
      {2, 96000, {{2, 96000}, {1, 96000}, {2, 48000}, {1, 48000}, {2, 44100}, {1, 44100}}},
  };
  const auto real = sdl::SDL_OpenAudioDevice;
  sdl::SDL_OpenAudioDevice = refuseEveryOpen;
  for (const Case& c : cases) {
    AudioRig rig;
    gAttempts.clear();
    AVChannelLayout layout{};
    ff::av_channel_layout_default(&layout, c.channels);
    TAudioParams hw;
    EXPECT_EQ(rig.out.Open(layout, c.rate, hw), -1);
    EXPECT_EQ(gAttempts, c.attempts) << c.channels << " channels at " << c.rate;
    EXPECT_TRUE(rig.logged("No more combinations to try, audio open failed"));
  }
  sdl::SDL_OpenAudioDevice = real;

  AudioRig rig;
  TAudioParams hw;
  AVChannelLayout none{};
  EXPECT_EQ(rig.out.Open(none, kRate, hw), -1);
  EXPECT_TRUE(rig.logged("Invalid sample rate or channel count!"));
}

TEST_F(AudioOutputTest, OpensTheDummyDevice) {
  AudioRig rig;
  openDummy(rig);
  const TAudioParams& t = rig.out.Target();
  EXPECT_EQ(t.fmt, AV_SAMPLE_FMT_S16);
  EXPECT_EQ(t.frame_size, 4);
  EXPECT_EQ(t.bytes_per_sec, 4 * kRate);
  EXPECT_GE(rig.out.HwBufSize(), 4 * 1024);
  EXPECT_TRUE(rig.logged("Current audio device [SDL audio id " +
                         std::to_string(rig.out.DeviceID()) + "]: system default"));
}

// Volume scales the device's samples; mute silences them, while the hook and
// the display ring still get the block as decoded.
TEST_F(AudioOutputTest, VolumeMuteAndHook) {
  struct Case {
    int volume;
    bool mute;
  };
  for (const Case c : {Case{128, false}, Case{64, false}, Case{0, false}, Case{128, true}}) {
    AudioRig rig;
    openDummy(rig);
    rig.out.SetVolume(c.volume);
    rig.out.SetMute(c.mute);
    std::vector<std::uint8_t> hooked;
    rig.out.SetAudioHook([&](std::int64_t, const std::uint8_t* data, int size, int rate, int ch) {
      EXPECT_EQ(rate, kRate);
      EXPECT_EQ(ch, 2);
      hooked.insert(hooked.end(), data, data + size);
    });
    constexpr int kSamples = 1024;
    const auto ramp = [](int ch, int i) { return (i * 61 % 2000 - 1000) / 1000.0 * (ch ? -1 : 1); };
    for (int f = 0; f < 4; ++f) rig.push(AV_SAMPLE_FMT_S16, kRate, 2, kSamples, ramp);
    const auto out = play(rig, 4 * kSamples * 4, 0xAA);
    ASSERT_EQ(hooked.size(), out.size());
    const auto* dev = reinterpret_cast<const std::int16_t*>(out.data());
    const auto* src = reinterpret_cast<const std::int16_t*>(hooked.data());
    for (std::size_t i = 0; i < out.size() / 2; ++i) {
      const int expected = c.mute ? 0 : src[i] * c.volume / SDL_MIX_MAXVOLUME;
      ASSERT_EQ(dev[i], expected) << "sample " << i << " volume " << c.volume;
    }
    EXPECT_EQ(src[2 * 5], std::lround(ramp(0, 5) * 32767));
    const auto ring = rig.out.LastSamples(4);
    EXPECT_TRUE(std::equal(ring.begin(), ring.end(), src + out.size() / 2 - 4));
    EXPECT_NEAR(rig.out.AudioClock(), 4.0 * kSamples / kRate, 1e-9);
  }
}

// Planar float at 44.1 kHz is converted for the 48 kHz device exactly as a
// resampler of the same settings converts it.
TEST_F(AudioOutputTest, ResamplesLikeTheResampler) {
  AudioRig rig;
  openDummy(rig);
  constexpr int kSamples = 1000, kFrames = 6, kSrcRate = 44100;
  const auto tone = [](int ch, int i) { return 0.5 * std::sin(i * 0.05 + ch); };
  for (int f = 0; f < kFrames; ++f)
    rig.push(AV_SAMPLE_FMT_FLTP, kSrcRate, 2, kSamples,
             [&](int ch, int i) { return tone(ch, f * kSamples + i); });
  std::vector<std::uint8_t> hooked;
  rig.out.SetAudioHook([&](std::int64_t, const std::uint8_t* d, int size, int, int) {
    hooked.insert(hooked.end(), d, d + size);
  });
  play(rig, 4 * 4000);

  AVChannelLayout stereo{};
  ff::av_channel_layout_default(&stereo, 2);
  SwrContext* raw = nullptr;
  ASSERT_EQ(ff::swr_alloc_set_opts2(&raw, &stereo, AV_SAMPLE_FMT_S16, kRate, &stereo,
                                    AV_SAMPLE_FMT_FLTP, kSrcRate, 0, nullptr),
            0);
  SwrPtr swr(raw);
  ASSERT_EQ(ff::swr_init(raw), 0);
  std::vector<std::uint8_t> reference;
  std::vector<float> l(kSamples), r(kSamples);
  std::vector<std::uint8_t> buf(4 * 2000);
  for (int f = 0; f < kFrames && reference.size() < hooked.size(); ++f) {
    for (int i = 0; i < kSamples; ++i) {
      l[i] = static_cast<float>(tone(0, f * kSamples + i));
      r[i] = static_cast<float>(tone(1, f * kSamples + i));
    }
    const std::uint8_t* in[] = {reinterpret_cast<const std::uint8_t*>(l.data()),
                                reinterpret_cast<const std::uint8_t*>(r.data())};
    std::uint8_t* out = buf.data();
    const int n = ff::swr_convert(raw, &out, 2000, in, kSamples);
    ASSERT_GT(n, 0);
    reference.insert(reference.end(), buf.begin(), buf.begin() + 4 * n);
  }
  ASSERT_GT(hooked.size(), 4u * 3000);
  ASSERT_GE(reference.size(), hooked.size());
  EXPECT_TRUE(std::equal(hooked.begin(), hooked.end(), reference.begin()));
}

// Zero crossings per second of the left channel, skipping `skip` frames.
double frequency(const std::vector<std::uint8_t>& pcm, std::size_t skip) {
  const auto* s = reinterpret_cast<const std::int16_t*>(pcm.data());
  const std::size_t frames = pcm.size() / 4;
  int crossings = 0;
  for (std::size_t i = skip + 1; i < frames; ++i)
    if ((s[2 * (i - 1)] < 0) != (s[2 * i] < 0)) ++crossings;
  return crossings / 2.0 / (static_cast<double>(frames - skip) / kRate);
}

// Keeps the sample queue filled with a 1 kHz tone while the callback runs.
std::vector<std::uint8_t> playTone(AudioRig& rig, double seconds) {
  std::vector<std::uint8_t> all;
  const std::size_t piece = static_cast<std::size_t>(rig.out.HwBufSize());
  std::vector<std::uint8_t> buf(piece);
  int sample = 0;
  while (all.size() < seconds * kRate * 4) {
    while (rig.hasRoom()) {
      rig.push(AV_SAMPLE_FMT_S16, kRate, 2, 1024, [&](int, int i) {
        return 0.5 * std::sin(2 * M_PI * 1000.0 * (sample + i) / kRate);
      });
      sample += 1024;
    }
    rig.out.Callback(buf.data(), static_cast<int>(piece));
    all.insert(all.end(), buf.begin(), buf.end());
  }
  return all;
}

TEST_F(AudioOutputTest, PitchMovesTheTone) {
  struct Case {
    float pitch;
    double expected;
  };
  for (const Case c : {Case{1.0f, 1000}, Case{1.5f, 1500}, Case{0.75f, 750}}) {
    AudioRig rig;
    openDummy(rig);
    rig.out.SetAudioPitch(c.pitch);
    const auto pcm = playTone(rig, 1.0);
    EXPECT_NEAR(frequency(pcm, kRate / 5), c.expected, c.expected * 0.03) << c.pitch;
  }
}

// At double speed on the external clock the tempo processor or, without it,
// the resampler halves the audio played.
TEST_F(AudioOutputTest, DoubleSpeedHalvesTheAudio) {
  for (const bool soundtouch : {true, false}) {
    AudioRig rig;
    openDummy(rig);
    rig.sync.SetSyncType(AV_SYNC_EXTERNAL_CLOCK);
    rig.extclk.SetSpeed(2.0);
    rig.out.SetUseSoundTouch(soundtouch);
    std::size_t decoded = 0;
    rig.out.SetAudioHook(
        [&](std::int64_t, const std::uint8_t*, int size, int, int) { decoded += size; });
    const auto pcm = playTone(rig, 1.0);
    const double consumed = rig.nextPts - rig.sampq.Remaining() * 1024.0 / kRate;
    EXPECT_NEAR(decoded / 4.0 / kRate / consumed, 0.5, 0.05) << "soundtouch " << soundtouch;
    // Tempo keeps the pitch; resampling raises it with the speed.
    EXPECT_NEAR(frequency(pcm, kRate / 5), soundtouch ? 1000 : 2000, 60) << soundtouch;
  }
}

// Abort: the rest of the device buffer is silence, not what it held before.
TEST_F(AudioOutputTest, AbortSilencesTheBuffer) {
  AudioRig rig;
  openDummy(rig);
  rig.audioq.Abort();
  const auto out = play(rig, 4096, 0xAA);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0; }));
}

// At the end of the input the decode reports the end at once instead of
// waiting out half a device buffer for a frame that cannot come.
TEST_F(AudioOutputTest, EndOfInputIsReportedAsEnd) {
  AudioRig rig;
  openDummy(rig);
  std::vector<std::uint8_t> buf(4096);
  rig.out.Callback(buf.data(), 4096);  // sets the callback time
  rig.audioq.eof = 1;
  EXPECT_EQ(rig.out.DecodeAudioBlock(), AVERROR_EOF);
  rig.audioq.eof = 0;
  EXPECT_EQ(rig.out.DecodeAudioBlock(), -1) << "no frame within half a buffer";
}

// Frames of an old serial are skipped; the clock takes the new serial.
TEST_F(AudioOutputTest, StaleFramesAreSkipped) {
  AudioRig rig;
  openDummy(rig);
  rig.push(AV_SAMPLE_FMT_S16, kRate, 2, 512, [](int, int) { return 0.25; });
  rig.audioq.Flush();
  rig.nextPts = 10.0;
  rig.push(AV_SAMPLE_FMT_S16, kRate, 2, 512, [](int, int) { return -0.25; });
  EXPECT_EQ(rig.out.DecodeAudioBlock(), 512 * 4);
  EXPECT_NEAR(rig.out.AudioClock(), 10.0 + 512.0 / kRate, 1e-9);
  std::vector<std::uint8_t> buf(512 * 4);
  rig.out.Callback(buf.data(), static_cast<int>(buf.size()));
  EXPECT_FALSE(std::isnan(rig.audclk.Get())) << "set with the queue's serial";
}

// Against another master, audio that runs ahead or behind is stretched or
// squeezed by at most 10 %, once the average over 20 blocks is past the
// threshold of one device buffer.
TEST_F(AudioOutputTest, SynchronizeCorrectsTowardsTheMaster) {
  struct Case {
    Tav_sync_type sync;
    double ahead;  // audio clock minus video clock, seconds; NaN: unknown
    int wanted;
  };
  constexpr int n = 1024;
  const std::vector<Case> cases = {
      {AV_SYNC_VIDEO_MASTER, 0.1, n * 110 / 100},
      {AV_SYNC_VIDEO_MASTER, -0.1, n * 90 / 100},
      {AV_SYNC_VIDEO_MASTER, -0.06, n * 90 / 100},
      {AV_SYNC_VIDEO_MASTER, 0.01, n},
      {AV_SYNC_VIDEO_MASTER, 11.0, n},
      {AV_SYNC_VIDEO_MASTER, NAN, n},
      {AV_SYNC_AUDIO_MASTER, 0.1, n},
  };
  for (const Case& c : cases) {
    AudioRig rig;
    openDummy(rig);
    rig.sync.SetStreamOpen(AVMEDIA_TYPE_VIDEO, true);
    rig.sync.SetSyncType(c.sync);
    rig.vidclk.Set(10.0, 0);
    rig.audclk.Set(10.0 + c.ahead, rig.audioq.serial);
    for (int i = 0; i < TAudioOutput::AUDIO_DIFF_AVG_NB; ++i)
      ASSERT_EQ(rig.out.Synchronize(n), n) << "still averaging";
    EXPECT_EQ(rig.out.Synchronize(n), c.wanted) << c.ahead;
  }
}

}  // namespace
