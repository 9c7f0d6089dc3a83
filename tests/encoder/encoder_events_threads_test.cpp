// The encoder's events reach the right task and thread; filter commands,
// list changes and blocking opens through the component.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <future>
#include <set>
#include <thread>

#include "encoder/EncoderRig.h"
#include "support/SilentServer.h"

namespace corvane::testrig {
namespace {

using namespace std::chrono_literals;

// Whether another thread can take the canvas now.
bool CanvasFreeElsewhere(const Bitmap& b) {
  return std::async(std::launch::async,
                    [&b] {
                      if (!b.canvas.try_lock()) return false;
                      b.canvas.unlock();
                      return true;
                    })
      .get();
}

// A stop from another thread ends an open that would block for good.
TEST_F(EncoderTest, StopInterruptsABlockingOpen) {
  SilentServer server;
  ASSERT_GT(server.port(), 0);
  const int port = [] {  // free once the spare listener is gone
    SilentServer spare;
    return spare.port();
  }();
  struct Case {
    const char* name;
    std::function<int()> prepare, open;  // prepare: before any stop
    int tasksAfter;
  } cases[] = {
      {"input", [] { return 0; }, [&] { return enc_->AddTask(server.url(), "-f mpegts"); }, 0},
      {"output", [&] { return enc_->AddTask("testsrc=duration=1", "-f lavfi"); },
       [&] {
         return enc_->SetOutput(0, "tcp://127.0.0.1:" + std::to_string(port) + "?listen=1",
                                "-f mpegts");
       },
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EncoderWatchdog dog(30s);
    enc_ = std::make_unique<TDEDirerer>();
    enc_->SetReadTimeout(0);  // nothing but the stop ends these opens
    enc_->SetWriteTimeout(0);
    ASSERT_EQ(c.prepare(), 0) << enc_->LastErrMsg();
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
      std::this_thread::sleep_for(100ms);
      stopped = true;
      enc_->Stop(false);  // once: also when it comes before the open began
    });
    const int ret = c.open();
    const bool returnedAfterStop = stopped;
    stopper.join();
    EXPECT_TRUE(returnedAfterStop);
    EXPECT_LT(ret, 0);
    EXPECT_EQ(enc_->TasksCount(), c.tasksAfter);
  }
}

// Preview bitmaps and bitmap hooks carry their task's index, with the
// canvas locked for the call.
TEST_F(EncoderTest, PreviewAndVideoHookCarryTheirTaskWithTheCanvasLocked) {
  EncoderWatchdog dog(60s);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(enc_->AddTask("testsrc=size=64x48:rate=25:duration=0.6", "-f lavfi"), i);
    ASSERT_GE(enc_->SetOutput(i, path("p" + std::to_string(i) + ".null"),
                              i == 1 ? "-f null -videooutputhook" : "-f null"),
              0)
        << enc_->LastErrMsg();
  }
  enc_->SetPreviewBitmap(true);
  enc_->SetPreviewInterval(10);
  std::mutex lock;
  std::set<int> previewTasks, hookTasks;
  std::atomic<int> unlockedCalls{0}, previewsOffMain{0}, badBitmaps{0};
  enc_->OnPreviewBitmap.Set([&](TObject*, const TPreviewInfo& p) {
    if (!isMainThread()) ++previewsOffMain;
    if (!p.Bitmap || p.Bitmap->width != 64 || p.Bitmap->height != 48) ++badBitmaps;
    if (p.Bitmap && CanvasFreeElsewhere(*p.Bitmap)) ++unlockedCalls;
    std::lock_guard g(lock);
    previewTasks.insert(p.TaskIndex);
  });
  enc_->OnVideoOutputHook.Set([&](TObject*, THookInfo* h) {
    if (CanvasFreeElsewhere(*h->Bitmap)) ++unlockedCalls;
    std::lock_guard g(lock);
    hookTasks.insert(h->TaskIndex);
  });
  recordEvents();
  ASSERT_TRUE(enc_->Start(2));
  pumpUntilEnd();
  std::lock_guard g(lock);
  EXPECT_EQ(previewTasks, (std::set<int>{0, 1}));
  EXPECT_EQ(hookTasks, std::set<int>{1});
  EXPECT_EQ(unlockedCalls, 0);
  EXPECT_EQ(previewsOffMain, 0);
  EXPECT_EQ(badBitmaps, 0);
}

// Audio hooks go to the input or output event with the index of the task
// whose output asked for them.
TEST_F(EncoderTest, AudioHooksReachTheRightEventAndTask) {
  EncoderWatchdog dog(60s);
  const char* hooks[] = {"-audioinputhook", "-audiooutputhook"};
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(enc_->AddTask("sine=duration=0.3", "-f lavfi"), i);
    ASSERT_GE(enc_->SetOutput(i, path("a" + std::to_string(i) + ".null"),
                              std::string("-f null ") + hooks[i]),
              0)
        << enc_->LastErrMsg();
  }
  std::mutex lock;
  std::set<int> inputTasks, outputTasks;
  std::atomic<int> onMain{0};
  const auto record = [&](std::set<int>& into) {
    return
        [&](TObject*, int task, std::int64_t, AVFrame* f, int, int rate, int ch, AVSampleFormat) {
          onMain += isMainThread();
          EXPECT_NE(f, nullptr);
          EXPECT_GT(rate, 0);
          EXPECT_GT(ch, 0);
          std::lock_guard g(lock);
          into.insert(task);
        };
  };
  enc_->OnAudioInputHook.Set(record(inputTasks));
  enc_->OnAudioOutputHook.Set(record(outputTasks));
  recordEvents();
  ASSERT_TRUE(enc_->Start(2));
  pumpUntilEnd();
  std::lock_guard g(lock);
  EXPECT_EQ(inputTasks, std::set<int>{0});
  EXPECT_EQ(outputTasks, std::set<int>{1});
  EXPECT_EQ(onMain, 0);
}

