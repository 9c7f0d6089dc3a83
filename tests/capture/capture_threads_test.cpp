// Capture inputs in a task on its own thread while the main thread waits
// for it: frame events reach the main thread through its queue, wave events
// stay on the reading thread, handlers change during the run, and a stop
// while the reading thread waits for the main thread ends the task.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "capture/FrameInputAdapter.h"
#include "capture/FrameInputFormat.h"
#include "capture/WaveInputAdapter.h"
#include "capture/WaveInputFormat.h"
#include "capture_rig.h"
#include "foundation/MainThread.h"

using namespace corvane;
using namespace std::chrono_literals;

namespace {

class CaptureThreadsTest : public testrig::CaptureTest {
 protected:
  void SetUp() override {
    CaptureTest::SetUp();
    dispatcher_ = std::make_shared<QueueDispatcher>();
    setDispatcher(dispatcher_);
    setMarshalling(true);
    RegisterFrameInputFormat();
    RegisterWaveInputFormat();
  }
  void TearDown() override {
    setDispatcher(nullptr);
    CaptureTest::TearDown();
  }
  std::shared_ptr<QueueDispatcher> dispatcher_;
};

TEST_F(CaptureThreadsTest, EventsWhileTheMainThreadWaits) {
  auto frames = std::make_shared<TFrameInputAdapter>();
  auto wave = std::make_shared<TWaveInputAdapter>();
  std::atomic<int> frame_calls_off_main{0}, wave_calls_on_main{0}, closes_on_main{0};
  std::atomic<int> pictures{0};
  std::atomic<std::int64_t> delivered{0};
  frames->SetOnReadFrameYUV([&](TObject*, std::uint8_t* data, TInputFrameInfo* info) {
    if (!isMainThread()) ++frame_calls_off_main;
    if (info->FrameNumber > 25) return AVERROR_EOF;
    std::memset(data, info->FrameNumber, static_cast<std::size_t>(info->BytesPerFrame));
    ++pictures;
    return 0;
  });
  frames->SetOnReadClose([&](TObject*) { closes_on_main += isMainThread(); });
  auto silence = [&](TObject*, std::uint8_t* data, TInputWaveInfo* info) {
    if (isMainThread()) ++wave_calls_on_main;
    if (info->FrameNumber > 47) return AVERROR_EOF;  // about a second
    std::memset(data, 0, static_cast<std::size_t>(info->FrameSize));
    delivered += info->FrameSize;
    return info->FrameSize;
  };
  wave->SetOnReadWaveData(silence);

  TCustomFFmpeg& task = newTask();
  ASSERT_GE(openInput("-f frameinput -s 32x16 -r 25", frames->RegistryUrl()), 0)
      << task.FLastErrMsg;
  ASSERT_GE(openInput("-f waveinput -ar 48000", wave->RegistryUrl()), 0) << task.FLastErrMsg;
  ASSERT_GE(openOutput("-map 0:v -map 1:a -c:v rawvideo -c:a pcm_s16le", path("out.nut")), 0)
      << task.FLastErrMsg;
  task.StartConvert(true);
  // The application replaces a handler while the task reads.
  wave->SetOnReadWaveData(silence);
  ASSERT_TRUE(waitPumping([&] { return task.Terminated(); }, 60s));
  task.Stop(true);
  EXPECT_TRUE(task.Finished()) << task.FatalMessage();
  EXPECT_EQ(frame_calls_off_main, 0);
  EXPECT_EQ(wave_calls_on_main, 0);
  EXPECT_EQ(closes_on_main, 1);
  EXPECT_EQ(pictures, 25);
  EXPECT_EQ(delivered, 47 * 4096);
}

// The reading thread waits in the main thread's queue for a picture that is
// never ready; the owner's stop, which pumps, ends the task.
TEST_F(CaptureThreadsTest, StopWhileWaitingForTheMainThread) {
  auto frames = std::make_shared<TFrameInputAdapter>();
  std::atomic<int> asked{0};
  frames->SetOnReadFrameYUV([&](TObject*, std::uint8_t*, TInputFrameInfo*) {
    ++asked;
    return AVERROR(EAGAIN);
  });
  TCustomFFmpeg& task = newTask();
  ASSERT_GE(openInput("-f frameinput -s 32x16", frames->RegistryUrl()), 0) << task.FLastErrMsg;
  ASSERT_GE(openOutput("-c:v rawvideo", path("never.nut")), 0) << task.FLastErrMsg;
  task.StartConvert(true);
  ASSERT_TRUE(waitPumping([&] { return asked >= 3; }, 30s));
  task.Stop(true);
  EXPECT_TRUE(task.Terminated());
  EXPECT_EQ(frames->FrameInfo(), nullptr);  // the input was closed
}

}  // namespace
