// Running the task list: start, termination, control calls.
#include <exception>

#include "encoder/CustomEncoder.h"

namespace corvane {

bool TCustomEncoder::Start(int AThreadCount) {
  if (!CheckNotWorking("StartTask")) return false;
  FScheduler.Begin(TasksCount());
  {
    std::lock_guard g(FLaunchLock);
    FStopRequested = false;
  }
  FTerminated = false;
  FThreadMode = AThreadCount > 0;
  FWorking = true;
  FPaused = false;
  FStepped = false;
  if (FThreadMode) {
    StartNextTasks(AThreadCount);
  } else {
    StartNextTasks(-1);  // each task runs to its end here
  }
  bool raise = false;
  {
    std::lock_guard g(FTerminateLock);
    FScheduler.FinishIfIdle();
    // Without thread mode the final report comes from here, after the last
    // run returned, so its handler may clear the tasks.
    raise = FScheduler.Done() && AllDone();
  }
  if (raise) RaiseTerminate({-1, true, false, {}});
  return true;
}

// Starts up to AMaxCount tasks (-1: every pending one, one after another).
void TCustomEncoder::StartNextTasks(int AMaxCount) {
  for (int started = 0; AMaxCount < 0 || started < AMaxCount; ++started) {
    const int index = FScheduler.Reserve([this](int i) { return FFFmpegList.Items(i) != nullptr; });
    if (index < 0) return;
    LaunchTask(index);
  }
}

void TCustomEncoder::LaunchTask(int AIndex) {
  const std::shared_ptr<TFFmpeg> task = FFFmpegList.Item(AIndex);
  OnStart.Raise(this, AIndex);
  // A stop that came first (perhaps from the start handler) ends the task
  // before it ran; it is reported as not finished.
  bool skipped = false;
  {
    std::lock_guard g(FLaunchLock);
    skipped = FStopRequested;
    task->FLaunched = true;
    if (!skipped && FThreadMode) task->StartConvert(true);
  }
  if (skipped)
    DoTerminate(task.get());
  else if (!FThreadMode)
    task->StartConvert(false);  // runs to its end here
}

// Stops the tasks that were started; pending ones never start.
void TCustomEncoder::StopLaunched(bool AWaitForStop) {
  std::vector<std::shared_ptr<TFFmpeg>> launched;
  {
    std::lock_guard g(FLaunchLock);
    FStopRequested = true;
    for (auto& t : FFFmpegList.Snapshot())
      if (t->FLaunched) launched.push_back(std::move(t));
  }
  for (const auto& t : launched)
    if (t->Converting()) t->Stop(AWaitForStop);
}

void TCustomEncoder::DoTerminate(TFFmpeg* ATask) {
  bool startNext = false;
  {
    std::lock_guard g(FTerminateLock);
    const int index = FFFmpegList.IndexOf(ATask);
    const bool done = FScheduler.Ended();
    if (FThreadMode) {
      Report(index, ATask, ATask->Finished(), ATask->FatalException(), ATask->FatalMessage());
      if (done) AllDone();
      startNext = !done;
    }  // else reported below, on this thread, outside the lock
  }
  if (!FThreadMode) {
    if (OnTerminate.Assigned())
      RaiseTerminate({FFFmpegList.IndexOf(ATask), ATask->Finished(), ATask->FatalException(),
                      ATask->FatalMessage()});
    return;
  }
  if (startNext) StartNextTasks(1);
}

// Every task has ended (FTerminateLock held). In thread mode the final
// report is queued after every task's; otherwise true: the caller raises it
// once it released the lock.
bool TCustomEncoder::AllDone() {
  if (FTerminated) return false;
  FTerminated = true;
  if (!FThreadMode) return true;
  FReports.Post([this] { RaiseTerminate({-1, true, false, {}}); });
  return false;
}

// Queues a task's termination report (FTerminateLock held).
void TCustomEncoder::Report(std::int32_t ATaskIndex, TFFmpeg* ATask, bool AFinished,
                            bool AException, const std::string& AMessage) {
  TTerminateInfo info{ATaskIndex, AFinished, AException, AMessage};
  const unsigned generation = FGeneration;
  FReports.Post([this, info, ATask, generation] {
    RaiseTerminate(info);
    if (info.TaskIndex >= 0 && FAutoReleaseTask) AutoRelease(info.TaskIndex, ATask, generation);
  });
}

void TCustomEncoder::RaiseTerminate(const TTerminateInfo& AInfo) { OnTerminate.Raise(this, AInfo); }

// Report worker: the task's thread has delivered its termination; the
// destructor joins it.
void TCustomEncoder::AutoRelease(int AIndex, const TFFmpeg* ATask, unsigned AGeneration) {
  if (AGeneration != FGeneration) return;
  std::shared_ptr<TFFmpeg> task = FFFmpegList.ReleaseIf(AIndex, ATask);
  task.reset();
}

void TCustomEncoder::Pause() {
  if (!FWorking || FPaused || FStepped) return;
  for (const auto& t : FFFmpegList.Snapshot()) t->Pause();
  FPaused = true;
}

void TCustomEncoder::Resume() {
  if (!FWorking || !(FPaused || FStepped)) return;
  for (const auto& t : FFFmpegList.Snapshot()) t->Resume();
  FPaused = false;
  FStepped = false;
}

void TCustomEncoder::Step() {
  if (!FWorking) return;
  for (const auto& t : FFFmpegList.Snapshot()) t->Step();
  FPaused = false;
  FStepped = true;
}

void TCustomEncoder::Stop(bool AWaitForStop) {
  InterruptOpen();
  {
    std::lock_guard g(FTerminateLock);
    if (FScheduler.CancelPending() && FThreadMode) AllDone();
  }
  if (!FWorking) return;
  StopLaunched(AWaitForStop);
  if (AWaitForStop && FThreadMode) FReports.Drain();
}

bool TCustomEncoder::InitTask(int ATaskIndex) {
  const auto task = FFFmpegList.Item(ATaskIndex);
  if (!task) return false;
  // A started task initialises itself on its own thread.
  if (task->FLaunched) return task->Converting();
  try {
    return task->InitTranscode();
  } catch (const std::exception& ex) {
    FLastErrMsg = ex.what();
    return false;
  }
}

bool TCustomEncoder::SendFilterCommand(int ATaskIndex, const std::string& target,
                                       const std::string& cmd, const std::string& arg, int flags) {
  if (!InitTask(ATaskIndex)) return false;
  return FFFmpegList.Item(ATaskIndex)->SendFilterCommand(target, cmd, arg, flags);
}

bool TCustomEncoder::QueueFilterCommand(int ATaskIndex, const std::string& target,
                                        const std::string& cmd, const std::string& arg, int flags,
                                        double pts) {
  if (!InitTask(ATaskIndex)) return false;
  return FFFmpegList.Item(ATaskIndex)->QueueFilterCommand(target, cmd, arg, flags, pts);
}

}  // namespace corvane
