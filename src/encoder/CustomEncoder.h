// The encoder component: a list of transcoding tasks, each with its inputs
// and outputs described by option strings, run one after another on the
// caller's thread or several at once on their own threads.
//
// Threads: task building, Start and the control calls are made from the
// application's thread. Reports (progress, preview, probe, termination) are
// raised on the main thread when TriggerEventInMainThread is set, hooks on
// the task's own thread. Any handler may call back into the component.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "decoder/VUZezevud.h"
#include "encoder/EncoderTypes.h"
#include "encoder/ReportQueue.h"
#include "encoder/Task.h"
#include "encoder/TaskScheduler.h"
#include "foundation/BaseComponent.h"
#include "foundation/EventSlot.h"
#include "foundation/Library.h"
#include "foundation/StreamIO.h"

namespace corvane {

// The task list. A released task leaves a null slot, so later indexes stay.
class TFFmpegList {
 public:
  // Any thread.
  int Count() const;
  TFFmpeg* Items(int AIndex) const;  // null when released or out of range
  std::shared_ptr<TFFmpeg> Item(int AIndex) const;
  int Add(std::shared_ptr<TFFmpeg> ATask);
  int IndexOf(const TFFmpeg* ATask) const;
  // Takes the task out only while the slot still holds it; the slot stays, null.
  std::shared_ptr<TFFmpeg> ReleaseIf(int AIndex, const TFFmpeg* ATask);
  std::shared_ptr<TFFmpeg> Remove(int AIndex);
  bool Exchange(int AIndex1, int AIndex2);
  std::vector<std::shared_ptr<TFFmpeg>> TakeAll();
  // The tasks present now; a task walked through this stays alive meanwhile.
  std::vector<std::shared_ptr<TFFmpeg>> Snapshot() const;

 private:
  mutable std::mutex FLock;
  // Shared only for the length of a walk; a task is never destroyed by its
  // own thread, which holds no reference.
  std::vector<std::shared_ptr<TFFmpeg>> FList;
};

class TCustomEncoder : public TFFBaseComponent {
 public:
  explicit TCustomEncoder(TComponent* AOwner = nullptr);
  ~TCustomEncoder() override;
  TCustomEncoder(const TCustomEncoder&) = delete;
  TCustomEncoder& operator=(const TCustomEncoder&) = delete;
  const char* ClassName() const override { return "TCustomEncoder"; }

  static constexpr TLibraries LibrarySet = kEncoderLibraries;
  bool AVLibLoaded() const;
  // libMFX is loaded too when it can be; its absence is no failure.
  bool LoadAVLib(const std::string& APath);
  void UnloadAVLib();

  // ---- Task building (refused while working). Results: the index, or a
  // negative value with LastErrMsg set. AOptions may be null; an empty
  // FileName in it receives AFileName.
  int AddTask(const std::string& AFileName, TInputOptions* AOptions = nullptr);
  int AddTask(const std::string& AFileName, const std::string& AOptions,
              const std::string& APresets = "");
  int AddInput(int ATaskIndex, const std::string& AFileName, TInputOptions* AOptions = nullptr);
  int AddInput(int ATaskIndex, const std::string& AFileName, const std::string& AOptions,
               const std::string& APresets = "");
  int SetOutput(int ATaskIndex, const std::string& AFileName, TOutputOptions* AOptions = nullptr);
  int SetOutput(int ATaskIndex, const std::string& AFileName, const std::string& AOptions,
                const std::string& APresets = "");
  // Stream forms: the file name "memory:ID:APrivateData" names the stream by
  // its registry id; the open file holds the stream until the task ends.
  int AddTask(const std::shared_ptr<TStream>& AStream, const std::string& APrivateData,
              TInputOptions* AOptions = nullptr);
  int AddInput(int ATaskIndex, const std::shared_ptr<TStream>& AStream,
               const std::string& APrivateData, TInputOptions* AOptions = nullptr);
  int SetOutput(int ATaskIndex, const std::shared_ptr<TStream>& AStream,
                const std::string& APrivateData, TOutputOptions* AOptions = nullptr);
  // Ends the working state once the run terminated; false while running.
  bool ClearTasks();
  bool Exchange(int ATaskIndex1, int ATaskIndex2);
  bool RemoveTask(int ATaskIndex);
  int GetTaskIndex(const TFFmpeg* AFFmpeg) const;
  // Initialises a task not yet started; for a started one, whether it runs.
  bool InitTask(int ATaskIndex);
  bool SendFilterCommand(int ATaskIndex, const std::string& target, const std::string& cmd,
                         const std::string& arg, int flags);
  bool QueueFilterCommand(int ATaskIndex, const std::string& target, const std::string& cmd,
                          const std::string& arg, int flags, double pts);