// The probe notification names the task that opens the input and its
// context; it runs on the thread that adds the input.
TEST_F(EncoderTest, ProbeNotificationNamesTheOpeningTask) {
  ASSERT_EQ(enc_->AddTask("testsrc=duration=0.1", "-f lavfi"), 0);
  ASSERT_EQ(enc_->AddTask("testsrc=duration=0.1", "-f lavfi"), 1);
  TObject* sender = nullptr;
  AVFormatContext* probed = nullptr;
  int calls = 0;
  enc_->OnBeforeFindStreamInfo.Set([&](TObject* s, AVFormatContext* ic) {
    EXPECT_TRUE(isMainThread());
    ++calls;
    sender = s;
    probed = ic;
  });
  ASSERT_EQ(enc_->AddInput(1, "sine=duration=0.1", "-f lavfi"), 1) << enc_->LastErrMsg();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(sender, enc_->FFmpegs(1));
  EXPECT_EQ(probed, enc_->InputFiles(1, 1));
  EXPECT_EQ(enc_->InputCount(1), 2);
  EXPECT_EQ(enc_->InputCount(0), 1);
}

// Exchange swaps two entries, RemoveTask deletes one and later ones move
// down; the run then reports by the new indexes.
TEST_F(EncoderTest, ExchangeAndRemoveReorderTheList) {
  EncoderWatchdog dog(60s);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(addTask(0.1 * (i + 1)), i) << enc_->LastErrMsg();
  const TFFmpeg* first = enc_->FFmpegs(0);
  const TFFmpeg* third = enc_->FFmpegs(2);
  ASSERT_TRUE(enc_->Exchange(0, 2));
  EXPECT_EQ(enc_->FFmpegs(0), third);
  EXPECT_EQ(enc_->GetTaskIndex(first), 2);
  EXPECT_EQ(enc_->InputOptions(0, 0).FileName.find("duration=0.3") != std::string::npos, true);
  EXPECT_FALSE(enc_->Exchange(0, 3));
  ASSERT_TRUE(enc_->RemoveTask(0));
  EXPECT_EQ(enc_->TasksCount(), 2);
  EXPECT_EQ(enc_->GetTaskIndex(first), 1);
  EXPECT_EQ(enc_->GetTaskIndex(third), -1);
  EXPECT_FALSE(enc_->RemoveTask(2));
  recordEvents();
  ASSERT_TRUE(enc_->Start(0));
  std::lock_guard g(log_events.lock);
  ASSERT_EQ(infos.size(), 2u);
  EXPECT_EQ(infos[0].TaskIndex, 0);
  EXPECT_EQ(infos[1].TaskIndex, 1);
  EXPECT_TRUE(infos[0].Finished && infos[1].Finished);
}

// Filter commands through the component reach the running task's graphs:
// a known target takes effect on the frames that follow, an unknown one
// and a missing task are refused.
TEST_F(EncoderTest, FilterCommandsReachTheRunningTask) {
  EncoderWatchdog dog(60s);
  ASSERT_EQ(addTask(20, "-vf hue -pix_fmt yuv420p -frameoutputhook", true), 0)
      << enc_->LastErrMsg();
  std::atomic<bool> sent{false};
  std::atomic<int> framesBefore{0}, colourBefore{0}, framesAfter{0}, greyAfter{0};
  enc_->OnFrameOutputHook.Set([&](TObject*, TFrameHookInfo* h) {
    const AVFrame* f = h->Picture;
    bool grey = true;
    for (int y = 0; y < (h->Height + 1) / 2 && grey; ++y)
      for (int x = 0; x < (h->Width + 1) / 2 && grey; ++x)
        grey = std::abs(f->data[1][y * f->linesize[1] + x] - 128) <= 1;
    if (!sent) {
      ++framesBefore;
      colourBefore += !grey;
    } else {
      ++framesAfter;
      greyAfter += grey;
    }
  });
  recordEvents();
  ASSERT_TRUE(enc_->Start(1));
  pumpUntil([&] { return framesBefore > 2; });
  EXPECT_FALSE(enc_->SendFilterCommand(0, "nosuchfilter", "s", "0", 0));
  EXPECT_FALSE(enc_->SendFilterCommand(5, "hue", "s", "0", 0));
  EXPECT_FALSE(enc_->QueueFilterCommand(5, "hue", "s", "0", 0, 0));
  sent = true;  // frames hooked from now on may follow the command
  EXPECT_TRUE(enc_->QueueFilterCommand(0, "hue", "h", "90", 0, 0));
  EXPECT_TRUE(enc_->SendFilterCommand(0, "hue", "s", "0", 0));
  pumpUntil([&] { return framesAfter > 4; });
  enc_->Stop(true);
  pumpUntilEnd();
  EXPECT_EQ(colourBefore, framesBefore.load());
  // A frame or two may have left the graph before the command.
  EXPECT_GE(greyAfter, framesAfter - 2);
}

}  // namespace
}  // namespace corvane::testrig
