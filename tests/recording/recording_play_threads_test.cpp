// The real player and encoder: a generated clip played headless (SDL's dummy
// drivers) and recorded; the MP4 is decoded back.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "encoder/CustomEncoder.h"
#include "foundation/AVHandles.h"
#include "foundation/MainThread.h"
#include "player/CustomPlayer.h"
#include "recording/PlayerEncoderPorts.h"
#include "recording/RecordPacking.h"
#include "recording/RecordingReadBack.h"
#include "support/Watchdog.h"

namespace corvane {
namespace {

constexpr int kFps = 30;
constexpr int kSeconds = 3;

// Other formats are converted to yuv420p; formats the scaler cannot read are refused.
TEST(RecordingEndToEnd, OtherPictureFormatsConverted) {
  TDEDirerer encoder;
  ASSERT_TRUE(encoder.LoadAVLib("")) << encoder.LastErrMsg();
  constexpr int w = 33, h = 17;
  std::vector<std::uint8_t> planes[3];
  PicturePlanes p;
  for (int i = 0; i < 3; ++i) {
    planes[i].assign(static_cast<std::size_t>(w + 3) * h, static_cast<std::uint8_t>(60 + 40 * i));
    p.data[i] = planes[i].data();
    p.linesize[i] = w + 3;
  }
  TRecordPacker packer;
  ASSERT_TRUE(packer.Pack(p, AV_PIX_FMT_YUV444P, w, h, 0));
  ASSERT_EQ(packer.Size(), kRecordHeaderBytes + RecordPlaneBytes(w, h));
  const std::uint8_t* y = packer.Data() + kRecordHeaderBytes;
  const std::uint8_t* u = y + w * h;
  for (int i = 0; i < w * h; ++i) ASSERT_NEAR(y[i], 60, 1) << i;
  for (int i = 0; i < 17 * 9; ++i) ASSERT_NEAR(u[i], 100, 1) << i;
  EXPECT_FALSE(packer.Pack(p, AV_PIX_FMT_VAAPI, w, h, 0));
  packer.Release();
  encoder.UnloadAVLib();
}

// The player, an encoder and the bridge between them, on a queue the test pumps.
struct PlayRig {
  std::shared_ptr<QueueDispatcher> dispatcher = std::make_shared<QueueDispatcher>();
  TDEDirerer encoder;
  TRORizozu player;
  TPlayerRecordPort playerPort{player};
  TEncoderRecordPort encoderPort{encoder};
  std::vector<std::string> messages;
  TPlayState stateAtMessage = psStop;
  TRecordingBridge bridge{playerPort, encoderPort, [this](const std::string& text) {
                            messages.push_back(text);
                            stateAtMessage = player.PlayState();
                          }};
  std::atomic<int> shown{0};
  bool ended = false, stopped = false;

