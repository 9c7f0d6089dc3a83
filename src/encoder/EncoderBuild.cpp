// Building the task list: tasks, their inputs and outputs.
#include <algorithm>
#include <cctype>
#include <exception>

#include "encoder/CustomEncoder.h"
#include "encoder/HookWords.h"
#include "foundation/StrFormat.h"

namespace corvane {

bool TCustomEncoder::CheckNotWorking(const char* AOperation) {
  if (!FWorking) return true;
  FLastErrMsg = strprintf("Cannot %s while working.", AOperation);
  return false;
}

TFFmpeg* TCustomEncoder::TaskForFile(int ATaskIndex) {
  if (ATaskIndex < 0 || ATaskIndex >= TasksCount()) {
    FLastErrMsg = strprintf("List index out of bounds (%d)", ATaskIndex);
    return nullptr;
  }
  TFFmpeg* task = FFFmpegList.Items(ATaskIndex);
  if (!task) FLastErrMsg = strprintf("The task #%d had been released.", ATaskIndex);
  return task;
}

std::shared_ptr<TFFmpeg> TCustomEncoder::NewTask() {
  auto task = std::make_shared<TFFmpeg>(this);
  task->FHooks.SetPreviewInterval(std::int64_t{FPreviewInterval} * 1000);
  task->FReportInterval = std::int64_t{FProgressInterval} * 1000;
  RouteTask(*task);
  task->SetPreviewAudio(FPreviewAudio);
  task->FHooks.SetPostHooksLocked(PostHookBits());
  return task;
}

std::int32_t TCustomEncoder::PostHookBits() const {
  return (FPreviewVideo ? unsigned{phPreview} : 0u) | (FPreviewBitmap ? unsigned{phBitmap} : 0u);
}

void TCustomEncoder::ApplyTaskSettings(TFFmpeg& ATask) {
  ATask.FLastErrMsg.clear();
  ATask.HaltOnInvalidOption = FHaltOnInvalidOption;
  ATask.FReadTimeout = ReadTimeout();
  ATask.FWriteTimeout = WriteTimeout();
}

// Marks a public building call, so that a Stop arriving before its open
// began is not lost.
class TCustomEncoder::TBuildScope {
 public:
  explicit TBuildScope(TCustomEncoder& AEncoder) : FEncoder(AEncoder) {
    std::lock_guard g(FEncoder.FOpenLock);
    if (FEncoder.FBuilding++ == 0) FEncoder.FBuildStop = false;
  }
  ~TBuildScope() {
    std::lock_guard g(FEncoder.FOpenLock);
    --FEncoder.FBuilding;
  }
  TBuildScope(const TBuildScope&) = delete;
  TBuildScope& operator=(const TBuildScope&) = delete;

