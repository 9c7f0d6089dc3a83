#include "transcoder/Hooks.h"

#include <chrono>
#include <exception>

#include "foundation/Logger.h"
#include "foundation/StrFormat.h"
#include "foundation/api/avutil.h"

namespace corvane {

namespace {

std::int64_t MonotonicMicroseconds() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool ValidBitsPixel(int bits) {
  return bits == 8 || bits == 15 || bits == 16 || bits == 24 || bits == 32;
}

}  // namespace

void THooks::Log(const std::string& AText) { FFLogger().Log(FSender, llError, AText); }

// ---- Settings

void THooks::SetPostHooksLocked(TPostHooks AValue) {
  std::shared_ptr<TPreviewer> gone;
  {
    std::lock_guard g(FHookLock);
    if (AValue != FPostHooks && !(AValue & phPreview)) gone = std::move(FPreviewer);
    FPostHooks = AValue;
    FPostHooksChanged = true;
  }
}

TPostHooks THooks::PostHooks() const {
  std::lock_guard g(FHookLock);
  return FPostHooks;
}

void THooks::SetPreviewInterval(std::int64_t AMicroseconds) { FPreviewInterval = AMicroseconds; }

void THooks::SetPreviewSinkFactory(TPreviewSinkFactory AFactory) {
  std::lock_guard g(FHookLock);
  FSinkFactory = std::move(AFactory);
}

void THooks::SetHookBitsPixel(int ABits) {
  if (!ValidBitsPixel(ABits)) throw EFormatConverterError(strprintf("Invalid BitsPixel %d", ABits));
  FBitsPixel = ABits;
}

void THooks::ApplyBitsPixel() {
  const int bits = FBitsPixel.exchange(0);
  if (!bits) return;
  FInputVideoHook.SetBitsPixel(bits);
  FOutputConverter.SetBitsPixel(bits);
}

void THooks::Release() {
  std::shared_ptr<TPreviewer> gone;
  {
    std::lock_guard g(FHookLock);
    gone = std::move(FPreviewer);
  }
  Fpreview_last_time = 0;
}

// ---- Raising the hooks

bool THooks::MakeWritable(AVFrame* AFrame, const char* AFailure) {
  if (ff::av_frame_make_writable(AFrame) >= 0) return true;
  Log(AFailure);
  return false;
}

bool THooks::RunVideoHook(VideoEvent& AEvent, TFormatConverter& AConverter, AVFrame* AFrame,
                          int ANumber, std::int64_t APTS, bool& AConverted) {
  ApplyBitsPixel();
  const auto fmt = static_cast<AVPixelFormat>(AFrame->format);
  // The canvas is held while the bitmap is written here; a handler that
  // needs it for its call takes it (the encoder's hooks do).
  std::unique_lock canvas(AConverter.Bitmap().canvas);
  AConverted = AConverter.PictureToRGB(AFrame->data, AFrame->linesize, fmt, AFrame->width,
                                       AFrame->height, true);
  const auto handler = AEvent.Snapshot();
  if (!AConverted) {
    Log(AConverter.LastErrMsg());
    AEvent.ClearIf(handler);
    return false;
  }
  if (!handler) return true;
  bool update = true, stop = false;
  canvas.unlock();
  if (!AEvent.Invoke(*handler, FSender, AConverter.Bitmap(), ANumber, APTS, update, stop).Ran())
    update = false;
  canvas.lock();
  if (!update) {
    AConverted = false;  // the bitmap may differ from the picture now
  } else if (!AConverter.BitmapToRGB()) {
    Log("The hooked bitmap no longer has the picture's size and format");
    AConverted = false;
  } else if (AConverter.RGBPictureRef() == &AConverter.RGBPicture() &&
             !AConverter.RGBToPicture(AFrame->data, AFrame->linesize, fmt, AFrame->width,
                                      AFrame->height)) {
    Log(AConverter.LastErrMsg());
    stop = true;
  }
  if (stop) AEvent.ClearIf(handler);
  return AConverted;
}

void THooks::RaiseFrameHook(FrameEvent& AEvent, AVFrame* AFrame, int ANumber, std::int64_t APTS) {
  if (const auto handler = AEvent.Snapshot())
    AEvent.Invoke(*handler, FSender, AFrame, static_cast<AVPixelFormat>(AFrame->format), ANumber,
                  AFrame->width, AFrame->height, APTS);
}

void THooks::RaiseAudioHook(AudioEvent& AEvent, AVFrame* AFrame, std::int64_t APTS) {
  if (!AEvent.Assigned()) return;
  // Other outputs of a split may share the samples: hook a copy of our own.
  if (!MakeWritable(AFrame, "hook buf malloc error.")) return;
  if (const auto handler = AEvent.Snapshot())
    AEvent.Invoke(*handler, FSender, APTS, AFrame, AFrame->linesize[0], AFrame->sample_rate,
                  AFrame->ch_layout.nb_channels, static_cast<AVSampleFormat>(AFrame->format));
}

void THooks::InputAudio(AVFrame* AFrame, std::int64_t APTS) {
  RaiseAudioHook(OnInputAudioHook, AFrame, APTS);
}

void THooks::OutputAudio(AVFrame* AFrame, std::int64_t APTS) {
  RaiseAudioHook(OnOutputAudioHook, AFrame, APTS);
}

void THooks::InputVideo(AVFrame* AFrame, int AFrameNumber, std::int64_t APTS) {
  const bool video = OnInputVideoHook.Assigned(), frame = OnInputFrameHook.Assigned();
  if ((!video && !frame) || AFrame->hw_frames_ctx) return;
  // The decoder keeps its reference pictures: hook a copy of our own.
  if (!MakeWritable(AFrame, "memory malloc error in pre_process_video_frame().")) return;
  if (frame) RaiseFrameHook(OnInputFrameHook, AFrame, AFrameNumber, APTS);
  bool converted = false;
  if (video) RunVideoHook(OnInputVideoHook, FInputVideoHook, AFrame, AFrameNumber, APTS, converted);
}

void THooks::OutputVideo(AVFrame* AFrame, int AFrameNumber, std::int64_t APTS) {
  if (AFrame->hw_frames_ctx) return;
  const bool video = OnOutputVideoHook.Assigned(), frame = OnOutputFrameHook.Assigned();
  bool converted = false;
  // The encoder may still hold this picture (a repeated frame, B-frame
  // references): hook a copy of our own.
  if ((video || frame) && MakeWritable(AFrame, "hook buf malloc error.")) {
    if (video)
      RunVideoHook(OnOutputVideoHook, FOutputConverter, AFrame, AFrameNumber, APTS, converted);
    if (frame) {
      RaiseFrameHook(OnOutputFrameHook, AFrame, AFrameNumber, APTS);
      converted = false;  // the preview shows what is encoded
    }
  }
  RunPostHooks(AFrame, AFrameNumber, APTS, converted);
}

// ---- Post hooks

bool THooks::PreviewDue() {
  const std::int64_t now = MonotonicMicroseconds();
  const std::int64_t interval = FPreviewInterval;
  if (interval > 0 && now - Fpreview_last_time <= interval) return false;  // 0: every picture
  Fpreview_last_time = now;
  return true;
}

bool THooks::PaintPreview(int ANumber, std::int64_t APTS) {
  std::shared_ptr<TPreviewer> previewer;
  {
    std::lock_guard g(FHookLock);
    if (!FPreviewer)
      FPreviewer =
          std::make_shared<TPreviewer>(FSinkFactory ? FSinkFactory : DefaultPreviewSinkFactory());
    previewer = FPreviewer;
  }
  return previewer->PaintFrame(FOutputConverter.Bitmap(), ANumber, APTS);
}

// Handlers are raised outside the lock; a setting changed meanwhile wins
// over the removal of a failed post hook.
void THooks::RunPostHooks(AVFrame* AFrame, int ANumber, std::int64_t APTS, bool AConverted) {
  TPostHooks post;
  bool changed;
  {
    std::lock_guard g(FHookLock);
    post = FPostHooks;
    changed = FPostHooksChanged;
    FPostHooksChanged = false;
  }
  const bool bitmap = (post & phBitmap) && OnPreviewBitmap.Assigned();
  const bool preview = !bitmap && (post & phPreview);
  if ((!bitmap && !preview) || AFrame->hw_frames_ctx || !PreviewDue()) return;
  bool ok = true;
  std::unique_lock canvas(FOutputConverter.Bitmap().canvas);
  if (!AConverted || changed) {
    ApplyBitsPixel();
    ok = FOutputConverter.PictureToRGB(AFrame->data, AFrame->linesize,
                                       static_cast<AVPixelFormat>(AFrame->format), AFrame->width,
                                       AFrame->height, true);
    if (!ok) Log(FOutputConverter.LastErrMsg());
  }
  if (ok && bitmap) {
    // The raiser of a main-thread report locks the canvas on the thread
    // that runs the handler: waiting here with it held could deadlock.
    canvas.unlock();
    if (const auto handler = OnPreviewBitmap.Snapshot())
      OnPreviewBitmap.Invoke(*handler, FSender, FOutputConverter.Bitmap(), ANumber, APTS);
  } else if (ok) {
    ok = PaintPreview(ANumber, APTS);
  }
  if (canvas.owns_lock()) canvas.unlock();
  if (ok) return;
  std::shared_ptr<TPreviewer> gone;
  std::lock_guard g(FHookLock);
  if (FPostHooksChanged) return;
  FPostHooks &= ~(bitmap ? unsigned{phBitmap} : unsigned{phPreview});
  if (!(FPostHooks & phPreview)) gone = std::move(FPreviewer);
}

}  // namespace corvane
