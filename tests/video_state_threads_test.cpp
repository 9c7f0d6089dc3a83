// The per-file state with its read, decoder and audio threads on generated
// media: end of playback, seeking, filter commands, time-outs and closing.

#include <cmath>

#include "support/EngineRig.h"
#include "support/SilentServer.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
using namespace corvane::testengine;
namespace media = corvane::testmedia;

namespace {

using VideoStateThreads = EngineTest;

using testrig::SilentServer;

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Every kind with audio or video plays to its end, which is reported once;
// a seek back starts a new end. Most video kinds play without audio.
TEST_F(VideoStateThreads, EveryKindReachesItsEndOnce) {
  struct Case {
    media::Kind kind;
    bool audio, video;
    int pictures;  // -1: some, fewer than the source's
  };
  using namespace media;
  const Case cases[] = {
      {Kind::Mp4H264Aac, true, true, mp4::kSeconds * kFps},
      {Kind::MkvMpeg4VorbisSrt, false, true, mkv::kSeconds * kFps},
      {Kind::TsTwoPrograms, false, true, ts::kSeconds * kFps},
      {Kind::Png, false, true, 1},
      {Kind::Mp4Rotated, false, true, rotated::kSeconds * kFps},
      {Kind::Bench1080p, false, true, bench::kSeconds * bench::kFps},
      {Kind::Numbered, false, true, numbered::kFrames},
      {Kind::NumberedGop60, false, true, numbered::kFrames},
      {Kind::Solid1080p, false, true, solid::kSeconds * solid::kFps},
      {Kind::TruncatedMp4, false, true, -1},
      {Kind::TruncatedMp4, true, false, 0},
      {Kind::Wav, true, false, 0},
      {Kind::Flac, true, false, 0},
      {Kind::ToneWav, true, false, 0},
      {Kind::ToneMp4, true, false, 0},
      {Kind::Aac60s, true, false, 0},
  };
  ::setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
  startDiskAudio(0);
  bool callerOpens = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(media::kindName(c.kind));
    EngineHost h;
    TPlayerSettings s = quiet(c.audio);
    s.video_disable = !c.video;
    s.OpenInCallerThread = callerOpens = !callerOpens;
    auto is = TVideoState::Create(h, s, media::ensure(c.kind), nullptr, false, true);
    ASSERT_TRUE(is) << h.errors();
    EXPECT_EQ(c.audio, is->audio_stream >= 0);
    EXPECT_EQ(c.video, is->video_stream >= 0);
    PictureConsumer pictures(*is);
    ASSERT_TRUE(waitUntil([&] { return h.ended > 0; }, 30s)) << h.errors();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(h.ended, 1);
    if (c.pictures >= 0) {
      EXPECT_EQ(pictures.count(), static_cast<std::size_t>(c.pictures));
    } else {
      EXPECT_GT(pictures.count(), 0u);
      EXPECT_LT(pictures.count(), static_cast<std::size_t>(mp4::kSeconds * kFps));
    }
    if (c.kind == media::Kind::Numbered || c.kind == media::Kind::ToneWav) {
      is->StreamSeek(0, 0, false);
      ASSERT_TRUE(waitUntil([&] { return h.ended > 1; }, 20s));
      std::this_thread::sleep_for(50ms);
      EXPECT_EQ(h.ended, 2);
      EXPECT_EQ(pictures.count(), 2u * c.pictures);
    }
    pictures.stop();
    is->Close();
    EXPECT_EQ(h.errors(),
              c.kind == Kind::MkvMpeg4VorbisSrt ? "Only bitmap based subtitles supported.\n" : "");
    EXPECT_EQ(h.quits, 0);
    EXPECT_EQ(h.failed, 0);
    EXPECT_EQ(h.opened, 0);  // the opener waited: it is told by the result
  }
}