  // ---- Running. AThreadCount 0: every task runs on the calling thread and
  // Start returns when all have ended. False (LastErrMsg) while working.
  bool Start(int AThreadCount);
  void Pause();
  void Resume();
  void Step();
  // Nothing more starts; running tasks stop (with AWaitForStop, waited for,
  // pumping main-thread calls). Any thread: a file that another thread is
  // opening (AddTask, AddInput, SetOutput) gives up, and that call fails.
  void Stop(bool AWaitForStop);

  // ---- Queries
  int TasksCount() const { return FFFmpegList.Count(); }
  TFFmpeg* FFmpegs(int AIndex) const { return FFFmpegList.Items(AIndex); }
  TVUZezevud* Decoders(int ATaskIndex, int AFileIndex) const;
  int InputCount(int ATaskIndex) const;
  AVFormatContext* InputFiles(int ATaskIndex, int AFileIndex) const;
  AVFormatContext* OutputFiles(int ATaskIndex, int AFileIndex) const;
  TInputOptions InputOptions(int ATaskIndex, int AFileIndex) const;
  TOutputOptions OutputOptions(int ATaskIndex, int AFileIndex) const;
  const std::string& LastErrMsg() const { return FLastErrMsg; }
  bool Working() const { return FWorking; }
  bool Paused() const { return FPaused; }
  bool Stepped() const { return FStepped; }
  bool Terminated() const { return FTerminated; }
  int CompleteTasks() const { return FScheduler.CompleteTasks(); }
  TVUZezevud& Decoder() { return FDecoder; }
  void* UserData() const { return FData; }
  void SetUserData(void* AValue) { FData = AValue; }

  // ---- Settings that reach the tasks
  bool PreviewAudio() const { return FPreviewAudio; }
  void SetPreviewAudio(bool AValue);
  bool PreviewVideo() const { return FPreviewVideo; }
  void SetPreviewVideo(bool AValue);
  bool PreviewBitmap() const { return FPreviewBitmap; }
  void SetPreviewBitmap(bool AValue);
  int PreviewInterval() const { return FPreviewInterval; }  // milliseconds, at least 10
  void SetPreviewInterval(int AValue);
  int ProgressInterval() const { return FProgressInterval; }  // milliseconds, at least 10
  void SetProgressInterval(int AValue);
  void SetReadTimeout(std::int32_t AValue) override;
  void SetWriteTimeout(std::int32_t AValue) override;
  bool FrameRateEmulation() const;
  void SetFrameRateEmulation(bool AValue);
  bool HaltOnInvalidOption() const { return FHaltOnInvalidOption; }
  void SetHaltOnInvalidOption(bool AValue) { FHaltOnInvalidOption = AValue; }
  int ThreadPriority() const { return FThreadPriority; }
  void SetThreadPriority(int AValue) { FThreadPriority = AValue; }
  bool AutoReleaseTask() const { return FAutoReleaseTask; }
  void SetAutoReleaseTask(bool AValue) { FAutoReleaseTask = AValue; }
  bool TriggerEventInMainThread() const { return FTriggerEventInMainThread; }
  void SetTriggerEventInMainThread(bool AValue) { FTriggerEventInMainThread = AValue; }

