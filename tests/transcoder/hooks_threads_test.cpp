// Hooks and previews where threads meet: stopping a task from a hook or while
// one runs, pictures posted to the main thread, and the sound preview on its
// device's thread (the disk driver writes what it plays to a file).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "foundation/MainThread.h"
#include "foundation/SDLLoader.h"
#include "support/DecodedReadBack.h"
#include "support/TranscoderRig.h"

using namespace corvane;
using namespace std::chrono_literals;

namespace {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// A task that cannot end is a deadlock nothing here can undo.
void endsOrAbort(TCustomFFmpeg& t, std::chrono::milliseconds limit) {
  if (waitUntil([&] { return !t.Converting(); }, limit)) return;
  ADD_FAILURE() << "the task did not end in time";
  std::fprintf(stderr, "deadlocked task; aborting\n");
  std::abort();
}

class HookThreads : public testrig::TranscoderTest {};

TEST_F(HookThreads, StopFromAHookOrWhileOneRunsEndsTheTask) {
  for (const bool fromHook : {true, false}) {
    SCOPED_TRACE(fromHook ? "stop from the hook" : "stop while the hook waits");
    TCustomFFmpeg& t = newTask();
    ASSERT_GE(openInput("-f lavfi", "testsrc=size=160x120:rate=25:duration=20"), 0);
    ASSERT_GE(openOutput("-c:v mpeg4", path("stop.nut")), 0) << t.FLastErrMsg;
    std::atomic<int> raised{0};
    std::atomic<bool> entered{false}, release{false};
    t.FHooks.OnOutputFrameHook.Set(
        [&](TObject*, AVFrame* f, AVPixelFormat, int n, int, int, std::int64_t) {
          ++raised;
          f->data[0][0] = 255;
          if (n != 5) return;
          if (fromHook) {
            t.Stop(true);  // returns at once on the task's own thread
            return;
          }
          entered = true;
          waitUntil([&] { return release.load(); }, 10s);
        });
    t.StartConvert(true);
    if (!fromHook) {
      ASSERT_TRUE(waitUntil([&] { return entered.load(); }, 10s));
      std::thread stopper([&] { t.Stop(true); });
      std::this_thread::sleep_for(20ms);
      release = true;
      stopper.join();
    }
    endsOrAbort(t, 20s);
    EXPECT_FALSE(t.FatalException()) << t.FatalMessage();
    EXPECT_GE(raised, 6);
    EXPECT_LT(raised, 500);
    EXPECT_GE(testrig::decodeLuma(path("stop.nut")).size(), 6u);
  }
}

// A preview handler may change the post hooks: it is raised outside their lock.
TEST_F(HookThreads, PreviewHandlerSwitchesThePostHooksOff) {
  TCustomFFmpeg& t = newTask();
  ASSERT_GE(openInput("-f lavfi", "testsrc=size=160x120:rate=25:duration=1"), 0);
  ASSERT_GE(openOutput("-c:v rawvideo", path("post.nut")), 0) << t.FLastErrMsg;
  std::atomic<int> raised{0};
  t.FHooks.SetPreviewInterval(0);
  t.FHooks.SetPostHooksLocked(phBitmap);
  t.FHooks.OnPreviewBitmap.Set([&](TObject*, const Bitmap&, int, std::int64_t) {
    ++raised;
    t.FHooks.SetPostHooksLocked(0);
  });
  t.StartConvert(true);
  endsOrAbort(t, 20s);
  EXPECT_TRUE(t.Finished()) << t.FatalMessage();
  EXPECT_EQ(raised, 1);
  EXPECT_EQ(t.FHooks.PostHooks(), 0u);
}

// A sink that counts its paints on the main thread and closes after the first.
struct MainSink : IPreviewSink {
  MainSink(std::vector<std::string>& captions, std::function<void()> onClose,
           std::atomic<int>& freedOnMain)
      : captions_(captions), onClose_(std::move(onClose)), freedOnMain_(freedOnMain) {}
  ~MainSink() override {
    if (isMainThread()) ++freedOnMain_;
  }
  void Paint(const Bitmap&, const std::string& caption) override {
    EXPECT_TRUE(isMainThread());
    captions_.push_back(caption);
    onClose_();
  }
  std::vector<std::string>& captions_;
  std::function<void()> onClose_;
  std::atomic<int>& freedOnMain_;
};

// Posting from the task never waits for the main thread; the latest picture
// wins; a closed sink refuses further pictures and is freed on the main thread.
TEST(PreviewThreads, LatestPictureWinsAndTheSinkLivesOnTheMainThread) {
  auto dispatcher = std::make_shared<QueueDispatcher>();
  setDispatcher(dispatcher);
  std::vector<std::string> captions;
  std::atomic<int> created{0}, freedOnMain{0};
  auto previewer = std::make_unique<TPreviewer>([&](int w, int h, std::function<void()> onClose) {
    EXPECT_EQ(w, 8);
    EXPECT_EQ(h, 4);
    ++created;
    return std::make_unique<MainSink>(captions, std::move(onClose), freedOnMain);
  });
  Bitmap b;
  b.setSize(8, 4);
  std::thread task([&] {
    for (std::int64_t pts : {0, 40000, 80000}) EXPECT_TRUE(previewer->PaintFrame(b, 0, pts));
  });
  task.join();
  EXPECT_EQ(dispatcher->pending(), 1u);
  dispatcher->pump();
  EXPECT_EQ(captions, std::vector<std::string>{"00:00:00.085"});
  task = std::thread([&] {
    EXPECT_FALSE(previewer->PaintFrame(b, 0, 120000)) << "closed by the user";
    previewer.reset();
  });
  task.join();
  dispatcher->pump();
  EXPECT_EQ(created, 1);
  EXPECT_EQ(freedOnMain, 1);
  EXPECT_EQ(captions.size(), 1u);
  setDispatcher(nullptr);
}

class AudioPreviewThreads : public testrig::TranscoderTest {
 protected:
  void SetUp() override {
    TranscoderTest::SetUp();
    file_ = path("disk-audio.raw");
    ::setenv("SDL_DISKAUDIOFILE", file_.c_str(), 1);
    ASSERT_TRUE(FFLoader().Load(SDL2)) << FFLoader().LastErrMsg();
  }
  void TearDown() override {
    SDLLoader().QuitAll();
    FFLoader().Unload(SDL2);
    TranscoderTest::TearDown();
  }
  std::vector<std::int16_t> played() const {
    std::ifstream in(file_, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::int16_t> s(bytes.size() / 2);
    std::memcpy(s.data(), bytes.data(), s.size() * 2);
    return s;
  }
  std::string file_;
};

// Ends the run with a fatal error once enough sound went to the preview and
// the device has played it.
class FailingTask : public TCustomFFmpeg {
 public:
  ~FailingTask() override { Stop(true); }
  void OutputFrameHook(TOutputStream& ost, AVFrame* frame) override {
    TCustomFFmpeg::OutputFrameHook(ost, frame);
    if (failAfter <= 0 || ++frames != failAfter) return;
    // The device plays what it has and waits for more, then the run fails.
    std::this_thread::sleep_for(500ms);
    Fatal("Stopped by the test");
  }
  int failAfter = 0, frames = 0;
};

TEST_F(AudioPreviewThreads, DeviceReceivesTheSoundAndAFatalErrorStillEnds) {
  for (const int failAfter : {0, 25}) {
    SCOPED_TRACE(failAfter ? "fatal error" : "whole run");
    auto owned = std::make_unique<FailingTask>();
    FailingTask& t = *owned;
    engine_ = std::move(owned);
    t.failAfter = failAfter;
    ASSERT_GE(openInput("-re -f lavfi", "aevalsrc=0.5:s=48000:d=1"), 0) << t.FLastErrMsg;
    ASSERT_GE(openOutput("-c:a pcm_s16le", path("tone.nut")), 0) << t.FLastErrMsg;
    t.FAudioPreview.SetDriver("disk");
    t.SetPreviewAudio(true);
    t.StartConvert(true);
    endsOrAbort(t, 20s);
    EXPECT_FALSE(t.FAudioPreview.Opened());
    if (failAfter) {
      EXPECT_TRUE(t.FatalException());
      continue;
    }
    ASSERT_TRUE(t.Finished()) << t.FatalMessage();
    const std::vector<std::int16_t> s = played();
    std::size_t tone = 0;
    for (std::int16_t v : s)
      if (v > 16300 && v < 16500) ++tone;
    EXPECT_GT(tone, 12000u) << "of " << s.size() << " samples played";
  }
}

}  // namespace
