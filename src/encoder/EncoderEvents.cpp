// The tasks' notifications, turned into the component's events: reports on
// the main thread (when TriggerEventInMainThread), hooks on the task thread.
#include <exception>

#include "encoder/CustomEncoder.h"
#include "foundation/Logger.h"
#include "foundation/MainThread.h"

namespace corvane {

void TCustomEncoder::RouteTask(TFFmpeg& ATask) {
  TFFmpeg* task = &ATask;
  ATask.FOnProgress = [this, task](TObject*, const TProgressInfo& i) { DoProgress(task, i); };
  ATask.FOnTerminate = [this, task](TObject*) { DoTerminate(task); };
  ATask.FOnBeforeFindStreamInfo = [this, task](TObject*, AVFormatContext* ic) {
    DoBeforeFindStreamInfo(task, ic);
  };
  ATask.FHooks.OnPreviewBitmap.Set(
      [this, task](TObject*, const Bitmap& b, int n, std::int64_t pts) {
        DoPreviewBitmap(task, b, n, pts);
      });
}

void TCustomEncoder::InstallOutputHooks(TFFmpeg& ATask, const TOutputOptions& AOptions) {
  TFFmpeg* task = &ATask;
  THooks& hooks = ATask.FHooks;
  const auto audio = [this, task](bool out) {
    return [this, task, out](TObject*, std::int64_t pts, AVFrame* f, int size, int rate, int ch,
                             AVSampleFormat fmt) {
      DoAudioHook(out, task, pts, f, size, rate, ch, fmt);
    };
  };
  if (AOptions.AudioInputHook) hooks.OnInputAudioHook.Set(audio(false));
  if (AOptions.AudioOutputHook) hooks.OnOutputAudioHook.Set(audio(true));
  if (AOptions.VideoInputHook)
    hooks.OnInputVideoHook.Set([this, task](TObject*, Bitmap& b, int n, std::int64_t pts, bool& u,
                                            bool& s) { DoInputVideoHook(task, b, n, pts, u, s); });
  if (AOptions.VideoOutputHook)
    hooks.OnOutputVideoHook.Set(
        [this, task](TObject*, Bitmap& b, int n, std::int64_t pts, bool& u, bool& s) {
          DoOutputVideoHook(task, b, n, pts, u, s);
        });
  hooks.SetHookBitsPixel(AOptions.VideoHookBitsPixel);
  if (AOptions.FrameInputHook)
    hooks.OnInputFrameHook.Set(
        [this, task](TObject*, AVFrame* p, AVPixelFormat f, int n, int w, int h, std::int64_t pts) {
          DoInputFrameHook(task, p, f, n, w, h, pts);
        });
  if (AOptions.FrameOutputHook)
    hooks.OnOutputFrameHook.Set(
        [this, task](TObject*, AVFrame* p, AVPixelFormat f, int n, int w, int h, std::int64_t pts) {
          DoOutputFrameHook(task, p, f, n, w, h, pts);
        });
}

// A report: marshalled to the main thread without holding a lock (the main
// thread serialises it), else raised here under the kind's lock.
template <class F>
void TCustomEncoder::RaiseReport(std::recursive_mutex& ALock, F&& ARaise) {
  try {
    if (FTriggerEventInMainThread && marshallingEnabled() && currentDispatcher() &&
        !isMainThread()) {
      callInMainThread(ARaise);
      return;
    }
    std::lock_guard g(ALock);
    ARaise();
  } catch (const std::exception& ex) {
    FFLogger().Log(this, llError, ex.what());
  }
}

void TCustomEncoder::DoProgress(TFFmpeg* ATask, const TProgressInfo& AInfo) {
  const auto h = OnProgress.Snapshot();
  if (!h) return;
  TEncProgressInfo info;
  info.TaskIndex = GetTaskIndex(ATask);
  info.FrameNumber = static_cast<std::int32_t>(AInfo.FrameNumber);
  info.FPS = static_cast<std::int32_t>(AInfo.FPS);
  info.Quality = AInfo.Quality;
  info.BitRate = static_cast<float>(AInfo.BitRate);
  info.CurrentSize = AInfo.CurrentSize;
  info.CurrentDuration = AInfo.CurrentDuration;
  info.TotalDuration = AInfo.TotalDuration;
  RaiseReport(FProgressLock, [&] { (*h)(this, &info); });
}

void TCustomEncoder::DoPreviewBitmap(TFFmpeg* ATask, const Bitmap& ABitmap, int AFrameNumber,
                                     std::int64_t APTS) {
  const auto h = OnPreviewBitmap.Snapshot();
  if (!h) return;
  const TPreviewInfo info{GetTaskIndex(ATask), &ABitmap, AFrameNumber, APTS};
  RaiseReport(FPreviewLock, [&] { (*h)(this, info); });
}

void TCustomEncoder::DoBeforeFindStreamInfo(TFFmpeg* ATask, AVFormatContext* AContext) {
  const auto h = OnBeforeFindStreamInfo.Snapshot();
  if (!h) return;
  RaiseReport(FFindStreamLock, [&] { (*h)(ATask, AContext); });
}

namespace {

template <class H, class F>
void RaiseHook(std::recursive_mutex& ALock, const H& AHandler, F&& ARaise) {
  if (!AHandler) return;
  std::lock_guard g(ALock);  // hooks never wait for the main thread
  ARaise();
}

}  // namespace

void TCustomEncoder::DoInputVideoHook(TFFmpeg* ATask, Bitmap& ABitmap, int AFrameNumber,
                                      std::int64_t APTS, bool& AUpdate, bool& AStopHook) {
  const auto h = OnVideoInputHook.Snapshot();
  RaiseHook(FVideoHookLock, h, [&] {
    THookInfo info{GetTaskIndex(ATask), &ABitmap, AFrameNumber, APTS, AUpdate, AStopHook};
    (*h)(this, &info);
    AUpdate = info.Update;
    AStopHook = info.StopHook;
  });
}

void TCustomEncoder::DoOutputVideoHook(TFFmpeg* ATask, Bitmap& ABitmap, int AFrameNumber,
                                       std::int64_t APTS, bool& AUpdate, bool& AStopHook) {
  const auto h = OnVideoOutputHook.Snapshot();
  RaiseHook(FVideoHookLock, h, [&] {
    THookInfo info{GetTaskIndex(ATask), &ABitmap, AFrameNumber, APTS, AUpdate, AStopHook};
    (*h)(this, &info);
    AUpdate = info.Update;
    AStopHook = info.StopHook;
  });
}

void TCustomEncoder::DoInputFrameHook(TFFmpeg* ATask, AVFrame* APicture, AVPixelFormat APixFmt,
                                      int AFrameNumber, int AWidth, int AHeight,
                                      std::int64_t APTS) {
  const auto h = OnFrameInputHook.Snapshot();
  RaiseHook(FFrameHookLock, h, [&] {
    TFrameHookInfo info{
        GetTaskIndex(ATask), AFrameNumber, APicture, APixFmt, AWidth, AHeight, APTS};
    (*h)(this, &info);
  });
}

void TCustomEncoder::DoOutputFrameHook(TFFmpeg* ATask, AVFrame* APicture, AVPixelFormat APixFmt,
                                       int AFrameNumber, int AWidth, int AHeight,
                                       std::int64_t APTS) {
  const auto h = OnFrameOutputHook.Snapshot();
  RaiseHook(FFrameHookLock, h, [&] {
    TFrameHookInfo info{
        GetTaskIndex(ATask), AFrameNumber, APicture, APixFmt, AWidth, AHeight, APTS};
    (*h)(this, &info);
  });
}

void TCustomEncoder::DoAudioHook(bool AOutput, TFFmpeg* ATask, std::int64_t APTS, AVFrame* AFrame,
                                 int ASize, int ASampleRate, int AChannels,
                                 AVSampleFormat ASampleFormat) {
  const auto h = (AOutput ? OnAudioOutputHook : OnAudioInputHook).Snapshot();
  RaiseHook(FAudioHookLock, h, [&] {
    (*h)(this, GetTaskIndex(ATask), APTS, AFrame, ASize, ASampleRate, AChannels, ASampleFormat);
  });
}

}  // namespace corvane