 private:
  TCustomEncoder& FEncoder;
};

// Runs an open of the task's file so that Stop from another thread can end it.
template <class F>
int TCustomEncoder::Interruptible(TFFmpeg& ATask, F&& AOpen) {
  {
    std::lock_guard g(FOpenLock);
    ATask.FBroken = FBuildStop;
    FOpening = &ATask;
  }
  struct Done {
    TCustomEncoder& e;
    ~Done() {
      std::lock_guard g(e.FOpenLock);
      e.FOpening = nullptr;
    }
  } done{*this};
  return AOpen();
}

void TCustomEncoder::InterruptOpen() {
  std::lock_guard g(FOpenLock);
  if (FBuilding > 0) FBuildStop = true;
  if (FOpening) FOpening->FBroken = true;
}

int TCustomEncoder::OpenInput(TFFmpeg& ATask, const std::string& AFileName,
                              TInputOptions* AOptions) {
  ApplyTaskSettings(ATask);
  const int index = ATask.Fnb_input_files();
  std::string options, presets;
  if (AOptions) {
    if (AOptions->FileName.empty()) AOptions->FileName = AFileName;
    ATask.InputOptions(index) = *AOptions;
    options = AOptions->Options;
    presets = AOptions->Presets;
  } else {
    ATask.InputOptions(index) = {};
  }
  auto o = ATask.NewPerFileOptions();
  int ret;
  try {
    ret =
        Interruptible(ATask, [&] { return ATask.OpenInputFile(*o, options, presets, AFileName); });
  } catch (...) {
    ATask.ReleasePerFileOptions(std::move(o));
    throw;
  }
  ATask.ReleasePerFileOptions(std::move(o));
  if (ret < 0) {
    ATask.InputOptions(index) = {};
    FLastErrMsg = ATask.FLastErrMsg;
  } else {
    ATask.AttachDecoder(index);
  }
  return ret;
}

int TCustomEncoder::AddTask(const std::string& AFileName, TInputOptions* AOptions) {
  const TBuildScope building(*this);
  if (!AVLibLoaded()) {
    FLastErrMsg = "FFmpeg libraries not loaded.";
    return -1;
  }
  if (!CheckNotWorking("AddTask")) return -1;
  auto task = NewTask();
  try {
    const int ret = OpenInput(*task, AFileName, AOptions);
    if (ret < 0) return ret;
  } catch (const std::exception& ex) {
    FLastErrMsg = ex.what();
    return -1;
  }
  return FFFmpegList.Add(std::move(task));
}

int TCustomEncoder::AddTask(const std::string& AFileName, const std::string& AOptions,
                            const std::string& APresets) {
  TInputOptions o;
  o.FileName = AFileName;
  o.Options = AOptions;
  o.Presets = APresets;
  return AddTask(AFileName, &o);
}

int TCustomEncoder::AddInput(int ATaskIndex, const std::string& AFileName,
                             TInputOptions* AOptions) {
  const TBuildScope building(*this);
  if (!CheckNotWorking("AddInput")) return -1;
  TFFmpeg* task = TaskForFile(ATaskIndex);
  if (!task) return -1;
  try {
    return OpenInput(*task, AFileName, AOptions);
  } catch (const std::exception& ex) {
    FLastErrMsg = ex.what();
    return -1;
  }
}

int TCustomEncoder::AddInput(int ATaskIndex, const std::string& AFileName,
                             const std::string& AOptions, const std::string& APresets) {
  TInputOptions o;
  o.FileName = AFileName;
  o.Options = AOptions;
  o.Presets = APresets;
  return AddInput(ATaskIndex, AFileName, &o);
}

int TCustomEncoder::OpenOutput(TFFmpeg& ATask, const std::string& AFileName,
                               TOutputOptions* AOptions) {
  ApplyTaskSettings(ATask);
  const int index = ATask.Fnb_output_files();
  std::string options, presets;
  if (AOptions) {
    if (AOptions->FileName.empty()) AOptions->FileName = AFileName;
    ATask.OutputOptions(index) = *AOptions;
    InstallOutputHooks(ATask, *AOptions);
    options = AOptions->Options;
    presets = AOptions->Presets;
  } else {
    ATask.OutputOptions(index) = {};
  }
  auto o = ATask.NewPerFileOptions();
  int ret;
  try {
    ret = Interruptible(ATask, [&] {
      return ATask.OpenOutputFile(*o, NormaliseHookWords(options), presets, AFileName);
    });
  } catch (...) {
    ATask.ReleasePerFileOptions(std::move(o));
    throw;
  }
  ATask.ReleasePerFileOptions(std::move(o));
  if (ret < 0) {
    ATask.OutputOptions(index) = {};
    FLastErrMsg = ATask.FLastErrMsg;
  }
  return ret;
}

int TCustomEncoder::SetOutput(int ATaskIndex, const std::string& AFileName,
                              TOutputOptions* AOptions) {
  const TBuildScope building(*this);
  if (!CheckNotWorking("SetOutput")) return -1;
  TFFmpeg* task = TaskForFile(ATaskIndex);
  if (!task) return -1;
  try {
    return OpenOutput(*task, AFileName, AOptions);
  } catch (const std::exception& ex) {
    const std::string prior = task->FLastErrMsg;
    FLastErrMsg = prior.empty() || prior == ex.what() ? ex.what() : prior + "\r\n" + ex.what();
    return -1;
  }
}

int TCustomEncoder::SetOutput(int ATaskIndex, const std::string& AFileName,
                              const std::string& AOptions, const std::string& APresets) {
  TOutputOptions o = HookFlagsFromText(AOptions);
  o.FileName = AFileName;
  o.Options = AOptions;
  o.Presets = APresets;
  return SetOutput(ATaskIndex, AFileName, &o);
}

bool TCustomEncoder::ClearTasks() {
  if (FWorking && !FTerminated) {
    FLastErrMsg = "Cannot ClearTasks while working.";
    return false;
  }
  ++FGeneration;
  FReports.Drain();  // no report of the old run outlives it (skipped inside a report)
  auto tasks = FFFmpegList.TakeAll();
  tasks.clear();
  FLastErrMsg.clear();
  FScheduler.Reset();
  FTerminated = false;
  FThreadMode = false;
  FWorking = false;
  FPaused = false;
  FStepped = false;
  return true;
}

bool TCustomEncoder::Exchange(int ATaskIndex1, int ATaskIndex2) {
  if (!CheckNotWorking("Exchange")) return false;
  if (FFFmpegList.Exchange(ATaskIndex1, ATaskIndex2)) return true;
  FLastErrMsg = "List index out of bounds";
  return false;
}

bool TCustomEncoder::RemoveTask(int ATaskIndex) {
  if (!CheckNotWorking("RemoveTask")) return false;
  if (ATaskIndex < 0 || ATaskIndex >= TasksCount()) {
    FLastErrMsg = strprintf("List index out of bounds (%d)", ATaskIndex);
    return false;
  }
  FFFmpegList.Remove(ATaskIndex);
  return true;
}

int TCustomEncoder::GetTaskIndex(const TFFmpeg* AFFmpeg) const {
  return FFFmpegList.IndexOf(AFFmpeg);
}

}  // namespace corvane
