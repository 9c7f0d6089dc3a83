// Hooks and read handlers on their own threads while the main thread starts
// and stops recordings (run under ASan and TSan).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "recording/RecordPacking.h"
#include "recording/RecordingRig.h"
#include "support/Watchdog.h"

extern "C" {
#include <libavutil/error.h>
}

namespace corvane {
namespace {

using recrig::BridgeRig;
using recrig::TestPicture;

// Reads as the task does and checks what it gets; once both inputs ended
// (the recording stops) the task ends.
struct CheckingReader {
  BridgeRig& rig;
  std::vector<std::uint8_t> expected;
  std::atomic<int> badResults{0}, badBytes{0}, badStamps{0}, pictures{0};
  std::int64_t last = -1;
  bool videoEnded = false, audioEnded = false;

  CheckingReader(BridgeRig& r, const TestPicture& pic) : rig(r) {
    TRecordPacker packer;
    packer.Pack(pic.p, AV_PIX_FMT_YUV420P, pic.width, pic.height, 0);
    expected.assign(packer.Data() + kRecordHeaderBytes, packer.Data() + packer.Size());
  }
  void picture(std::vector<std::uint8_t>& buf, TInputFrameInfo& info) {
    const int r = rig.bridge.ReadFrameYUV(buf.data(), &info);
    videoEnded = r == AVERROR_EOF;
    if (r != info.BytesPerFrame) {
      if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) ++badResults;
      return;
    }
    ++pictures;
    if (buf != expected) ++badBytes;
    // Increasing within a recording; each recording starts at 0.
    if (info.TimeStamp != 0 && info.TimeStamp <= last) ++badStamps;
    last = info.TimeStamp;
  }
  void sound(std::vector<std::int16_t>& buf, TInputWaveInfo& wave) {
    const int r = rig.bridge.ReadWaveData(reinterpret_cast<std::uint8_t*>(buf.data()), &wave);
    audioEnded = r == AVERROR_EOF;
    if (r <= 0) {
      if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) ++badResults;
      return;
    }
    if (r % 4 != 0 || r > wave.FrameSize) ++badResults;
    for (int i = 0; i < r / 2; ++i)
      if (buf[i] != 100 && buf[i] != 0) ++badBytes;
  }
  void run(const std::atomic<bool>& done) {
    TInputFrameInfo info;
    info.BytesPerFrame = static_cast<std::int32_t>(expected.size());
    TInputWaveInfo wave;
    wave.FrameSize = 16384;
    wave.Channels = 2;
    wave.SampleFormat = 16;
    std::vector<std::uint8_t> frame(expected.size());
    std::vector<std::int16_t> samples(8192);
    while (!done) {
      picture(frame, info);
      sound(samples, wave);
      if (videoEnded && audioEnded) rig.encoder.endWith("");
    }
  }
};

TEST(RecordingThreads, StopWhileHooksWrite) {
  testrig::withinDeadline(std::chrono::seconds(120), "start and stop while hooks write", [] {
    BridgeRig rig;
    rig.bridge.SetStopWait(std::chrono::seconds(60));  // the reader takes everything
    std::atomic<bool> done{false};
    std::atomic<int> pictures{0};
    TestPicture pic(320, 240, 16);
    CheckingReader reader(rig, pic);
    std::thread video([&] {
      for (std::int64_t pts = 0; !done; pts += 40000) {
        rig.bridge.FrameHook(pic.p, AV_PIX_FMT_YUV420P, 320, 240, pts);
        ++pictures;
        // Paced, so that the sound's timeline (which the stop drains) stays short.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    std::thread audio([&] {
      std::vector<std::int16_t> s(2048, 100);
      for (std::int64_t pts = 21333; !done; pts += 21333) {
        rig.bridge.AudioHook(pts, reinterpret_cast<const std::uint8_t*>(s.data()), 4096, 48000, 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    std::thread task([&] { reader.run(done); });
    int recorded = 0;
    for (int round = 0; round < 30; ++round) {
      rig.bridge.StartRecording();
      rig.bridge.OnFileOpen();
      for (int i = 0; i < 200 && rig.bridge.Recording() != rsRecording; ++i) {
        rig.posts.run();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (rig.bridge.Recording() == rsRecording) ++recorded;
      const int seen = pictures;
      while (pictures < seen + 3) std::this_thread::yield();
      rig.bridge.StopRecording();
      rig.posts.run();
      EXPECT_EQ(rig.bridge.Recording(), rsIdle);
    }
    done = true;
    video.join();
    audio.join();
    task.join();
    EXPECT_GT(recorded, 0);
    EXPECT_GT(reader.pictures.load(), 0);
    EXPECT_EQ(reader.badResults.load(), 0);
    EXPECT_EQ(reader.badBytes.load(), 0);
    EXPECT_EQ(reader.badStamps.load(), 0);
    EXPECT_TRUE(rig.messages.empty()) << rig.messages.front();
  });
}

// The stop lets the task take what the rings hold before it ends: nothing
// written is dropped.
TEST(RecordingThreads, StopDrainsTheRings) {
  testrig::withinDeadline(std::chrono::seconds(120), "the stop drains the rings", [] {
    BridgeRig rig;
    rig.bridge.SetStopWait(std::chrono::seconds(60));
    rig.startRecording();
    TestPicture pic(640, 360);
    for (int i = 1; i < 10; ++i) {
      rig.bridge.FrameHook(pic.p, AV_PIX_FMT_YUV420P, 640, 360, 1000000 + i * 40000);
      rig.hookAudio(1021333 + i * 21333, 1024);
    }
    CheckingReader reader(rig, pic);
    std::atomic<bool> done{false};
    std::thread task([&] { reader.run(done); });
    rig.bridge.StopRecording();
    done = true;
    task.join();
    EXPECT_EQ(reader.pictures.load(), 10);
    EXPECT_EQ(reader.badResults.load(), 0);
    EXPECT_EQ(rig.bridge.Drops().Video, 0);
    EXPECT_EQ(rig.bridge.Drops().Audio, 0);
    EXPECT_TRUE(rig.messages.empty()) << rig.messages.front();
  });
}

}  // namespace
}  // namespace corvane