  // ---- Events (Set/Clear from any thread). Reports run on the main thread
  // while TriggerEventInMainThread is set, else on the task's thread; hooks
  // and OnStart on the thread that raises them.
  TEventSlot<void(TObject*, int)> OnStart{"OnStart", SlotThread::Raiser, this};
  TEventSlot<void(TObject*, const TTerminateInfo&)> OnTerminate{"OnTerminate", SlotThread::Main,
                                                                this, &FTriggerEventInMainThread};
  TEventSlot<void(TObject*, TEncProgressInfo*)> OnProgress{"OnProgress", SlotThread::Main, this,
                                                           &FTriggerEventInMainThread};
  // ABitmap's canvas is locked for the call, on the thread that runs it.
  TEventSlot<void(TObject*, const TPreviewInfo&)> OnPreviewBitmap{
      "OnPreviewBitmap", SlotThread::Main, this, &FTriggerEventInMainThread};
  // Sender: the task.
  TEventSlot<void(TObject*, AVFormatContext*)> OnBeforeFindStreamInfo{
      "OnBeforeFindStreamInfo", SlotThread::Main, this, &FTriggerEventInMainThread};
  using TAudioHook =
      TEventSlot<void(TObject*, int, std::int64_t, AVFrame*, int, int, int, AVSampleFormat)>;
  TAudioHook OnAudioInputHook{"OnAudioInputHook", SlotThread::Raiser, this};
  TAudioHook OnAudioOutputHook{"OnAudioOutputHook", SlotThread::Raiser, this};
  // The bitmap's canvas is locked for the call.
  TEventSlot<void(TObject*, THookInfo*)> OnVideoInputHook{"OnVideoInputHook", SlotThread::Raiser,
                                                          this};
  TEventSlot<void(TObject*, THookInfo*)> OnVideoOutputHook{"OnVideoOutputHook", SlotThread::Raiser,
                                                           this};
  TEventSlot<void(TObject*, TFrameHookInfo*)> OnFrameInputHook{"OnFrameInputHook",
                                                               SlotThread::Raiser, this};
  TEventSlot<void(TObject*, TFrameHookInfo*)> OnFrameOutputHook{"OnFrameOutputHook",
                                                                SlotThread::Raiser, this};

 protected:
  // Clears the handlers, stops every task and drains the reports; a derived
  // destructor calls it first, so no notification meets a half-destroyed object.
  void Shutdown();

  // Notifications from the tasks (task thread).
  virtual void DoInputVideoHook(TFFmpeg* ATask, Bitmap& ABitmap, int AFrameNumber,
                                std::int64_t APTS, bool& AUpdate, bool& AStopHook);
  virtual void DoOutputVideoHook(TFFmpeg* ATask, Bitmap& ABitmap, int AFrameNumber,
                                 std::int64_t APTS, bool& AUpdate, bool& AStopHook);
  virtual void DoInputFrameHook(TFFmpeg* ATask, AVFrame* APicture, AVPixelFormat APixFmt,
                                int AFrameNumber, int AWidth, int AHeight, std::int64_t APTS);
  virtual void DoOutputFrameHook(TFFmpeg* ATask, AVFrame* APicture, AVPixelFormat APixFmt,
                                 int AFrameNumber, int AWidth, int AHeight, std::int64_t APTS);
  virtual void DoPreviewBitmap(TFFmpeg* ATask, const Bitmap& ABitmap, int AFrameNumber,
                               std::int64_t APTS);
  virtual void DoProgress(TFFmpeg* ATask, const TProgressInfo& AInfo);
  virtual void DoTerminate(TFFmpeg* ATask);
  void DoAudioHook(bool AOutput, TFFmpeg* ATask, std::int64_t APTS, AVFrame* AFrame, int ASize,
                   int ASampleRate, int AChannels, AVSampleFormat ASampleFormat);
  void DoBeforeFindStreamInfo(TFFmpeg* ATask, AVFormatContext* AContext);

