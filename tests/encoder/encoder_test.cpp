// The encoder's task building, settings, hook words and start counting.
#include <gtest/gtest.h>

#include "encoder/EncoderRig.h"
#include "encoder/HookWords.h"
#include "encoder/TaskScheduler.h"

namespace corvane::testrig {
namespace {

using namespace std::chrono_literals;

TEST(EncoderHookWords, NormalisedAndFlagged) {
  struct Case {
    const char* text;
    const char* normalised;
    bool audioIn, videoOut, frameIn;
  };
  const Case cases[] = {
      {"-c:v mpeg4 -audioinputhook", "-c:v mpeg4 -AudioInputHook", true, false, false},
      {"-VIDEOOUTPUTHOOK -FrameInputHook", "-VideoOutputHook -FrameInputHook", false, true, true},
      {"-audioinputhook -audioinputhook", "-AudioInputHook -AudioInputHook", true, false, false},
      {"-audioinputhooks -x", "-audioinputhooks -x", false, false, false},
      {"", "", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(NormaliseHookWords(c.text), c.normalised);
    const TOutputOptions o = HookFlagsFromText(c.text);
    EXPECT_EQ(o.AudioInputHook, c.audioIn);
    EXPECT_EQ(o.VideoOutputHook, c.videoOut);
    EXPECT_EQ(o.FrameInputHook, c.frameIn);
    EXPECT_EQ(o.VideoHookBitsPixel, 32);
  }
}

// Counting under one lock: released slots count, a run always ends once.
TEST(EncoderScheduler, SkipsReleasedSlotsAndEndsOnce) {
  TTaskScheduler s;
  const std::vector<bool> present{true, false, true, false};
  const auto isPresent = [&](int i) { return static_cast<bool>(present[i]); };
  s.Begin(4);
  EXPECT_EQ(s.Reserve(isPresent), 0);
  EXPECT_EQ(s.Reserve(isPresent), 2);
  EXPECT_FALSE(s.Ended());
  EXPECT_EQ(s.Reserve(isPresent), -1);  // the last slot is released
  EXPECT_TRUE(s.Ended());
  EXPECT_FALSE(s.FinishIfIdle());  // reported once only
  EXPECT_EQ(s.CompleteTasks(), 4);

  s.Begin(0);  // an empty list
  EXPECT_EQ(s.Reserve(isPresent), -1);
  EXPECT_TRUE(s.FinishIfIdle());

  s.Begin(3);  // a stop with tasks pending
  EXPECT_EQ(s.Reserve(isPresent), 0);
  EXPECT_FALSE(s.CancelPending());
  EXPECT_EQ(s.Reserve(isPresent), -1);
  EXPECT_TRUE(s.Ended());
}

TEST_F(EncoderTest, TaskChangesRefusedWhileWorkingUntilCleared) {
  ASSERT_EQ(addTask(0.1), 0);
  recordEvents();
  ASSERT_TRUE(enc_->Start(0));  // returns once every task ended
  EXPECT_EQ(log_events.snapshot(), (std::vector<std::string>{"start0", "term0", "end"}));
  EXPECT_TRUE(enc_->Working());
  EXPECT_LT(enc_->AddTask("testsrc", "-f lavfi"), 0);
  EXPECT_EQ(enc_->LastErrMsg(), "Cannot AddTask while working.");
  EXPECT_LT(enc_->SetOutput(0, path("x.null"), "-f null"), 0);
  EXPECT_EQ(enc_->LastErrMsg(), "Cannot SetOutput while working.");
  EXPECT_FALSE(enc_->Start(1));
  EXPECT_EQ(enc_->LastErrMsg(), "Cannot StartTask while working.");
  EXPECT_TRUE(enc_->ClearTasks());
  EXPECT_EQ(enc_->TasksCount(), 0);
  EXPECT_EQ(addTask(0.1), 0) << enc_->LastErrMsg();
}

TEST_F(EncoderTest, OutputTextWithTrailingHookWord) {
  ASSERT_EQ(enc_->AddTask("testsrc=size=64x48:duration=0.1", "-f lavfi"), 0);
  ASSERT_GE(enc_->SetOutput(0, path("o.null"), "-f null -AUDIOinputHook"), 0) << enc_->LastErrMsg();
  const TOutputOptions o = enc_->OutputOptions(0, 0);
  EXPECT_TRUE(o.AudioInputHook);
  EXPECT_FALSE(o.VideoInputHook);
  EXPECT_EQ(o.Options, "-f null -AUDIOinputHook");
  EXPECT_EQ(o.FileName, path("o.null"));
  EXPECT_EQ(enc_->OutputOptions(0, 5).VideoHookBitsPixel, 32);  // a reset record
}

TEST_F(EncoderTest, BuildingFailuresLeaveNoTask) {
  EXPECT_LT(enc_->AddTask(path("missing.mkv")), 0);
  EXPECT_FALSE(enc_->LastErrMsg().empty());
  EXPECT_EQ(enc_->TasksCount(), 0);
  EXPECT_LT(enc_->AddInput(3, path("missing.mkv")), 0);
  EXPECT_LT(enc_->SetOutput(0, path("x.null"), "-f null"), 0);
  ASSERT_EQ(enc_->AddTask("testsrc=duration=0.1", "-f lavfi"), 0);
  EXPECT_LT(enc_->SetOutput(0, path("x.nosuchext")), 0);
  EXPECT_FALSE(enc_->LastErrMsg().empty());
  EXPECT_EQ(enc_->OutputFiles(0, 0), nullptr);
  EXPECT_NE(enc_->InputFiles(0, 0), nullptr);
  EXPECT_NE(enc_->Decoders(0, 0), nullptr);
  EXPECT_EQ(enc_->Decoders(0, 1), nullptr);
  EXPECT_EQ(enc_->InputOptions(0, 0).FileName, "testsrc=duration=0.1");
}

TEST_F(EncoderTest, SettingsDefaultsAndFloors) {
  EXPECT_EQ(enc_->PreviewInterval(), 100);
  EXPECT_EQ(enc_->ProgressInterval(), 500);
  EXPECT_TRUE(enc_->TriggerEventInMainThread());
  EXPECT_TRUE(enc_->HaltOnInvalidOption());
  EXPECT_FALSE(enc_->AutoReleaseTask());
  enc_->SetPreviewInterval(5);
  EXPECT_EQ(enc_->PreviewInterval(), 10);
  enc_->SetProgressInterval(-3);
  EXPECT_EQ(enc_->ProgressInterval(), 10);
  ASSERT_EQ(addTask(0.1), 0);
  enc_->SetPreviewVideo(true);
  enc_->SetPreviewBitmap(true);
  EXPECT_EQ(enc_->FFmpegs(0)->FHooks.PostHooks(), unsigned{phPreview | phBitmap});
  enc_->SetPreviewVideo(false);
  EXPECT_EQ(enc_->FFmpegs(0)->FHooks.PostHooks(), unsigned{phBitmap});
}

}  // namespace
}  // namespace corvane::testrig
