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

namespace corvane {
namespace {

using recrig::BridgeRig;
using recrig::TestPicture;

TEST(RecordingThreads, StopWhileHooksWrite) {
  testrig::withinDeadline(std::chrono::seconds(120), "start and stop while hooks write", [] {
    BridgeRig rig;
    std::atomic<bool> done{false};
    std::atomic<int> pictures{0};
    std::thread video([&] {
      TestPicture pic(320, 240, 16);
      for (std::int64_t pts = 0; !done; pts += 40000) {
        rig.bridge.FrameHook(pic.p, AV_PIX_FMT_YUV420P, 320, 240, pts);
        ++pictures;
      }
    });
    std::thread audio([&] {
      std::vector<std::int16_t> s(2048, 100);
      for (std::int64_t pts = 21333; !done; pts += 21333)
        rig.bridge.AudioHook(pts, reinterpret_cast<const std::uint8_t*>(s.data()), 4096, 48000, 2);
    });
    std::thread reader([&] {
      TInputFrameInfo frame;
      frame.BytesPerFrame = static_cast<std::int32_t>(RecordPlaneBytes(320, 240));
      TInputWaveInfo wave;
      wave.FrameSize = 4096;
      wave.Channels = 2;
      wave.SampleFormat = 16;
      std::vector<std::uint8_t> buf(static_cast<std::size_t>(frame.BytesPerFrame));
      while (!done) {
        rig.bridge.ReadFrameYUV(buf.data(), &frame);
        rig.bridge.ReadWaveData(buf.data(), &wave);
      }
    });
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
    reader.join();
    EXPECT_GT(recorded, 0);
    EXPECT_TRUE(rig.messages.empty()) << rig.messages.front();
  });
}

}  // namespace
}  // namespace corvane
