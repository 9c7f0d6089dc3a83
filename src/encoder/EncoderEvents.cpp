// The tasks' notifications, turned into the component's events: reports on
// the main thread (when TriggerEventInMainThread), hooks on the task thread.
#include "encoder/CustomEncoder.h"

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

// A report's call: delivered through the main thread without holding the
// kind's lock (the main thread serialises it; a handler there may stop and
// wait for the tasks), else run here under the lock.
template <class Slot, class F>
void TCustomEncoder::DeliverReport(const Slot& ASlot, std::recursive_mutex& ALock, F&& ACall) {
  if (ASlot.Marshals()) {
    ASlot.Deliver(ACall);
    return;
  }
  std::lock_guard g(ALock);
  ACall();
}

template <class Slot, class... B>
void TCustomEncoder::RaiseReport(const Slot& ASlot, std::recursive_mutex& ALock, B&&... AArgs) {
  const auto h = ASlot.Snapshot();
  if (h) DeliverReport(ASlot, ALock, [&] { ASlot.Invoke(*h, AArgs...); });
}

// A hook, on the task thread under the kind's lock (hooks never wait for the
// main thread). True when the handler ran without throwing.
template <class Slot, class... B>
bool TCustomEncoder::RaiseHook(const Slot& ASlot, std::recursive_mutex& ALock, B&&... AArgs) {
  if (!ASlot.Assigned()) return false;
  const auto h = ASlot.Snapshot();
  if (!h) return false;
  std::lock_guard g(ALock);
  return ASlot.Invoke(*h, AArgs...).Ran();
}

void TCustomEncoder::DoProgress(TFFmpeg* ATask, const TProgressInfo& AInfo) {
  if (!OnProgress.Assigned()) return;
  TEncProgressInfo info;
  info.TaskIndex = GetTaskIndex(ATask);
  info.FrameNumber = static_cast<std::int32_t>(AInfo.FrameNumber);
  info.FPS = static_cast<std::int32_t>(AInfo.FPS);
  info.Quality = AInfo.Quality;
  // The engine counts bit/s; applications get kbit/s.
  info.BitRate = AInfo.BitRate < 0 ? -1.0f : static_cast<float>(AInfo.BitRate / 1000.0);
  info.CurrentSize = AInfo.CurrentSize;
  info.CurrentDuration = AInfo.CurrentDuration;
  info.TotalDuration = AInfo.TotalDuration;
  RaiseReport(OnProgress, FProgressLock, this, &info);
}

// The canvas is locked on the thread that runs the handler, for the call.
void TCustomEncoder::DoPreviewBitmap(TFFmpeg* ATask, const Bitmap& ABitmap, int AFrameNumber,
                                     std::int64_t APTS) {
  const auto h = OnPreviewBitmap.Snapshot();
  if (!h) return;
  const TPreviewInfo info{GetTaskIndex(ATask), &ABitmap, AFrameNumber, APTS};
  DeliverReport(OnPreviewBitmap, FPreviewLock, [&] {
    std::lock_guard canvas(ABitmap.canvas);
    OnPreviewBitmap.Invoke(*h, this, info);
  });
}

void TCustomEncoder::DoBeforeFindStreamInfo(TFFmpeg* ATask, AVFormatContext* AContext) {
  if (!OnBeforeFindStreamInfo.Assigned()) return;
  RaiseReport(OnBeforeFindStreamInfo, FFindStreamLock, static_cast<TObject*>(ATask), AContext);
}

// The engine's Update and StopHook go in and come back; a handler that threw
// leaves the bitmap out of the stream.
void TCustomEncoder::RaiseVideoHook(const TEventSlot<void(TObject*, THookInfo*)>& ASlot,
                                    TFFmpeg* ATask, Bitmap& ABitmap, int AFrameNumber,
                                    std::int64_t APTS, bool& AUpdate, bool& AStopHook) {
  const auto h = ASlot.Snapshot();
  if (!h) return;
  THookInfo info{GetTaskIndex(ATask), &ABitmap, AFrameNumber, APTS, AUpdate, AStopHook};
  // The kind's lock first, then the canvas, as for the preview.
  std::lock_guard g(FVideoHookLock);
  std::lock_guard canvas(ABitmap.canvas);
  if (!ASlot.Invoke(*h, this, &info).Ran()) {
    AUpdate = false;
    return;
  }
  AUpdate = info.Update;
  AStopHook = info.StopHook;
}

void TCustomEncoder::DoInputVideoHook(TFFmpeg* ATask, Bitmap& ABitmap, int AFrameNumber,
                                      std::int64_t APTS, bool& AUpdate, bool& AStopHook) {
  RaiseVideoHook(OnVideoInputHook, ATask, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
}

void TCustomEncoder::DoOutputVideoHook(TFFmpeg* ATask, Bitmap& ABitmap, int AFrameNumber,
                                       std::int64_t APTS, bool& AUpdate, bool& AStopHook) {
  RaiseVideoHook(OnVideoOutputHook, ATask, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
}

void TCustomEncoder::RaiseFrameHook(const TEventSlot<void(TObject*, TFrameHookInfo*)>& ASlot,
                                    TFFmpeg* ATask, AVFrame* APicture, AVPixelFormat APixFmt,
                                    int AFrameNumber, int AWidth, int AHeight, std::int64_t APTS) {
  if (!ASlot.Assigned()) return;
  TFrameHookInfo info{GetTaskIndex(ATask), AFrameNumber, APicture, APixFmt, AWidth, AHeight, APTS};
  RaiseHook(ASlot, FFrameHookLock, this, &info);
}

void TCustomEncoder::DoInputFrameHook(TFFmpeg* ATask, AVFrame* APicture, AVPixelFormat APixFmt,
                                      int AFrameNumber, int AWidth, int AHeight,
                                      std::int64_t APTS) {
  RaiseFrameHook(OnFrameInputHook, ATask, APicture, APixFmt, AFrameNumber, AWidth, AHeight, APTS);
}

void TCustomEncoder::DoOutputFrameHook(TFFmpeg* ATask, AVFrame* APicture, AVPixelFormat APixFmt,
                                       int AFrameNumber, int AWidth, int AHeight,
                                       std::int64_t APTS) {
  RaiseFrameHook(OnFrameOutputHook, ATask, APicture, APixFmt, AFrameNumber, AWidth, AHeight, APTS);
}

void TCustomEncoder::DoAudioHook(bool AOutput, TFFmpeg* ATask, std::int64_t APTS, AVFrame* AFrame,
                                 int ASize, int ASampleRate, int AChannels,
                                 AVSampleFormat ASampleFormat) {
  const auto& slot = AOutput ? OnAudioOutputHook : OnAudioInputHook;
  if (!slot.Assigned()) return;
  RaiseHook(slot, FAudioHookLock, this, GetTaskIndex(ATask), APTS, AFrame, ASize, ASampleRate,
            AChannels, ASampleFormat);
}

}  // namespace corvane
