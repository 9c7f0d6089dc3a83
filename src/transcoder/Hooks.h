// Hooks on a task's pictures and sound: decoded input and output about to be
// encoded, as library frames and as bitmaps, with write-back; the post hooks
// that preview output pictures.
//
// Handlers run on the task thread and may change the data in place: the
// frame is made writable first (a buffer of its own, sized from the frame),
// so frames kept elsewhere (encoder references, other outputs of a split)
// stay as they were. Hardware frames are not hooked. A handler that throws
// is logged; the task goes on.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "foundation/EventSlot.h"
#include "foundation/FormatConverter.h"
#include "transcoder/Preview.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace corvane {

class TObject;

// APTS in microseconds; ASize: the first plane's line size in bytes.
using TFFAudioHookEvent =
    std::function<void(TObject* Sender, std::int64_t APTS, AVFrame* AFrame, int ASize,
                       int ASampleRate, int AChannels, AVSampleFormat ASampleFormat)>;
// AUpdate (in: true): write the bitmap back; AStopHook (in: false): never
// raise this hook again.
using TFFVideoHookEvent = std::function<void(TObject* Sender, Bitmap& ABitmap, int AFrameNumber,
                                             std::int64_t APTS, bool& AUpdate, bool& AStopHook)>;
using TFFFrameHookEvent =
    std::function<void(TObject* Sender, AVFrame* APicture, AVPixelFormat APixFmt, int AFrameNumber,
                       int AWidth, int AHeight, std::int64_t APTS)>;
using TFFPreviewBitmapEvent = std::function<void(TObject* Sender, const Bitmap& ABitmap,
                                                 int AFrameNumber, std::int64_t APTS)>;

enum TPostHook : unsigned { phPreview = 1, phBitmap = 2, phHBITMAP = 4 };
using TPostHooks = unsigned;  // a set of TPostHook bits; phHBITMAP has no effect

class THooks {
 public:
  static constexpr std::int64_t kDefaultPreviewInterval = 100000;

  explicit THooks(TObject* ASender)
      : OnInputAudioHook("AudioHook event", SlotThread::Raiser, ASender),
        OnOutputAudioHook("AudioHook event", SlotThread::Raiser, ASender),
        OnInputVideoHook("VideoHook event", SlotThread::Raiser, ASender),
        OnOutputVideoHook("VideoHook event", SlotThread::Raiser, ASender),
        OnInputFrameHook("FrameHook event", SlotThread::Raiser, ASender),
        OnOutputFrameHook("FrameHook event", SlotThread::Raiser, ASender),
        OnPreviewBitmap("PreviewBitmap event", SlotThread::Raiser, ASender),
        FSender(ASender) {}
  THooks(const THooks&) = delete;
  THooks& operator=(const THooks&) = delete;

  using AudioEvent =
      TEventSlot<void(TObject*, std::int64_t, AVFrame*, int, int, int, AVSampleFormat)>;
  using VideoEvent = TEventSlot<void(TObject*, Bitmap&, int, std::int64_t, bool&, bool&)>;
  using FrameEvent =
      TEventSlot<void(TObject*, AVFrame*, AVPixelFormat, int, int, int, std::int64_t)>;

  // Set from any thread; raised on the task thread. The bitmap's canvas is
  // locked while the task writes it, not for the handler's call.
  AudioEvent OnInputAudioHook, OnOutputAudioHook;
  VideoEvent OnInputVideoHook, OnOutputVideoHook;
  FrameEvent OnInputFrameHook, OnOutputFrameHook;
  TEventSlot<void(TObject*, const Bitmap&, int, std::int64_t)> OnPreviewBitmap;

  // Any thread; takes effect between two frames. Removing phPreview closes
  // the preview window.
  void SetPostHooksLocked(TPostHooks AValue);
  TPostHooks PostHooks() const;
  void SetPreviewInterval(std::int64_t AMicroseconds);
  // The preview windows of this task (unset: the process-wide default).
  void SetPreviewSinkFactory(TPreviewSinkFactory AFactory);
  // 8, 15, 16, 24 or 32 bits per pixel of hooked bitmaps, applied from the
  // next picture; anything else throws EFormatConverterError.
  void SetHookBitsPixel(int ABits);

  // Task thread.
  void InputVideo(AVFrame* AFrame, int AFrameNumber, std::int64_t APTS);
  void OutputVideo(AVFrame* AFrame, int AFrameNumber, std::int64_t APTS);
  void InputAudio(AVFrame* AFrame, std::int64_t APTS);
  void OutputAudio(AVFrame* AFrame, std::int64_t APTS);
  // End of a task: the previewer goes, the preview times restart.
  void Release();

 private:
  bool MakeWritable(AVFrame* AFrame, const char* AFailure);
  void ApplyBitsPixel();
  bool RunVideoHook(VideoEvent& AEvent, TFormatConverter& AConverter, AVFrame* AFrame, int ANumber,
                    std::int64_t APTS, bool& AConverted);
  void RaiseFrameHook(FrameEvent& AEvent, AVFrame* AFrame, int ANumber, std::int64_t APTS);
  void RaiseAudioHook(AudioEvent& AEvent, AVFrame* AFrame, std::int64_t APTS);
  void RunPostHooks(AVFrame* AFrame, int ANumber, std::int64_t APTS, bool AConverted);
  bool PreviewDue();
  bool PaintPreview(int ANumber, std::int64_t APTS);
  void Log(const std::string& AText);

  TObject* FSender;
  TFormatConverter FInputVideoHook;     // task thread
  TFormatConverter FOutputConverter;    // task thread
  std::atomic<int> FBitsPixel{0};       // requested; 0: unchanged
  std::int64_t Fpreview_last_time = 0;  // task thread
  std::atomic<std::int64_t> FPreviewInterval{kDefaultPreviewInterval};

  mutable std::mutex FHookLock;  // guards the fields below
  TPostHooks FPostHooks = 0;
  bool FPostHooksChanged = false;
  std::shared_ptr<TPreviewer> FPreviewer;
  TPreviewSinkFactory FSinkFactory;
};

}  // namespace corvane