// Seeks while sound and pictures play land both at the target; closing
// then ends every thread at once.
TEST_F(VideoStateThreads, SeeksAndCloseWhilePlaying) {
  startDiskAudio(20);
  auto is = TVideoState::Create(host, quiet(true), media::ensure(media::Kind::Mp4H264Aac), nullptr,
                                false, true);
  ASSERT_TRUE(is && is->audio) << host.errors();
  PictureConsumer pictures(*is, 20ms);
  ASSERT_TRUE(waitUntil([&] { return pictures.count() >= 5 && is->audio->AudioClock() > 0.2; }));
  for (int i = 0; i < 10; ++i) {
    is->StreamSeek(std::int64_t{i % 3} * AV_TIME_BASE / 2, 0, false);
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(waitUntil([&] { return !is->seek_req; }));
  is->StreamSeek(2 * AV_TIME_BASE, 0, false);
  ASSERT_TRUE(waitUntil([&] { return !is->seek_req; }));
  const int serial = is->videoq.serial;
  ASSERT_TRUE(waitUntil([&] {
    const double clock = is->audio->AudioClock();
    return !pictures.ofSerial(serial).empty() && clock > 1.5 && clock < 2.5;
  })) << is->audio->AudioClock();
  const double pts = pictures.ofSerial(serial).front().pts;  // a key frame at most a GOP before
  EXPECT_LE(pts, 2.0 + 1e-3);
  EXPECT_GT(pts, 2.0 - static_cast<double>(media::mp4::kGop) / media::kFps - 1e-3);
  const auto start = std::chrono::steady_clock::now();
  is->Close();
  EXPECT_LT(secondsSince(start), 0.3);
  EXPECT_EQ(host.quits, 0);
  EXPECT_EQ(host.errors(), "");
}

// After a seek, once a picture of the new serial arrived no older one
// follows, and playback resumes at the picture shown at the target: the ones
// from the key frame up to it are decoded but not queued.
TEST_F(VideoStateThreads, SeekDeliversOnlyNewPicturesFromTheKeyFrame) {
  using namespace media::numbered;
  auto is = TVideoState::Create(host, quiet(), media::ensure(media::Kind::Numbered), nullptr, false,
                                true);
  ASSERT_TRUE(is) << host.errors();
  PictureConsumer pictures(*is, 3ms);
  ASSERT_TRUE(waitUntil([&] { return pictures.count() >= 8; }));
  for (const double target : {2.1, 0.5, 3.5, 1.0, 0.0}) {
    SCOPED_TRACE(target);
    const int before = is->videoq.serial;
    is->StreamSeek(std::llround(target * AV_TIME_BASE), 0, false);
    ASSERT_TRUE(waitUntil([&] { return pictures.ofSerial(before + 1).size() >= 6; }));
    const std::vector<Picture> all = pictures.pictures();
    std::size_t first = 0;
    while (all[first].serial != before + 1) ++first;
    for (std::size_t i = first; i < all.size(); ++i) ASSERT_GT(all[i].serial, before) << i;
    // The first picture whose middle is at or after the target.
    const int first_frame = static_cast<int>(std::ceil(target * media::kFps - 0.5 - 1e-9));
    const std::vector<Picture> fresh = pictures.ofSerial(before + 1);
    for (int k = 0; k < 6; ++k) {
      EXPECT_NEAR(fresh[k].luma, luma(first_frame + k), kLumaTolerance) << k;
      EXPECT_NEAR(fresh[k].pts, static_cast<double>(first_frame + k) / media::kFps, 1e-3) << k;
    }
  }
  EXPECT_EQ(host.quits, 0);
}

// Inputs that cannot be opened fail with their texts, whether the opener
// waits, lets the read thread open, or opens on its own thread.
TEST_F(VideoStateThreads, BrokenInputsFailToOpenWithTheirTexts) {
  struct Input {
    std::string path;
    std::string text;
  };
  const std::string random = media::ensure(media::Kind::RandomBytesMp4);
  const std::string empty = media::ensure(media::Kind::EmptyMkv);
  const Input inputs[] = {
      {random, random + ": Invalid data found when processing input"},
      {empty, empty + ": Invalid data found when processing input"},
      {"/nonexistent/dir/clip.mp4", "/nonexistent/dir/clip.mp4: No such file or directory"},
  };
  for (const Input& in : inputs) {
    for (const int mode : {0, 1, 2}) {  // wait, no wait, caller's thread
      SCOPED_TRACE(in.path + " mode " + std::to_string(mode));
      EngineHost h;
      TPlayerSettings s = quiet();
      s.OpenInCallerThread = mode == 2;
      auto is = TVideoState::Create(h, s, in.path, nullptr, false, mode == 0);
      if (mode == 1) {
        ASSERT_TRUE(is);
        ASSERT_TRUE(waitUntil([&] { return h.failed > 0; }));
        is->Close();
      } else {
        EXPECT_FALSE(is);
      }
      EXPECT_EQ(h.failed, 1);
      EXPECT_EQ(h.failedWaited, mode == 0);
      EXPECT_EQ(h.quits, 1);
      EXPECT_EQ(h.opened, 0);
      EXPECT_EQ(h.lastErr(), in.text);
    }
  }
}

// A server that never answers: the open ends after ReadTimeout, and Close
// ends the wait at once.
TEST_F(VideoStateThreads, SilentServerTimesOutAndCloseEndsTheWait) {
  SilentServer server;
  ASSERT_GT(server.port(), 0);
  TPlayerSettings s = quiet();
  s.ReadTimeout = 500;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(TVideoState::Create(host, s, server.url(), nullptr, false, true));
  const double waited = secondsSince(start);
  EXPECT_GT(waited, 0.45);
  EXPECT_LT(waited, 0.5 + 0.3);
  EXPECT_TRUE(logged("connecting/reading timeout"));
  EXPECT_EQ(host.lastErr(), server.url() + ": Immediate exit requested");
  EXPECT_EQ(host.failed, 1);

  EngineHost h;
  s.ReadTimeout = 30000;
  auto is = TVideoState::Create(h, s, server.url(), nullptr, false, false);
  ASSERT_TRUE(is);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(h.failed, 0);
  start = std::chrono::steady_clock::now();
  is->Close();
  EXPECT_LT(secondsSince(start), 0.3);
  EXPECT_EQ(h.failed, 1);
  EXPECT_TRUE(logged("connecting/reading broken"));
}

// Filter commands: none before the first picture; on a running graph they
// are carried out, also while seeks rebuild the graph.
TEST_F(VideoStateThreads, FilterCommandsDuringDecodingAndSeeks) {
  TPlayerSettings s = quiet();
  s.VideoFilters = "hue";
  s.ResetFilterAfterSeeking = true;
  std::string before;
  bool sentBefore = true;
  host.onFileOpened = [&](TVideoState* is) {
    sentBefore = is->SendFilterCommand(true, "hue", "s", "0.5", 0, before);
  };
  auto is = TVideoState::Create(host, s, media::ensure(media::Kind::NumberedGop60), nullptr, false,
                                false);
  ASSERT_TRUE(is);
  ASSERT_TRUE(waitUntil([&] { return host.opened > 0; })) << host.errors();
  EXPECT_FALSE(sentBefore);
  EXPECT_EQ(before, "filter is not available");

  PictureConsumer pictures(*is, 1ms);
  ASSERT_TRUE(waitUntil([&] { return pictures.count() >= 5; }));
  // One graph serves every picture of a serial.
  EXPECT_EQ(loggedCount("Video frame changed"), 0);
  std::string error;
  EXPECT_FALSE(is->SendFilterCommand(true, "hue", "nosuchcommand", "1", 0, error));
  EXPECT_EQ(error, "avfilter_graph_send_command() failed: Function not implemented");

  std::atomic<bool> done{false};
  std::atomic<int> sent{0}, refused{0};
  std::thread commander([&] {
    std::string e;
    while (!done) {
      (is->SendFilterCommand(true, "hue", "s", sent % 2 ? "0.5" : "1", 0, e) ? sent : refused)++;
      is->QueueFilterCommand(true, "hue", "b", "0", 0, 0.1, e);
      std::this_thread::sleep_for(1ms);
    }
  });
  for (int i = 0; i < 20; ++i) {
    is->StreamSeek(std::int64_t{i % 4} * AV_TIME_BASE / 2, 0, false);
    std::this_thread::sleep_for(15ms);
  }
  done = true;
  commander.join();
  EXPECT_GT(sent, 0);
  EXPECT_LE(loggedCount("Video frame changed"), 20);
  pictures.stop();
  is->Close();
  EXPECT_EQ(host.quits, 0) << host.errors();
}

}  // namespace
