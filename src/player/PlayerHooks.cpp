// The engine's calls into the player: end of playback, errors, and the
// picture and sample hooks on the decoder and audio threads.
#include <cmath>

#include "foundation/ErrorText.h"
#include "foundation/FFLoader.h"
#include "player/EngineScope.h"
#include "player/FFBasePlayer.h"

namespace corvane {

void TFFBasePlayer::PlaybackEnded(TVideoState* is) {
  std::shared_ptr<TPlaySession> s = sessionOf(is);
  if (!s) return;
  s->EndedAt = settingsClock();
  postTo(*s, psEnd);
  if (RepeatType() != rtEnd) s->queue.Push({FF_REPEAT_EVENT, is});
}

void TFFBasePlayer::OpenedPaused(TVideoState*) { PostPlayState(psPause); }

void TFFBasePlayer::FilterError(const std::string& text) {
  if (!OnError) return;
  if (std::shared_ptr<TPlaySession> s = session()) s->pump.ring.Post({4, 0, 0, text});
}

void TFFBasePlayer::SetVideoHookBitsPixel(int v) {
  std::lock_guard g(FConvLock);
  FConverter.SetBitsPixel(v);  // throws for a depth that has no format
  FHookFormat = FConverter.BMPPixFmt();
}

void TFFBasePlayer::runVideoHook(AVFrame* frame, std::int64_t pts) {
  std::lock_guard g(FHookConvLock);
  TFormatConverter& conv = FHookConverter;
  conv.SetBMPPixFmt(FHookFormat);
  const auto format = static_cast<AVPixelFormat>(frame->format);
  if (!conv.PictureToRGB(frame->data, frame->linesize, format, frame->width, frame->height, true)) {
    FFLogger().Log(this, llError, conv.LastErrMsg());
    return;
  }
  bool update = true;
  if (!OnVideoHook.Raise(this, conv.Bitmap(), pts, update) || !update) return;
  // The planes may be shared with the decoder's references or the filter
  // graph: write into a copy of its own.
  if (const int ret = ff::av_frame_make_writable(frame); ret < 0) {
    FFLogger().Log(this, llError, error_text("av_frame_make_writable() failed", ret));
    return;
  }
  if (!conv.BitmapToRGB() ||
      !conv.RGBToPicture(frame->data, frame->linesize, format, frame->width, frame->height))
    FFLogger().Log(this, llError, conv.LastErrMsg());
}

void TFFBasePlayer::HookPicture(TVideoState* is, AVFrame* frame, double pts) {
  FFrameWidth = frame->width;
  FFrameHeight = frame->height;
  const std::int64_t us =
      std::isnan(pts) ? AV_NOPTS_VALUE : std::llround(pts * 1e6) - is->StartTime;
  EngineScope engine(this, AVMEDIA_TYPE_VIDEO);
  // Valid while the hooks run only: the picture goes on to the queue.
  FHookingAVFrame = frame;
  if (FVideoHook && OnVideoHook) runVideoHook(frame, us);
  if (FFrameHook && OnFrameHook) runFrameHook(frame, us);
  FHookingAVFrame = nullptr;
}

void TFFBasePlayer::runFrameHook(AVFrame* frame, std::int64_t pts) {
  // The application may write into the picture: never into a decoder reference.
  if (ff::av_frame_make_writable(frame) < 0) return;
  PicturePlanes p;
  for (int i = 0; i < 3; ++i) {
    p.data[i] = frame->data[i];
    p.linesize[i] = frame->linesize[i];
  }
  OnFrameHook.Raise(this, p, static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
                    pts);
}

void TFFBasePlayer::PictureEvent(bool set) { FPictureReady = set; }

TAudioHook TFFBasePlayer::MakeAudioHook() {
  return [this](std::int64_t pts, const std::uint8_t* sample, int size, int rate, int channels) {
    if (!FAudioHook || !OnAudioHook) return;
    EngineScope engine(this, AVMEDIA_TYPE_AUDIO);
    OnAudioHook.Raise(this, pts, sample, size, rate, channels);
  };
}

void TFFBasePlayer::SeekDone(bool waitPicture) {
  if (!waitPicture) FSeeking = false;
}

}  // namespace corvane