  PlayRig() { setDispatcher(dispatcher); }
  ~PlayRig() {
    player.Stop(true);
    DetachRecordingHooks(player);
    setDispatcher(nullptr);
  }
  bool load() {
    if (!encoder.LoadAVLib("") || !player.LoadAVLib("")) return false;
    RegisterRecordingInputFormats();
    player.SetAudioDriver("dummy");
    player.SetVideoDriver("dummy");
    player.SetRepeatType(rtStop);  // the end of the file stops playback
    player.OnFrameHook = [this](TObject*, const PicturePlanes& p, AVPixelFormat f, int w, int h,
                                std::int64_t pts) {
      ++shown;
      bridge.FrameHook(p, f, w, h, pts);
    };
    player.OnAudioHook = [this](TObject*, std::int64_t pts, const std::uint8_t* s, int n, int rate,
                                int channels) { bridge.AudioHook(pts, s, n, rate, channels); };
    player.OnFileOpen = [this](TObject*, std::int64_t, int, int, int&, int&) {
      bridge.OnFileOpen();
    };
    player.OnState = [this](TObject*, TPlayState s) {
      if (s == psEnd) ended = true;
      if (s != psStop) return;
      bridge.OnPlayStateStop();
      stopped = true;
    };
    return true;
  }
  // Armed, then the clip played to its end.
  void record(const std::string& clip) {
    testrig::withinDeadline(std::chrono::seconds(90), "recording a clip", [&] {
      bridge.StartRecording();
      ASSERT_TRUE(player.Open(clip)) << player.LastErrMsg();
      while (!stopped) {
        dispatcher->waitForWork(std::chrono::milliseconds(20));
        dispatcher->pump();
      }
    });
  }
};

std::filesystem::path scratchDir(const char* name) {
  const auto dir = std::filesystem::temp_directory_path() /
                   (std::string(name) + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

TEST(RecordingEndToEnd, RecordsWhatPlays) {
  const auto dir = scratchDir("corvane-rec-e2e");
  const std::string clip = (dir / "clip.mkv").string();
  PlayRig rig;
  ASSERT_TRUE(rig.load());
  recrig::writeClickClip(clip, 640, 360, kSeconds);
  rig.record(clip);

  EXPECT_TRUE(rig.messages.empty()) << rig.messages.front();
  const std::string out = (dir / "clip_(new).mp4").string();
  EXPECT_EQ(rig.bridge.OutputFileName(), out);
  recrig::Decoded d;
  ASSERT_TRUE(recrig::decode(out, d));
  ASSERT_FALSE(d.pictureUs.empty());
  EXPECT_EQ(d.pictureUs.front(), 0);
  EXPECT_EQ(d.pictureNumber.front(), 0) << "armed before the open: from the first picture";
  // In order, each at the time it was shown at; none missing when the player
  // showed every picture (a slow build makes the player drop late ones).
  const bool everyPicture = rig.shown >= kFps * kSeconds;
  for (std::size_t i = 1; i < d.pictureNumber.size(); ++i) {
    if (everyPicture)
      ASSERT_EQ(d.pictureNumber[i], d.pictureNumber[i - 1] + 1) << "picture " << i;
    else
      ASSERT_GT(d.pictureNumber[i], d.pictureNumber[i - 1]) << "picture " << i;
    EXPECT_NEAR(d.pictureUs[i] / 1e6, static_cast<double>(d.pictureNumber[i]) / kFps, 0.001);
  }
  // The ring holds the whole clip: nothing is dropped.
  EXPECT_EQ(rig.bridge.Drops().Video, 0);
  EXPECT_EQ(static_cast<std::int64_t>(d.pictureUs.size()) + rig.bridge.Drops().SkippedVideo,
            rig.shown.load());
  EXPECT_TRUE(rig.bridge.LastRecordError().empty()) << rig.bridge.LastRecordError();

  // Each click plays within a frame of the picture shown with it.
  const std::vector<double> offsets = recrig::clickOffsets(d, kFps);
  for (const double o : offsets) EXPECT_LE(std::fabs(o), 1.0 / kFps);
  EXPECT_GE(offsets.size(), static_cast<std::size_t>(kSeconds - 1));
  std::filesystem::remove_all(dir);
}

// The MP4 encoder refuses an odd width: the task fails by itself, the
// recording stops with the encoder's message, and the clip plays on to its end.
TEST(RecordingEndToEnd, FailingTaskLeavesPlaybackRunning) {
  const auto dir = scratchDir("corvane-rec-odd");
  const std::string clip = (dir / "odd.mkv").string();
  PlayRig rig;
  ASSERT_TRUE(rig.load());
  recrig::writeClickClip(clip, 641, 361, 2, "ffv1");
  rig.record(clip);

  ASSERT_EQ(rig.messages.size(), 1u);
  EXPECT_EQ(rig.messages[0].rfind("***Failed to record: ", 0), 0u) << rig.messages[0];
  EXPECT_EQ(rig.stateAtMessage, psPlay);
  EXPECT_TRUE(rig.ended) << "played to its end";
  EXPECT_EQ(rig.bridge.Recording(), rsIdle);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace corvane
