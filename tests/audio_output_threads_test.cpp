// Audio output on SDL2's own audio thread, written to a file by the disk driver.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "foundation/FFLoader.h"
#include "player/SDLLoader.h"
#include "support/AudioRig.h"

using namespace corvane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class AudioOutputThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    file_ = fs::temp_directory_path() / ("corvane-disk-audio-" + std::to_string(::getpid()));
    ::setenv("SDL_DISKAUDIOFILE", file_.c_str(), 1);
    ::unsetenv("SDL_AUDIO_CHANNELS");
    ASSERT_TRUE(FFLoader().Load(kPlayerLibraries)) << FFLoader().LastErrMsg();
  }
  void TearDown() override {
    SDLLoader().QuitAll();
    FFLoader().UnloadAll();
    std::error_code ec;
    fs::remove(file_, ec);
  }
  fs::path file_;
};

constexpr int kRate = 48000, kFrames = 24, kSamples = 1024;

int rampValue(int frame) { return frame % 20000 + 1; }

// A decoder thread fills the sample queue while the device plays: the file
// holds every sample in order, without gaps once playing started.
TEST_F(AudioOutputThreads, DiskDevicePlaysEverySampleInOrder) {
  testaudio::AudioRig rig;
  ASSERT_TRUE(SDLLoader().Init(this, "disk", "", false)) << SDLLoader().LastErrMsg();
  AVChannelLayout stereo{};
  ff::av_channel_layout_default(&stereo, 2);
  TAudioParams hw;
  ASSERT_GT(rig.out.Open(stereo, kRate, hw), 0);
  ASSERT_EQ(hw.freq, kRate);

  std::thread decoder([&] {
    for (int f = 0; f < kFrames; ++f)
      rig.push(AV_SAMPLE_FMT_S16, kRate, 2, kSamples, [f](int ch, int i) {
        const int v = rampValue(f * kSamples + i);
        return (ch ? -v : v) / 32767.0;
      });
  });
  rig.out.Pause(false);
  decoder.join();
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (rig.sampq.Remaining() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  std::this_thread::sleep_for(200ms);  // the last block reaches the file
  rig.out.Close();

  std::ifstream in(file_, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  const auto* s = reinterpret_cast<const std::int16_t*>(bytes.data());
  const std::size_t frames = bytes.size() / 4;
  std::size_t start = 0;
  while (start < frames && s[2 * start] == 0) ++start;
  ASSERT_GE(frames - start, static_cast<std::size_t>(kFrames * kSamples));
  for (int k = 0; k < kFrames * kSamples; ++k) {
    ASSERT_EQ(s[2 * (start + k)], rampValue(k)) << "frame " << k;
    ASSERT_EQ(s[2 * (start + k) + 1], -rampValue(k)) << "frame " << k;
  }
  EXPECT_NEAR(rig.out.AudioClock(), static_cast<double>(kFrames * kSamples) / kRate, 1e-9);
}

}  // namespace
