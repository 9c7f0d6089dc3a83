#include "player/CustomPlayer.h"

#include <chrono>
#include <cmath>

#include "foundation/MainThread.h"
#include "foundation/SDLEventThread.h"
#include "foundation/StrFormat.h"
#include "foundation/api/avutil.h"
#include "player/NativeWindow.h"

namespace corvane {

TCustomPlayer::TCustomPlayer(TComponent* AOwner) : TFFBasePlayer(AOwner) {}

TCustomPlayer::~TCustomPlayer() {
  // The play thread draws through this object: stop it before the screen goes.
  StopPlayerThreads();
  auto video = LockSDLVideo();
  FScreen.Destroy();
}

bool TCustomPlayer::Open(const std::string& AFileName, std::uintptr_t AScreenHandle, bool APaused) {
  FNoScreenNow = false;
  SetScreenHandle(AScreenHandle);
  const bool ok = TFFBasePlayer::Open(AFileName, APaused);
  // The media layer runs now: its events reach the players from here on.
  if (ok) StartSDLEventThread();
  return ok;
}

bool TCustomPlayer::TryOpen(const std::string& AFileName, std::uintptr_t AScreenHandle,
                            bool APaused) {
  FNoScreenNow = false;
  SetScreenHandle(AScreenHandle);
  const bool ok = TFFBasePlayer::TryOpen(AFileName, APaused);
  if (ok) StartSDLEventThread();
  return ok;
}

std::string TCustomPlayer::Renderer() const {
  std::lock_guard g(FRendererLock);
  return FRenderer;
}

void TCustomPlayer::SetRenderer(const std::string& v) {
  std::lock_guard g(FRendererLock);
  FRenderer = v;
}

std::string TCustomPlayer::RenderDriver() const {
  std::lock_guard g(FRendererLock);
  return FRenderDriver;
}

void TCustomPlayer::SetScreenHandle(std::uintptr_t AHandle) {
  if (FScreenHandle.exchange(AHandle) != AHandle) {
    FHandleChanged = true;
    if (std::shared_ptr<TVideoState> is = State()) is->force_refresh = 1;
  }
}

void TCustomPlayer::ScreenResized(int AWidth, int AHeight) {
  PostRequest({FF_WINDOW_EVENT, nullptr, SDL_WINDOWEVENT_RESIZED, AWidth, AHeight});
}

void TCustomPlayer::ScreenExposed() {
  PostRequest({FF_WINDOW_EVENT, nullptr, SDL_WINDOWEVENT_EXPOSED, 0, 0});
}

void TCustomPlayer::ScreenClosed() { PostRequest({FF_STOP_EVENT, nullptr}); }

void TCustomPlayer::SetBackColor(std::uint32_t v) {
  FBackColor = v;
  PostRequest({FF_REFRESH_EVENT, nullptr});
}

void TCustomPlayer::SetAspectRatio(double v) {
  if (FAspectRatio.exchange(v) != v) PostRequest({FF_REFRESH_EVENT, nullptr});
}

TRect TCustomPlayer::DisplayRect() const {
  std::lock_guard g(FDisplayRectLock);
  return FDisplayRect;
}

TRect TCustomPlayer::DisplayToActualRect(const TRect& r) const {
  if (!State()) return {};
  int l = std::min(r.x, r.x + r.w), rt = std::max(r.x, r.x + r.w);
  int t = std::min(r.y, r.y + r.h), b = std::max(r.y, r.y + r.h);
  const TRect d = DisplayRect();
  l = std::clamp(l, d.x, d.x + d.w) - d.x;
  rt = std::clamp(rt, d.x, d.x + d.w) - d.x;
  t = std::clamp(t, d.y, d.y + d.h) - d.y;
  b = std::clamp(b, d.y, d.y + d.h) - d.y;
  const int fw = FrameWidth(), fh = FrameHeight();
  if (fw > 0 && d.w > 0) {
    l = static_cast<int>(std::llround(static_cast<double>(l) * fw / d.w));
    rt = static_cast<int>(std::llround(static_cast<double>(rt) * fw / d.w));
  }
  if (fh > 0 && d.h > 0) {
    t = static_cast<int>(std::llround(static_cast<double>(t) * fh / d.h));
    b = static_cast<int>(std::llround(static_cast<double>(b) * fh / d.h));
  }
  return {l, t, rt - l, b - t};
}

void TCustomPlayer::HandleWindowEvent(TVideoState* is, const TPlayRecord& r) {
  if (r.event == SDL_WINDOWEVENT_RESIZED) {
    FScreenWidth = r.data1;
    FScreenHeight = r.data2;
    // The media layer does not see resizes of a foreign window.
    if (!FScreen.OwnWindow()) FScreen.SetSize(r.data1, r.data2);
    FScreen.DropVis();
  }
  is->force_refresh = 1;
}

void TCustomPlayer::MediaEvent(const SDL_Event& e) {
  TVideoState* is = State().get();
  if (e.type == SDL_QUIT) {
    PostRequest({FF_QUIT_EVENT, is});
  } else if (e.type == SDL_WINDOWEVENT) {
    if (e.window.event == SDL_WINDOWEVENT_CLOSE)
      PostRequest({FF_STOP_EVENT, is});
    else
      PostRequest({FF_WINDOW_EVENT, is, e.window.event, e.window.data1, e.window.data2});
  } else if (e.type == SDL_KEYDOWN) {
    keyDown(e);
  }
}

void TCustomPlayer::keyDown(const SDL_Event& e) {
  if (TriggerEventInMainThread() && !isMainThread()) {
    // Posted, not waited for: the event thread serves every player.
    if (auto d = currentDispatcher()) {
      d->post([client = std::weak_ptr(EventClient()), e] {
        if (auto c = client.lock()) c->Deliver(e);
      });
      return;
    }
  }
  // Raised from a copy of the handler: it may destroy the player.
  OnKeyDown.Raise(this, e.key.keysym.sym);
}

void TCustomPlayer::Draw(TVideoState* is) {
  if (NoScreen() || FNoScreenNow || !is) return;
  auto video = LockSDLVideo();
  if (FFullScreenChanged.exchange(false) && FScreen.Ready() && FScreen.OwnWindow())
    FScreen.Destroy();  // made again with the new mode
  if (FHandleChanged.exchange(false) && FScreen.Handle() != FScreenHandle) {
    FFLogger().Log(this, llInfo, "ScreenHandle changed from %llu to %llu",
                   static_cast<unsigned long long>(FScreen.Handle()),
                   static_cast<unsigned long long>(FScreenHandle.load()));
    destroyScreen();
  }
  if (!FScreen.Ready()) {
    const int w = FScreenWidth > 0 ? FScreenWidth.load()
                                   : (is->viddec_width > 0 ? is->viddec_width.load() : 640);
    const int h = FScreenHeight > 0 ? FScreenHeight.load()
                                    : (is->viddec_height > 0 ? is->viddec_height.load() : 480);
    std::string title = WindowTitle();
    if (title.empty())
      title = strprintf("%s @ %s.%s", FileName().c_str(), ClassName(), Name().c_str());
    std::string error;
    FScreen.SetForcedRenderer(Renderer());
    if (!FScreen.Create(FScreenHandle, w, h, title, FFullScreen, error)) {
      if (!ScreenRequired()) {
        // No window system here: keep playing without display.
        FFLogger().Log(this, llWarning, error + "; playing without display");
        FNoScreenNow = true;
        return;
      }
      // Never close the player inside a draw: ask the play thread.
      ReportError(error, llError, true);
      PostRequest({FF_STOP_EVENT, is});
      return;
    }
    FFLogger().Log(this, llInfo, "Current render driver: %s", FScreen.RenderDriver().c_str());
    {
      std::lock_guard g(FRendererLock);
      FRenderDriver = FScreen.RenderDriver();
    }
    EventClient()->SetWindowID(FScreen.WindowID());
  }
  if (std::string why; !FScreen.OwnWindow() && NativeWindowLost(FScreen.Handle(), why)) {
    // Drawing on would only add errors: end the playback.
    ReportError(why, llError, true);
    FNoScreenNow = true;
    PostRequest({FF_STOP_EVENT, is});
    return;
  }
  FScreen.Clear(FBackColor);
  const TRect area = FScreen.Area();
  if (is->audio_st && is->show_mode != SHOW_MODE_VIDEO)
    drawAudio(is, area);
  else if (is->video_st)
    drawPicture(is, area);
  {
    std::lock_guard g(FReadLock);
    if (FReadWanted) {
      FReadBuf.assign(static_cast<std::size_t>(std::max(0, FReadRect.w * FReadRect.h)), 0);
      FReadOk = FScreen.ReadPixels(FReadRect, FReadBuf.data());
      FReadWanted = false;
      FReadDone.notify_all();
    }
  }
  FScreen.Present();
}

void TCustomPlayer::drawPicture(TVideoState* is, const TRect& area) {
  TFFFrame* vp = is->pictq.PeekLast();
  std::lock_guard g(vp->lock);
  if (!vp->frame->data[0]) return;
  std::string error;
  TFFFrame* sp = nullptr;
  if (is->subtitle_st && is->subpq.Remaining() > 0) {
    TFFFrame* s = is->subpq.Peek();
    // A subtitle from before a seek waits for the refresh to drop it.
    if (s->serial == is->subtitleq.serial &&
        vp->pts >= s->pts + s->sub.start_display_time / 1000.0) {
      if (!s->uploaded) {
        if (s->width <= 0 || s->height <= 0) {
          s->width = vp->width;
          s->height = vp->height;
        }
        if (!FScreen.UploadSubtitle(s->sub, s->width, s->height, error)) {
          FFLogger().Log(this, llFatal, error);
          return;
        }
        s->uploaded = 1;
      }
      sp = s;
    }
  }
  const double aspect = FAspectRatio < 0 && area.h > 0 ? static_cast<double>(area.w) / area.h
                                                       : std::max(0.0, FAspectRatio.load());
  const TRect rect = FitPicture(area, vp->width, vp->height, vp->sar, aspect);
  if (!vp->uploaded) {
    if (!FScreen.Upload(vp->frame.get(), error)) {
      FFLogger().Log(this, llError, error);
      return;
    }
    vp->uploaded = 1;
    is->pictq.current = vp;
  }
  {
    std::lock_guard d(FDisplayRectLock);
    FDisplayRect = rect;
  }
  FScreen.DrawPicture(rect, vp->frame.get());
  if (sp) FScreen.DrawSubtitle(rect);
}

void TCustomPlayer::VideoRender() { OnVideoRender.Raise(this); }

void TCustomPlayer::RaiseFileOpen(const TFileOpenInfo& info, const std::atomic<bool>& gone) {
  if (!OnFileOpen) return;
  int sw = FScreenWidth, sh = FScreenHeight;
  OnFileOpen.Raise(this, info.duration, info.width, info.height, sw, sh);
  if (gone) return;
  FScreenWidth = sw;
  FScreenHeight = sh;
}

void TCustomPlayer::Setis_full_screen(bool v) {
  if (FFullScreen.exchange(v) != v) FFullScreenChanged = true;
}

void TCustomPlayer::SubtitleExpired(TFFFrame& sp) { FScreen.ClearSubtitle(sp.sub); }

void TCustomPlayer::drawAudio(TVideoState* is, const TRect& area) {
  if (area.h <= 4 || is->show_mode == SHOW_MODE_NONE || !is->audio) return;
  TAudioTiming t;
  is->audio->Timing(t.channels, t.freq, t.write_buf_size, t.callback_time);
  t.channels = std::max(1, t.channels);
  const int n = 1 << (VisBits(area.h) - 1);
  const bool waves = is->show_mode == SHOW_MODE_WAVES;
  bool spectrum = false;
  is->audio->ReadSamples([&](const std::int16_t* data, int size, int index) {
    const TSampleRing ring{data, size};
    int start = FLastWaveStart;
    if (!is->paused) {
      start = DisplayStart(index, size, t, ff::av_gettime_relative(), waves ? area.w : 2 * n);
      if (waves) start = WaveStart(ring, start, t.channels);
      FLastWaveStart = start;
    }
    if (waves)
      WaveRects(ring, start, t.channels, area, FBars, FLines);
    else
      spectrum = FSpectrum.Column(ring, start, t.channels, area.h, FColumn);
  });
  if (waves) {
    for (const TRect& r : FBars) FScreen.FillRect(r, FWaveColor);
    for (const TRect& r : FLines) FScreen.FillRect(r, FLineColor);
    return;
  }
  if (!spectrum) {
    FFLogger().Log(this, llError,
                   "Failed to allocate buffers for RDFT, switching to waves display");
    is->show_mode = SHOW_MODE_WAVES;
    return;
  }
  if (FSpectrum.xpos >= area.w) FSpectrum.xpos = 0;
  FScreen.UpdateVisColumn(area.w, area.h, FSpectrum.xpos, FColumn.data());
  FScreen.DrawVis(area);
  if (!is->paused) ++FSpectrum.xpos;
}

bool TCustomPlayer::ReadScreen(const TRect& r, std::vector<std::uint32_t>& out) {
  std::unique_lock g(FReadLock);
  FReadRect = r;
  FReadWanted = true;
  FReadOk = false;
  std::shared_ptr<TVideoState> is = State();
  if (is) is->force_refresh = 1;
  PostRequest({FF_REFRESH_EVENT, is.get()});
  if (!FReadDone.wait_for(g, std::chrono::seconds(3), [this] { return !FReadWanted; })) {
    FReadWanted = false;
    return false;
  }
  out = FReadBuf;
  return FReadOk;
}

void TCustomPlayer::destroyScreen() {
  EventClient()->SetWindowID(0);
  FScreen.Destroy();
}

void TCustomPlayer::ClearHandlers() {
  TFFBasePlayer::ClearHandlers();
  OnKeyDown = nullptr;
  OnVideoRender = nullptr;
}

void TCustomPlayer::ClearScreen(bool AReplaced) {
  auto video = LockSDLVideo();
  const int clear = FClearScreenAfterStop;
  if (FScreen.Ready() && (clear > 0 || (clear < 0 && !AReplaced))) {
    FScreen.Clear(FBackColor);
    FScreen.Present();
  }
  // The next file is drawn by another play thread: it makes its own renderer.
  destroyScreen();
}

bool TCustomPlayer::CurrentFrame(Bitmap& ABitmap, std::int64_t& APTS) {
  auto lock = LockData();
  std::shared_ptr<TVideoState> is = State();
  if (!is || !is->video_st) return false;
  // The released picture: OnVideoRender sees it before it is drawn.
  TFFFrame* vp = is->pictq.current;
  if (!vp) return false;
  std::lock_guard g(vp->lock);
  if (!vp->frame->data[0] || !ff::av_pix_fmt_desc_get(static_cast<AVPixelFormat>(vp->format)))
    return false;
  std::lock_guard c(FConvLock);
  if (!FConverter.PictureToRGB(vp->frame->data, vp->frame->linesize,
                               static_cast<AVPixelFormat>(vp->format), vp->width, vp->height,
                               true)) {
    FFLogger().Log(this, llError, FConverter.LastErrMsg());
    return false;
  }
  ABitmap = FConverter.Bitmap();
  APTS = std::isnan(vp->pts) ? AV_NOPTS_VALUE : std::llround(vp->pts * 1e6) - is->StartTime;
  return true;
}

}  // namespace corvane
