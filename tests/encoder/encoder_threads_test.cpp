// The encoder's runs across threads: event order, start counting, the final
// report last, stopping and callbacks into the component.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "encoder/EncoderRig.h"

namespace corvane::testrig {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> seq(std::initializer_list<const char*> items) {
  return {items.begin(), items.end()};
}

TEST_F(EncoderTest, TwoTasksOnOneThreadReportInOrderEndingWithFinal) {
  EncoderWatchdog dog(60s);
  ASSERT_EQ(addTask(0.2), 0) << enc_->LastErrMsg();
  ASSERT_EQ(addTask(0.2), 1) << enc_->LastErrMsg();
  recordEvents();
  std::atomic<bool> secondAfterFirst{false};
  enc_->OnStart.Set([&](TObject*, int i) {
    log_events.add("start" + std::to_string(i));
    if (i == 1) secondAfterFirst = enc_->FFmpegs(0)->Terminated();
  });
  ASSERT_TRUE(enc_->Start(1));
  pumpUntilEnd();
  // Reports arrive through the queue: the second start may come before the
  // first report, never before the first task ended.
  auto events = log_events.snapshot();
  EXPECT_EQ(events.front(), "start0");
  std::erase_if(events, [](const std::string& e) { return e.rfind("start", 0) == 0; });
  EXPECT_EQ(events, seq({"term0", "term1", "end"}));
  EXPECT_TRUE(secondAfterFirst);
  EXPECT_EQ(log_events.count("start1"), 1);
  EXPECT_TRUE(enc_->Terminated());
  EXPECT_EQ(enc_->CompleteTasks(), 2);
}

TEST_F(EncoderTest, ShortTasksOnFourThreadsStartOnceAndFinalComesLast) {
  EncoderWatchdog dog(120s);
  constexpr int kTasks = 10;
  for (int i = 0; i < kTasks; ++i) ASSERT_EQ(addTask(0.04 * (i % 3 + 1)), i) << enc_->LastErrMsg();
  recordEvents();
  ASSERT_TRUE(enc_->Start(4));
  pumpUntilEnd();
  // Nothing may arrive after the final report.
  std::this_thread::sleep_for(50ms);
  queue_->pump();
  const auto events = log_events.snapshot();
  ASSERT_EQ(events.size(), 2u * kTasks + 1);
  EXPECT_EQ(events.back(), "end");
  for (int i = 0; i < kTasks; ++i) {
    EXPECT_EQ(log_events.count("start" + std::to_string(i)), 1) << i;
    EXPECT_EQ(log_events.count("term" + std::to_string(i)), 1) << i;
  }
}

TEST_F(EncoderTest, FailingTaskIsReportedWithItsTextAndOthersFinish) {
  EncoderWatchdog dog(60s);
  ASSERT_EQ(addTask(0.2), 0);
  ASSERT_EQ(addTask(0.2, "-vf nosuchfilter"), 1) << enc_->LastErrMsg();
  ASSERT_EQ(addTask(0.2), 2);
  recordEvents();
  ASSERT_TRUE(enc_->Start(2));
  pumpUntilEnd();
  std::lock_guard g(log_events.lock);
  ASSERT_EQ(infos.size(), 3u);
  for (const TTerminateInfo& t : infos) {
    SCOPED_TRACE(t.TaskIndex);
    if (t.TaskIndex == 1) {
      EXPECT_FALSE(t.Finished);
      EXPECT_TRUE(t.Exception);
      EXPECT_FALSE(t.ExceptionMsg.empty());
    } else {
      EXPECT_TRUE(t.Finished);
      EXPECT_FALSE(t.Exception);
    }
  }
}

TEST_F(EncoderTest, EmptyListStillFinishes) {
  EncoderWatchdog dog(30s);
  recordEvents();
  ASSERT_TRUE(enc_->Start(2));
  pumpUntilEnd();
  EXPECT_TRUE(enc_->Terminated());
  EXPECT_EQ(log_events.snapshot(), seq({"end"}));
}

TEST_F(EncoderTest, StopWithWaitWhileRunningOnTheMainThreadQueue) {
  EncoderWatchdog dog(60s);
  ASSERT_EQ(addTask(20, "", true), 0);
  ASSERT_EQ(addTask(20, "", true), 1);
  ASSERT_EQ(addTask(20, "", true), 2);  // pending: never starts
  recordEvents();
  std::atomic<int> progress{0};
  std::atomic<bool> offMain{false};
  enc_->SetProgressInterval(20);
  enc_->OnProgress.Set([&](TObject*, TEncProgressInfo*) {
    if (!isMainThread()) offMain = true;
    ++progress;
  });
  ASSERT_TRUE(enc_->Start(2));
  pumpUntil([&] { return progress > 2; });
  enc_->Stop(true);
  pumpUntilEnd();
  EXPECT_FALSE(offMain);
  EXPECT_EQ(log_events.count("start2"), 0);
  const auto events = log_events.snapshot();
  EXPECT_EQ(events.back(), "end");
  EXPECT_EQ(log_events.count("term0") + log_events.count("term1"), 2);
}

// Stop in each state ends the run with the final report, under a watchdog.
TEST_F(EncoderTest, StopInEveryStateEnds) {
  enum class State { BeforeStart, Running, Paused, Stepping, AfterEnd };
  for (State state :
       {State::BeforeStart, State::Running, State::Paused, State::Stepping, State::AfterEnd}) {
    SCOPED_TRACE(static_cast<int>(state));
    EncoderWatchdog dog(60s);
    enc_ = std::make_unique<TDEDirerer>();
    log_events.events.clear();
    const bool shortRun = state == State::AfterEnd;
    ASSERT_EQ(addTask(shortRun ? 0.1 : 20, "", !shortRun), 0) << enc_->LastErrMsg();
    recordEvents();
    if (state == State::BeforeStart) {
      enc_->Stop(true);
      EXPECT_FALSE(enc_->Working());
    }
    ASSERT_TRUE(enc_->Start(1));
    if (state == State::Paused) {
      enc_->Pause();
      EXPECT_TRUE(enc_->Paused());
    }
    if (state == State::Stepping) {
      enc_->Step();
      EXPECT_TRUE(enc_->Stepped());
    }
    if (state == State::AfterEnd) pumpUntilEnd();
    enc_->Stop(true);
    pumpUntilEnd();
    EXPECT_EQ(log_events.snapshot().back(), "end");
    EXPECT_EQ(log_events.count("end"), 1);
  }
}

// Reports follow TriggerEventInMainThread; the final report too.
TEST_F(EncoderTest, ReportsRunWhereTheSwitchSays) {
  for (bool onMain : {true, false}) {
    SCOPED_TRACE(onMain);
    EncoderWatchdog dog(60s);
    enc_ = std::make_unique<TDEDirerer>();
    log_events.events.clear();
    enc_->SetTriggerEventInMainThread(onMain);
    ASSERT_EQ(addTask(0.4), 0);
    std::atomic<int> progress{0}, progressOnMain{0}, endOnMain{0};
    enc_->SetProgressInterval(10);
    enc_->OnProgress.Set([&](TObject*, TEncProgressInfo* p) {
      EXPECT_EQ(p->TaskIndex, 0);
      // The record names no output file, and its rate is in kbit/s.
      EXPECT_EQ(p->FileIndex, -1);
      if (p->CurrentDuration > 0 && p->CurrentSize > 0) {
        const double kbits = p->CurrentSize * 8000.0 / static_cast<double>(p->CurrentDuration);
        EXPECT_NEAR(p->BitRate, kbits, kbits * 0.01 + 0.1);
      }
      ++progress;
      progressOnMain += isMainThread();
    });
    enc_->OnTerminate.Set([&](TObject*, const TTerminateInfo& t) {
      if (t.TaskIndex >= 0) return;
      endOnMain += isMainThread();
      log_events.add("end");
    });
    ASSERT_TRUE(enc_->Start(1));
    pumpUntilEnd();
    EXPECT_GT(progress, 0);
    EXPECT_EQ(progressOnMain, onMain ? progress.load() : 0);
    EXPECT_EQ(endOnMain, onMain ? 1 : 0);
  }
}

TEST_F(EncoderTest, HandlersCallBackIntoTheComponent) {
  EncoderWatchdog dog(60s);
  ASSERT_EQ(addTask(20, "", true), 0);
  recordEvents();
  enc_->SetProgressInterval(20);
  enc_->OnProgress.Set([this](TObject*, TEncProgressInfo* p) {
    EXPECT_EQ(p->TaskIndex, 0);
    enc_->Stop(false);
  });
  bool cleared = false;
  enc_->OnTerminate.Set([&](TObject*, const TTerminateInfo& t) {
    log_events.add(t.TaskIndex < 0 ? "end" : "term" + std::to_string(t.TaskIndex));
    if (t.TaskIndex < 0) cleared = enc_->ClearTasks();
  });
  ASSERT_TRUE(enc_->Start(1));
  pumpUntilEnd();
  EXPECT_TRUE(cleared) << enc_->LastErrMsg();
  EXPECT_EQ(enc_->TasksCount(), 0);
  EXPECT_FALSE(enc_->Working());
}

TEST_F(EncoderTest, AutoReleaseLeavesNullSlots) {
  EncoderWatchdog dog(60s);
  ASSERT_EQ(addTask(0.2), 0);
  ASSERT_EQ(addTask(0.2), 1);
  recordEvents();
  enc_->SetAutoReleaseTask(true);
  ASSERT_TRUE(enc_->Start(2));
  pumpUntilEnd();
  EXPECT_EQ(enc_->TasksCount(), 2);
  EXPECT_EQ(enc_->FFmpegs(0), nullptr);
  EXPECT_EQ(enc_->FFmpegs(1), nullptr);
  EXPECT_EQ(enc_->InputCount(0), -1);
  EXPECT_TRUE(enc_->ClearTasks());
}

TEST_F(EncoderTest, DestroyedRightAfterStartDrainsItsReports) {
  EncoderWatchdog dog(60s);
  enc_->SetTriggerEventInMainThread(false);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(addTask(0.1), i);
  std::atomic<int> reports{0};
  enc_->OnTerminate.Set([&](TObject*, const TTerminateInfo&) { ++reports; });
  enc_->SetAutoReleaseTask(true);
  ASSERT_TRUE(enc_->Start(4));
  enc_.reset();  // under ASan: no report may touch the component afterwards
  SUCCEED();
}

TEST_F(EncoderTest, HooksRunOnTheTaskThreadAndStopHookEndsThem) {
  EncoderWatchdog dog(60s);
  const int i = enc_->AddTask("testsrc=size=64x48:rate=25:duration=1", "-f lavfi");
  ASSERT_EQ(i, 0);
  ASSERT_GE(enc_->SetOutput(0, path("o.null"), "-f null -videoinputhook"), 0) << enc_->LastErrMsg();
  std::atomic<int> calls{0};
  std::atomic<bool> onMain{false};
  enc_->OnVideoInputHook.Set([&](TObject*, THookInfo* h) {
    if (isMainThread()) onMain = true;
    EXPECT_EQ(h->TaskIndex, 0);
    if (++calls == 3) h->StopHook = true;
  });
  recordEvents();
  ASSERT_TRUE(enc_->Start(1));
  pumpUntilEnd();
  EXPECT_EQ(calls, 3);
  EXPECT_FALSE(onMain);
}

}  // namespace
}  // namespace corvane::testrig