 private:
  bool CheckNotWorking(const char* AOperation);
  TFFmpeg* TaskForFile(int ATaskIndex);
  std::shared_ptr<TFFmpeg> NewTask();
  void RouteTask(TFFmpeg& ATask);
  void InstallOutputHooks(TFFmpeg& ATask, const TOutputOptions& AOptions);
  void ApplyTaskSettings(TFFmpeg& ATask);
  int OpenInput(TFFmpeg& ATask, const std::string& AFileName, TInputOptions* AOptions);
  int OpenOutput(TFFmpeg& ATask, const std::string& AFileName, TOutputOptions* AOptions);
  template <class F>
  int Interruptible(TFFmpeg& ATask, F&& AOpen);
  void InterruptOpen();
  class TBuildScope;
  void StartNextTasks(int AMaxCount);
  void StopLaunched(bool AWaitForStop);
  void LaunchTask(int AIndex);
  bool AllDone();
  void Report(std::int32_t ATaskIndex, TFFmpeg* ATask, bool AFinished, bool AException,
              const std::string& AMessage);
  void RaiseTerminate(const TTerminateInfo& AInfo);
  void AutoRelease(int AIndex, const TFFmpeg* ATask, unsigned AGeneration);
  template <class Slot, class F>
  void DeliverReport(const Slot& ASlot, std::recursive_mutex& ALock, F&& ACall);
  template <class Slot, class... B>
  void RaiseReport(const Slot& ASlot, std::recursive_mutex& ALock, B&&... AArgs);
  template <class Slot, class... B>
  bool RaiseHook(const Slot& ASlot, std::recursive_mutex& ALock, B&&... AArgs);
  void RaiseVideoHook(const TEventSlot<void(TObject*, THookInfo*)>& ASlot, TFFmpeg* ATask,
                      Bitmap& ABitmap, int AFrameNumber, std::int64_t APTS, bool& AUpdate,
                      bool& AStopHook);
  void RaiseFrameHook(const TEventSlot<void(TObject*, TFrameHookInfo*)>& ASlot, TFFmpeg* ATask,
                      AVFrame* APicture, AVPixelFormat APixFmt, int AFrameNumber, int AWidth,
                      int AHeight, std::int64_t APTS);
  std::int32_t PostHookBits() const;

  std::string FLastErrMsg;
  void* FData = nullptr;
  std::atomic<bool> FAutoReleaseTask{false};
  bool FHaltOnInvalidOption = true;
  bool FPreviewAudio = false;
  bool FPreviewVideo = false;
  bool FPreviewBitmap = false;
  int FPreviewInterval = 100;
  int FProgressInterval = 500;
  int FThreadPriority = 0;
  std::atomic<bool> FTriggerEventInMainThread{true};
  std::recursive_mutex FAudioHookLock, FPreviewLock, FProgressLock, FTerminateLock, FVideoHookLock,
      FFrameHookLock, FFindStreamLock;
  TVUZezevud FDecoder;
  TFFmpegList FFFmpegList;
  TTaskScheduler FScheduler;
  std::atomic<unsigned> FGeneration{0};  // changes with ClearTasks
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FThreadMode{false};
  std::atomic<bool> FWorking{false};
  std::atomic<bool> FPaused{false};
  std::atomic<bool> FStepped{false};
  // Launching a task and stopping the launched ones exclude each other.
  std::recursive_mutex FLaunchLock;
  bool FStopRequested = false;  // FLaunchLock
  // The task whose file is being opened; Stop sets its stop flag, which the
  // open's interrupt callback reads.
  // A Stop during a building call, before its open began, ends that open too.
  std::mutex FOpenLock;
  TFFmpeg* FOpening = nullptr;  // FOpenLock
  int FBuilding = 0;            // FOpenLock: building calls in progress
  bool FBuildStop = false;      // FOpenLock: a Stop came during them
  TReportQueue FReports;        // declared last: drained first at destruction
};

// The published form; adds no behaviour.
class TDEDirerer : public TCustomEncoder {
 public:
  using TCustomEncoder::TCustomEncoder;
  ~TDEDirerer() override { Shutdown(); }
  const char* ClassName() const override { return "TDEDirerer"; }
};

}  // namespace corvane
