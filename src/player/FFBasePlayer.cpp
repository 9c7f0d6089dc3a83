#include "player/FFBasePlayer.h"

#include <chrono>
#include <cmath>

#include "foundation/AppInputFormats.h"
#include "foundation/ErrorText.h"
#include "foundation/Errors.h"
#include "foundation/FFLoader.h"
#include "foundation/MainThread.h"
#include "foundation/OptionString.h"
#include "foundation/StrFormat.h"
#include "player/SDLLoader.h"

namespace corvane {
namespace {

double nowSeconds() { return static_cast<double>(ff::av_gettime_relative()) / 1e6; }

// Waits for done, keeping the main thread's queue running when on it.
void waitFor(const std::function<bool()>& done) {
  if (isMainThread())
    waitPumping(done);
  else
    while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

}  // namespace

void TPlayerThread::Join() {
  if (!FThread.joinable()) return;
  if (FThread.get_id() == std::this_thread::get_id()) {
    FThread.detach();
    return;
  }
  waitFor([this] { return FDone->load(); });
  FThread.join();
}

TFFBasePlayer::TFFBasePlayer(TComponent* AOwner) : TFFBaseComponent(AOwner) {
  if (AVLibLoaded()) FOptions.init_opts();
}

TFFBasePlayer::~TFFBasePlayer() {
  StopPlayerThreads();
  if (FSDLClient) SDLLoader().Quit(this);
}

void TFFBasePlayer::StopPlayerThreads() {
  Stop(true);
  stopThreads();
  FFailThread.Join();
}

// ---------------------------------------------------------------------------
// Libraries and the media layer

bool TFFBasePlayer::AVLibLoaded() { return FFLoader().Loaded(LibrarySet); }

bool TFFBasePlayer::LoadAVLib(const std::string& APath) {
  if (AVLibLoaded()) return true;
  FFLoader().SetLibraryPath(APath);
  if (!FFLoader().Load(LibrarySet)) {
    report(FFLoader().LastErrMsg());
    return false;
  }
  FOptions.init_opts();
  if (!FFLoader().Load(libSoundTouch)) FFLogger().Log(this, llWarning, FFLoader().LastErrMsg());
  const std::vector<std::string> drivers = SDLLoader().AudioDrivers();
  for (std::size_t i = 0; i < drivers.size(); ++i)
    FFLogger().Log(this, llInfo, "Available audio driver [index %d]: %s", static_cast<int>(i),
                   drivers[i].c_str());
  return true;
}

void TFFBasePlayer::UnloadAVLib() {
  FFLoader().Unload(LibrarySet);
  FFLoader().Unload(libSoundTouch);
}

bool TFFBasePlayer::SDLWasInit() {
  if (!FFLoader().Loaded(SDL2)) {
    report("SDL2 not loaded.");
    return false;
  }
  return SDLLoader().WasInit(this);
}

bool TFFBasePlayer::InitSDL() {
  if (FSDLClient && SDLLoader().WasInit(this)) return true;
  FNoScreen = !HasScreen();
  if (!SDLLoader().Init(this, FAudioDriver, FVideoDriver, HasScreen())) {
    if (!HasScreen() || ScreenRequired()) {
      report(SDLLoader().LastErrMsg());
      return false;
    }
    const std::string why = SDLLoader().LastErrMsg();
    if (!SDLLoader().Init(this, FAudioDriver, "", false)) {
      report(SDLLoader().LastErrMsg());
      return false;
    }
    FNoScreen = true;
    FFLogger().Log(this, llWarning, "No video output (%s): playing without display", why.c_str());
  }
  FSDLClient = true;
  FFLogger().Log(this, llInfo, "Current audio driver: %s",
                 SDLLoader().CurrentAudioDriver().c_str());
  const std::vector<std::string> devices = SDLLoader().AudioDevices();
  for (std::size_t i = 0; i < devices.size(); ++i)
    FFLogger().Log(this, llInfo, "Available audio device [index %d]: %s", static_cast<int>(i),
                   devices[i].c_str());
  return true;
}

void TFFBasePlayer::SetReadTimeout(std::int32_t v) {
  TFFBaseComponent::SetReadTimeout(v);
  FSettings.ReadTimeout = v;
}

// ---------------------------------------------------------------------------
// Reporting and delivery

void TFFBasePlayer::report(const std::string& msg, TLogLevel level, bool storeLast) {
  if (storeLast) {
    std::lock_guard g(FErrLock);
    FLastErrMsg = msg;
  }
  FFLogger().Log(this, level, msg);
}

void TFFBasePlayer::ReportError(const std::string& msg, TLogLevel level, bool storeLast) {
  report(msg, level, storeLast);
}

void TFFBasePlayer::deliver(const std::function<void()>& fn) {
  const auto guarded = [&] {
    try {
      fn();
    } catch (const std::exception& e) {
      FFLogger().Log(this, llError, std::string("event handler: ") + e.what());
    }
  };
  if (FSettings.TriggerEventInMainThread)
    callInMainThread(guarded);
  else
    guarded();
}

void TFFBasePlayer::PostPlayState(TPlayState s) {
  FPlayState = s;
  if (OnState)
    FPlayEvents.Post({2, s, 0});
  else if (s == psStop)
    FPlayEvents.Post({3, 0, 0});
}

// ---------------------------------------------------------------------------
// Opening

bool TFFBasePlayer::Open(const std::string& AFileName, bool APaused) {
  return doOpen(AFileName, APaused, true);
}

bool TFFBasePlayer::TryOpen(const std::string& AFileName, bool APaused) {
  return doOpen(AFileName, APaused, false);
}

bool TFFBasePlayer::doOpen(const std::string& AFileName, bool APaused, bool AWait) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  waitFor([&] { return !FTryOpenBusy || std::chrono::steady_clock::now() > deadline; });
  if (FTryOpenBusy) {
    report("Current trying open is not completed.");
    return false;
  }
  const auto failed = [this] {
    if (OnOpenFailed) deliver([this] { OnOpenFailed(this); });
    return false;
  };
  if (!AVLibLoaded()) {
    report("FFmpeg libraries not loaded.");
    return false;
  }
  if (!FFLoader().Loaded(SDL2)) {
    report("SDL2 not loaded.");
    return false;
  }
  if (!InitSDL()) return failed();
  if (FSettings.audio_disable && (FSettings.video_disable || FSettings.display_disable)) {
    report("Cannot disable audio and video/display at the same time.");
    return failed();
  }
  FLoading = true;
  Stop(true);
  FLoading = false;
  stopThreads();
  FFailThread.Join();
  FPlayEvents.Reset();
  FLastPTS = AV_NOPTS_VALUE;
  FLastPos = -1;
  FEventQueue.Reset();

  TPlayerSettings settings = FSettings;
  if (settings.display_disable) settings.video_disable = true;
  settings.has_screen = HasScreen();
  settings.ReadTimeout = ReadTimeout();
  settings.target_pix_fmts = {AV_PIX_FMT_YUV420P};
  FTryOpenBusy = true;
  FStopped = false;
  FSeeking = false;
  FPlayTimeSerial = -1;
  std::unique_ptr<TVideoState> is;
  try {
    is = TVideoState::Create(*this, settings, AFileName, FForcedFormat, APaused, AWait);
  } catch (...) {
    FTryOpenBusy = false;
    throw;
  }
  if (!is) {
    close();
    FStopped = true;
    FTryOpenBusy = false;
    return false;
  }
  {
    auto lock = LockData();
    FState = std::move(is);
    FStatePtr = FState.get();
  }
  FFileName = AFileName;
  if (AWait) FileOpened(FState.get());
  return true;
}

void TFFBasePlayer::FileOpened(TVideoState* is) {
  // A non-waiting open runs this on the read thread: the state is stored first.
  waitFor([&] { return FStatePtr == is || is->abort_request; });
  if (is->abort_request) {
    FTryOpenBusy = false;
    return;
  }
  try {
    FDecoder.SetFileHandle(is->ic);
    FOptions.init_opts();
    RaiseFileOpen(is);
    FEventThreadStop = false;
    FEventThread.Start([this] { eventThread(); });
    FLooping = false;
    FPlayThread.Start([this] { playThread(); });
    waitFor([&] { return FLooping || FStopped; });
  } catch (...) {
    FTryOpenBusy = false;
    throw;
  }
  FTryOpenBusy = false;
}

void TFFBasePlayer::RaiseFileOpen(TVideoState* is) {
  if (!OnFileOpen) return;
  const std::int64_t duration = is->FileDuration;
  const int w = is->viddec_width, h = is->viddec_height;
  deliver([&] {
    int sw = w, sh = h;
    OnFileOpen(this, duration, w, h, sw, sh);
  });
}

void TFFBasePlayer::OpenFailed(TVideoState* is, bool waited) {
  FFailThread.Start([this, is, waited] {
    if (!waited) {
      waitFor([&] { return FStatePtr == is || !FTryOpenBusy; });
      auto lock = LockData();
      if (FState.get() == is) close();
      FStopped = true;
    }
    if (OnOpenFailed) deliver([this] { OnOpenFailed(this); });
    FTryOpenBusy = false;
  });
}

void TFFBasePlayer::BeforeFindStreamInfo(AVFormatContext* ic) {
  if (OnBeforeFindStreamInfo) OnBeforeFindStreamInfo(this, ic);
}

// ---------------------------------------------------------------------------
// Stopping and closing

void TFFBasePlayer::PostQuit(TVideoState* is) { FEventQueue.Push({FF_STOP_EVENT, is}); }

void TFFBasePlayer::Stop(bool AWaitForStop) {
  TVideoState* is = FStatePtr;
  if (!is) return;
  if (is->paused) togglePause(is);
  is->step = 0;
  if (!FLooping) {
    // Opening, or the play thread never started: close from here.
    is->abort_request = 1;
    if (!AWaitForStop) return;
    // A failed open's thread may free the state meanwhile, under the data lock.
    waitFor([&] {
      std::unique_lock lock(FDataLock, std::try_to_lock);
      return lock && (FState.get() != is || is->read_done);
    });
    waitFor([&] { return !FTryOpenBusy || FStatePtr != is; });
    {
      std::unique_lock lock(FDataLock, std::defer_lock);
      waitFor([&] { return lock.try_lock(); });
      if (FState.get() == is) close();
    }
    FStopped = true;
    return;
  }
  FEventQueue.Push({FF_STOP_EVENT, is});
  if (!AWaitForStop) return;
  waitFor([&] { return FStopped || shutdownRequested(); });
  FPlayThread.Join();
}

void TFFBasePlayer::close() {
  if (FState) {
    TVideoState* is = FState.get();
    is->abort_request = 1;
    is->WakeReader();
    waitFor([&] { return is->read_done.load(); });
    is->Close();
    FDecoder.CloseFile();
    FStatePtr = nullptr;
    FState.reset();
  }
  ClearScreen();
  keepShownFrame(nullptr);
  FPlayState = psStop;
  FLastPTS = AV_NOPTS_VALUE;
  FLastPos = -1;
  FCurrentPTS = -1;
  FCurrentPos = -1;
  FSettings.seek_by_bytes = -1;
  FFrameWidth = FFrameHeight = 0;
  if (!FLoading) {
    for (std::string& s : FSettings.wanted_stream_spec) s.clear();
    FSettings.start_time = AV_NOPTS_VALUE;
    FPlayTime = AV_NOPTS_VALUE;
    FSettings.RepeatType = rtNone;
    FSettings.VerticalFlip = false;
    FSettings.video_codec_name.clear();
    FSettings.audio_codec_name.clear();
    FSettings.subtitle_codec_name.clear();
    FForceFormat.clear();
    FForcedFormat = nullptr;
    if (AVLibLoaded()) FOptions.init_opts();
  }
  FSeeking = false;
  FPictureReady = true;
}

void TFFBasePlayer::stopThreads() {
  FEventThreadStop = true;
  FPlayEvents.Reset();
  FEventThread.Join();
  FPlayThread.Join();
}

// ---------------------------------------------------------------------------
// The play thread and the event thread

void TFFBasePlayer::playThread() {
  PostPlayState(psPlay);
  FLooping = true;
  try {
    bool running = true;
    while (running && !shutdownRequested()) {
      TPlayRecord r;
      double remaining = 0;
      bool got = false;
      while (!shutdownRequested()) {
        if (FEventQueue.Popup(r)) {
          got = true;
          break;
        }
        if (remaining > 0) FEventQueue.Wait(remaining);
        remaining = 0.01;
        auto lock = LockData();
        TVideoState* is = FState.get();
        if (!is) {
          running = false;
          break;
        }
        if (!is->paused || is->force_refresh || is->seek_paused || is->open_paused)
          Refresh(is, remaining);
        else if (FPositionRequest)
          UpdatePosition(is);
      }
      if (!got) break;
      auto lock = LockData();
      TVideoState* is = FState.get();
      if (!is) break;
      switch (r.type) {
        case FF_QUIT_EVENT:
        case FF_STOP_EVENT:
          if (r.state == is || r.type == FF_QUIT_EVENT) {
            close();
            running = false;
          }
          break;
        case FF_REPEAT_EVENT:
          if (r.state == is) repeatAction(is);
          break;
        case FF_REFRESH_EVENT:
        case FF_REDRAW_EVENT:
          is->force_refresh = 1;
          break;
        case FF_WINDOW_EVENT:
          HandleWindowEvent(is, r);
          break;
        default:
          break;
      }
    }
  } catch (const std::exception& e) {
    FFLogger().Log(this, llFatal, std::string("PlayThread Exception: ") + e.what());
    auto lock = LockData();
    close();
  }
  FLooping = false;
  PostPlayState(psStop);
  FStopped = true;
}

void TFFBasePlayer::eventThread() {
  bool stopDelivered = false;
  while (!shutdownRequested() && !FEventThreadStop) {
    TPlayEvent e;
    FPlayEvents.Take(e);
    if (e.type == 1) {
      const std::int64_t pts = e.data1, pos = e.data2;
      if (OnPosition) deliver([&] { OnPosition(this, pts); });
      if (OnPosition2) deliver([&] { OnPosition2(this, pts, pos); });
    } else if (e.type == 2) {
      const auto s = static_cast<TPlayState>(e.data1);
      if (OnState) deliver([&] { OnState(this, s); });
      if (s == psStop) {
        stopDelivered = true;
        break;
      }
    } else if (e.type == 3) {
      break;
    } else {
      FPlayEvents.Wait(0.01);
    }
  }
  if (!stopDelivered && !shutdownRequested() && OnState) deliver([&] { OnState(this, psStop); });
}

// ---------------------------------------------------------------------------
// Refresh and position

double TFFBasePlayer::targetDelay(TVideoState* is, double delay) {
  const Tav_sync_type master = is->MasterSyncType();
  if (master == AV_SYNC_VIDEO_MASTER) return delay;
  return FollowDelay(delay, is->vidclk.Get() - is->MasterClock(), master, is->max_frame_duration,
                     is->extclk.Speed());
}

void TFFBasePlayer::Refresh(TVideoState* is, double& remaining) {
  const bool seekDoneAtEntry = is->seek_done;
  if (!is->paused && is->MasterSyncType() == AV_SYNC_EXTERNAL_CLOCK && is->realtime)
    AdjustExternalClockSpeed(is->extclk, is->video_stream >= 0, is->videoq.nb_packets,
                             is->audio_stream >= 0, is->audioq.nb_packets);
  bool released = false;
  const bool display = HasScreen() && !NoScreen();
  if (display && is->show_mode != SHOW_MODE_VIDEO && is->audio_st) {
    const double t = nowSeconds();
    if (is->force_refresh || is->last_vis_time + Frdftspeed < t) {
      Draw(is);
      is->last_vis_time = t;
    }
    remaining = std::min(remaining, is->last_vis_time + Frdftspeed - t);
  }
  if (is->video_st) {
    bool seekSeen = seekDoneAtEntry;
    for (;;) {
      if (is->pictq.Remaining() == 0) {
        if (is->force_refresh) Draw(is);
        break;
      }
      TFFFrame* lastvp = is->pictq.PeekLast();
      TFFFrame* vp = is->pictq.Peek();
      // Paused after a seek: only the new serial's pictures are shown.
      if (is->seek_paused == 1 && vp->serial != is->videoq.serial) vp->serial = -1;
      seekSeen = seekSeen || is->seek_done;
      if ((FSettings.StepToKeyFrame && !(vp->frame->key_frame)) ||
          vp->serial != is->videoq.serial) {
        is->pictq.Next();
        continue;
      }
      if (lastvp->serial != vp->serial) is->frame_timer = nowSeconds();
      if (is->paused && !is->open_paused && !is->seek_paused) {
        is->vidclk.Set(vp->pts, vp->serial);
        is->extclk.SyncToSlave(is->vidclk);
        break;
      }
      const double last_duration = FrameDuration(*lastvp, *vp, is->max_frame_duration);
      const double delay = targetDelay(is, last_duration);
      const double t = nowSeconds();
      if (t < is->frame_timer + delay) {
        remaining = std::min(remaining, is->frame_timer + delay - t);
        break;
      }
      is->frame_timer = is->frame_timer + delay;
      if (delay > 0 && t - is->frame_timer > 0.1) is->frame_timer = t;
      if (!std::isnan(vp->pts)) {
        is->vidclk.Set(vp->pts, vp->serial);
        is->extclk.SyncToSlave(is->vidclk);
      }
      if (is->pictq.Remaining() > 1 && !is->step) {
        TFFFrame* nextvp = is->pictq.PeekNext();
        const double duration = FrameDuration(*vp, *nextvp, is->max_frame_duration);
        const int fd = is->settings.framedrop;
        if (((fd > 0 || (fd != 0 && is->MasterSyncType() != AV_SYNC_VIDEO_MASTER)) &&
             t > is->frame_timer + duration && !is->IsDevice) ||
            (seekSeen && is->seek_done)) {
          ++is->frame_drops_late;
          is->pictq.Next();
          continue;
        }
      }
      if (is->subtitle_st) expireSubtitles(is);
      is->pictq.Next();
      is->pictq.current = is->pictq.PeekLast();
      is->shown_serial = is->pictq.PeekLast()->serial;
      keepShownFrame(is->pictq.current);
      if (is->step && !is->paused && !is->force_refresh) {
        togglePause(is);
        is->step = 0;  // done: the next StepToNextFrame is a new step
      }
      if (is->step_to_key_frame && !is->paused) {
        is->step_to_key_frame = 0;
        togglePause(is);
        PostPlayState(psPause);
      }
      is->force_refresh = 1;
      released = true;
      break;
    }
  }
  if (is->pictq.RIndexShown() == 1) {
    // A seek while paused ends with the first picture shown after it.
    if (released) is->seek_paused = 0;
    is->open_paused = 0;
    if (is->seek_done && is->seek_flushed) is->seek_done = 0;
  }
  // Audio with another display mode was drawn above.
  if (display && is->force_refresh && (is->show_mode == SHOW_MODE_VIDEO || !is->audio_st) &&
      is->pictq.RIndexShown() == 1)
    Draw(is);
  UpdatePosition(is);
  is->force_refresh = 0;
}

void TFFBasePlayer::expireSubtitles(TVideoState* is) {
  const double clock = is->vidclk.Pts();
  while (is->subpq.Remaining() > 0) {
    TFFFrame* sp = is->subpq.Peek();
    TFFFrame* sp2 = is->subpq.Remaining() > 1 ? is->subpq.PeekNext() : nullptr;
    const bool expired = sp->serial != is->subtitleq.serial ||
                         clock > sp->pts + sp->sub.end_display_time / 1000.0 ||
                         (sp2 && clock > sp2->pts + sp2->sub.start_display_time / 1000.0);
    if (!expired) break;
    if (sp->uploaded) SubtitleExpired(*sp);
    is->subpq.Next();
  }
}

// The state's streams may be closing under a decoder thread: only the play
// thread, holding the data lock, looks at them.
void TFFBasePlayer::PositionUpdate(TVideoState*) { FPositionRequest = true; }

void TFFBasePlayer::UpdatePosition(TVideoState* is) {
  FPositionRequest = false;
  if (!is || is->IsImage2) return;
  const bool video = is->video_st != nullptr, audio = is->audio_st != nullptr;
  bool useVideo = video && !audio;
  if (video && audio) {
    useVideo = is->pictq_total_size >= 2;
    if (FUseAudioPosition)
      useVideo = is->MasterSyncType() == AV_SYNC_EXTERNAL_CLOCK && is->extclk.Speed() != 1.0;
  }
  const TClock* clock = nullptr;
  if (useVideo) {
    clock = &is->vidclk;
    if (std::isnan(is->vidclk.Get()))
      clock = (!audio || is->MasterSyncType() == AV_SYNC_VIDEO_MASTER) ? &is->extclk : &is->audclk;
  } else if (audio && is->audio && is->audio->AudioFrameAvailable() == 1) {
    clock = &is->audclk;
  }
  if (!clock) return;
  const double value = clock->Get();
  if (std::isnan(value)) return;
  // Before the device has played the first block the clock lies behind the start.
  std::int64_t pts = std::max<std::int64_t>(0, std::llround(value * 1e6) - is->StartTime);
  if (clock == &is->audclk && is->AudioDuration > 0 && pts >= is->AudioDuration &&
      is->FileDuration > pts)
    pts = is->FileDuration;
  std::int64_t pos = useVideo ? is->pictq.LastShownPos() : is->sampq.LastShownPos();
  if (pos < 0 && video && audio)
    pos = useVideo ? is->sampq.LastShownPos() : is->pictq.LastShownPos();
  if (pos < 0 && is->ic && is->ic->pb) pos = ff::avio_seek(is->ic->pb, 0, SEEK_CUR);
  FCurrentPTS = pts;
  FCurrentPos = pos;
  if (is->FileDuration > 0 && pts >= is->FileDuration) {
    pts = is->FileDuration;
    if (FLastPTS != pts) FLastPTS = 0;
  }
  const std::int64_t last = FLastPTS;
  if (last == AV_NOPTS_VALUE || std::llabs(pts - last) > FPositionInterval || FLastPos < 0 ||
      FLastPos != pos) {
    FLastPTS = pts;
    FLastPos = pos;
    if (OnPosition || OnPosition2) FPlayEvents.Post({1, pts, pos});
  }
  const std::int64_t playTime = FPlayTime;
  if (playTime != AV_NOPTS_VALUE) {
    const std::int64_t start = FSettings.start_time;
    const bool reached = start != AV_NOPTS_VALUE ? pts >= playTime + start : pts >= playTime;
    // Once per serial: the repeat action seeks, which starts a new one.
    const int serial = clock->Serial();
    if (reached && FPlayTimeSerial.exchange(serial) != serial)
      FEventQueue.Push({FF_REPEAT_EVENT, is});
  }
}

// ---------------------------------------------------------------------------
// Engine callbacks

void TFFBasePlayer::PlaybackEnded(TVideoState* is) {
  PostPlayState(psEnd);
  if (FSettings.RepeatType != rtEnd) FEventQueue.Push({FF_REPEAT_EVENT, is});
}

void TFFBasePlayer::OpenedPaused(TVideoState*) { PostPlayState(psPause); }

void TFFBasePlayer::FilterError(const std::string& text) {
  if (OnError) OnError(this, errVideoFilters, text);
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
  try {
    OnVideoHook(this, conv.Bitmap(), pts, update);
  } catch (const std::exception& e) {
    FFLogger().Log(this, llError, std::string("Error occurs OnVideoHook: ") + e.what());
    return;
  } catch (...) {
    FFLogger().Log(this, llError, "Error occurs OnVideoHook: unknown exception");
    return;
  }
  if (!update) return;
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
  if (FVideoHook && OnVideoHook) runVideoHook(frame, us);
  if (!FFrameHook || !OnFrameHook) return;
  // The application may write into the picture: never into a decoder reference.
  if (ff::av_frame_make_writable(frame) < 0) return;
  PicturePlanes p;
  for (int i = 0; i < 3; ++i) {
    p.data[i] = frame->data[i];
    p.linesize[i] = frame->linesize[i];
  }
  try {
    OnFrameHook(this, p, static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
                us);
  } catch (const std::exception& e) {
    FFLogger().Log(this, llError, std::string("Error occurs OnFrameHook: ") + e.what());
  }
}

void TFFBasePlayer::PictureEvent(bool set) { FPictureReady = set; }

TAudioHook TFFBasePlayer::MakeAudioHook() {
  return [this](std::int64_t pts, const std::uint8_t* sample, int size, int rate, int channels) {
    if (!FAudioHook || !OnAudioHook) return;
    try {
      OnAudioHook(this, pts, sample, size, rate, channels);
    } catch (const std::exception& e) {
      FFLogger().Log(this, llError, std::string("Error occurs OnAudioHook: ") + e.what());
    }
  };
}

void TFFBasePlayer::SeekDone(bool waitPicture) {
  if (!waitPicture) FSeeking = false;
}

// ---------------------------------------------------------------------------
// Control

bool TFFBasePlayer::Paused() const {
  TVideoState* is = FStatePtr;
  return !is || is->paused;
}

void TFFBasePlayer::togglePause(TVideoState* is) {
  if (is->paused) {
    const double lu =
        std::isnan(is->vidclk.Get()) ? is->extclk.LastUpdated() : is->vidclk.LastUpdated();
    is->frame_timer = is->frame_timer + nowSeconds() - lu;
    if (is->read_pause_return != AVERROR(ENOSYS)) is->vidclk.SetPaused(false);
    is->vidclk.Set(is->vidclk.Get(), is->vidclk.Serial());
    is->SetPaused(false);
  } else {
    is->SetPaused(true);
  }
  is->extclk.Set(is->extclk.Get(), is->extclk.Serial());
  for (TClock* c : {&is->vidclk, &is->audclk, &is->extclk}) c->SetPaused(is->paused);
}

void TFFBasePlayer::Pause() {
  auto lock = LockData();
  TVideoState* is = FState.get();
  if (!is || is->paused) return;
  togglePause(is);
  is->step = 0;
  PostPlayState(psPause);
}

void TFFBasePlayer::Resume() {
  auto lock = LockData();
  TVideoState* is = FState.get();
  // A step still pending is not a pause to come: it ends, and play goes on.
  if (!is || (!is->paused && !is->step)) return;
  if (is->paused) togglePause(is);
  is->step = 0;
  PostPlayState(psResume);
}

void TFFBasePlayer::TogglePause() {
  auto lock = LockData();
  TVideoState* is = FState.get();
  if (!is) return;
  togglePause(is);
  is->step = 0;
  PostPlayState(is->paused ? psPause : psResume);
}

void TFFBasePlayer::StepToNextFrame() {
  auto lock = LockData();
  TVideoState* is = FState.get();
  if (!is) return;
  is->open_paused = 0;
  is->seek_paused = 0;
  if (is->paused) togglePause(is);
  if (!is->step.exchange(1)) PostPlayState(psStep);
}

void TFFBasePlayer::FlushQueue() {
  auto lock = LockData();
  if (FState) FState->RequestFlush();
}

void TFFBasePlayer::streamSeek(TVideoState* is, std::int64_t pos, std::int64_t rel,
                               TSeekFlags flags, bool wait) {
  if (is->seek_req) return;
  FSeeking = true;
  is->step = 0;
  FPictureReady = false;
  is->StreamSeek(pos, rel, flags);
  if (FPlayState == psEnd) PostPlayState(psPlay);
  if (wait) waitForSeek(is);
}

void TFFBasePlayer::waitForSeek(TVideoState* is) {
  // The state is looked at under the data lock only: a close may free it.
  waitFor([&] {
    if (shutdownRequested()) return true;
    std::unique_lock lock(FDataLock, std::try_to_lock);
    if (!lock) return false;
    // Done once the first picture of the new position is on screen, or once
    // the video ended without one (a target past the last picture).
    if (FState.get() != is) return true;
    if (is->seek_req) return false;
    const int serial = is->videoq.serial;
    return is->video_stream < 0 || is->shown_serial == serial ||
           (is->viddec.finished == serial && is->pictq.Remaining() == 0);
  });
}

void TFFBasePlayer::SeekTo(std::int64_t APTS, TSeekFlags ASeekFlags, bool AWaitForSeekEnd) {
  TVideoState* is = nullptr;
  {
    auto lock = LockData();
    is = FState.get();
    if (!is || APTS == AV_NOPTS_VALUE) return;
    if (!(ASeekFlags & sfByte) && is->ic && is->ic->start_time != AV_NOPTS_VALUE)
      APTS += is->ic->start_time;
    streamSeek(is, APTS, 0, ASeekFlags, false);
  }
  if (AWaitForSeekEnd) waitForSeek(is);
}

void TFFBasePlayer::SeekBy(double ADelta, TSeekFlags ASeekFlags, bool AWaitForSeekEnd) {
  TVideoState* is = nullptr;
  {
    auto lock = LockData();
    is = FState.get();
    if (!is) return;
    std::int64_t target = 0, rel = 0;
    if (ASeekFlags & sfByte) {
      std::int64_t pos = is->video_stream >= 0 ? is->pictq.LastShownPos() : -1;
      if (pos < 0 && is->audio_stream >= 0) pos = is->sampq.LastShownPos();
      if (pos < 0 && is->ic && is->ic->pb) pos = ff::avio_seek(is->ic->pb, 0, SEEK_CUR);
      const double delta =
          ADelta *
          (is->ic && is->ic->bit_rate ? static_cast<double>(is->ic->bit_rate) / 8.0 : 180000.0);
      target = std::llround(static_cast<double>(pos) + delta);
      rel = std::llround(delta);
    } else {
      double pos = NAN;
      if (is->video_stream >= 0) pos = is->vidclk.Get();
      if (std::isnan(pos))
        pos = is->MasterSyncType() != AV_SYNC_AUDIO_MASTER ? is->extclk.Get() : is->audclk.Get();
      if (std::isnan(pos)) pos = static_cast<double>(is->seek_pos) / AV_TIME_BASE;
      target = std::llround((pos + ADelta) * AV_TIME_BASE);
      rel = std::llround(ADelta * AV_TIME_BASE);
    }
    streamSeek(is, target, rel, ASeekFlags, false);
  }
  if (AWaitForSeekEnd) waitForSeek(is);
}

void TFFBasePlayer::repeatAction(TVideoState* is) {
  switch (FSettings.RepeatType) {
    case rtStop:
      FEventQueue.Push({FF_STOP_EVENT, is});
      break;
    case rtPause:
      if (!is->paused) {
        togglePause(is);
        PostPlayState(psPause);
      }
      break;
    case rtRewind:
      if (!is->paused) {
        togglePause(is);
        PostPlayState(psPause);
      }
      [[fallthrough]];
    case rtLoop: {
      const std::int64_t start = FSettings.start_time;
      std::int64_t pos = start != AV_NOPTS_VALUE ? start : 0;
      if (is->ic && is->ic->start_time != AV_NOPTS_VALUE) pos += is->ic->start_time;
      streamSeek(is, pos, 0, start != AV_NOPTS_VALUE ? 0 : sfBackward, false);
      break;
    }
    case rtEnd:
      PostPlayState(psEnd);
      break;
    case rtNone:
      break;
  }
}

// ---------------------------------------------------------------------------
// Settings applied to the playing file

void TFFBasePlayer::SetAudioVolume(int v) {
  FSettings.AudioVolume = std::clamp(v, 0, 128);
  auto lock = LockData();
  if (FState && FState->audio) FState->audio->SetVolume(FSettings.AudioVolume);
}

void TFFBasePlayer::SetMute(bool v) {
  FSettings.Mute = v;
  auto lock = LockData();
  if (FState && FState->audio) FState->audio->SetMute(v);
}

void TFFBasePlayer::SetPlaybackSpeed(double v) {
  FSettings.PlaybackSpeed = v;
  auto lock = LockData();
  if (FState)
    for (TClock* c : {&FState->extclk, &FState->vidclk, &FState->audclk}) c->SetSpeed(v);
}

void TFFBasePlayer::SetAudioPitch(float v) {
  FSettings.AudioPitch = v;
  auto lock = LockData();
  if (FState && FState->audio) FState->audio->SetAudioPitch(v);
}

void TFFBasePlayer::SetSyncType(Tav_sync_type v) {
  FSettings.SyncType = v;
  auto lock = LockData();
  if (FState) FState->sync.SetSyncType(v);
}

void TFFBasePlayer::SetStartTime(std::int64_t v) {
  if (v == FSettings.start_time) return;
  FSettings.start_time = v;
  if (v != AV_NOPTS_VALUE) SeekTo(v);
}

void TFFBasePlayer::SetVideoFilters(const std::string& v) {
  FSettings.VideoFilters = v;
  auto lock = LockData();
  if (FState) FState->settings.VideoFilters = v;
}

void TFFBasePlayer::SetAudioFilters(const std::string& v) {
  FSettings.AudioFilters = v;
  auto lock = LockData();
  if (FState) FState->settings.AudioFilters = v;
}

bool TFFBasePlayer::opt_default(const std::string& opt, const std::string& arg) {
  if (!AVLibLoaded()) {
    report("FFmpeg libraries not loaded.");
    return false;
  }
  if (FOptions.opt_default(opt, arg) < 0) {
    report(last_error_text());
    return false;
  }
  return true;
}

bool TFFBasePlayer::DefaultOptions(const std::string& AOptions) {
  if (AOptions.empty()) return true;
  FFLogger().Log(this, llInfo, "ParseOptions: " + AOptions);
  const std::vector<std::string> words = split_option_string(AOptions);
  bool ok = true;
  for (std::size_t i = 0; i < words.size();) {
    if (words[i].size() > 1 && words[i][0] == '-') {
      const std::string value = i + 1 < words.size() ? words[i + 1] : "";
      if (!opt_default(words[i].substr(1), value)) ok = false;
      i += 2;
    } else {
      FFLogger().Log(this, llError, "Invalid option found while parsing options, ignore");
      ++i;
    }
  }
  return ok;
}

bool TFFBasePlayer::SendVideoFilterCommand(const std::string& target, const std::string& cmd,
                                           const std::string& arg, int flags) {
  auto lock = LockData();
  std::string error = "filter is not available";
  if (FState && FState->SendFilterCommand(true, target, cmd, arg, flags, error)) return true;
  report(error);
  return false;
}

bool TFFBasePlayer::SendAudioFilterCommand(const std::string& target, const std::string& cmd,
                                           const std::string& arg, int flags) {
  auto lock = LockData();
  std::string error = "filter is not available";
  if (FState && FState->SendFilterCommand(false, target, cmd, arg, flags, error)) return true;
  report(error);
  return false;
}

bool TFFBasePlayer::QueueVideoFilterCommand(const std::string& target, const std::string& cmd,
                                            const std::string& arg, int flags, double ATime) {
  auto lock = LockData();
  std::string error = "filter is not available";
  if (FState && FState->QueueFilterCommand(true, target, cmd, arg, flags, ATime, error))
    return true;
  report(error);
  return false;
}

bool TFFBasePlayer::QueueAudioFilterCommand(const std::string& target, const std::string& cmd,
                                            const std::string& arg, int flags, double ATime) {
  auto lock = LockData();
  std::string error = "filter is not available";
  if (FState && FState->QueueFilterCommand(false, target, cmd, arg, flags, ATime, error))
    return true;
  report(error);
  return false;
}

void TFFBasePlayer::ToggleAudioDisplay() {
  auto lock = LockData();
  TVideoState* is = FState.get();
  const int current = is ? is->show_mode : FSettings.show_mode;
  // video -> waves -> spectrum -> none -> video
  static constexpr TShowMode kNext[] = {SHOW_MODE_WAVES, SHOW_MODE_RDFT, SHOW_MODE_NONE};
  const TShowMode next =
      current >= SHOW_MODE_VIDEO && current < SHOW_MODE_NB ? kNext[current] : SHOW_MODE_VIDEO;
  FSettings.show_mode = next;
  if (is) {
    is->show_mode = next;
    is->force_refresh = 1;
  }
}

void TFFBasePlayer::SetShowMode(TShowMode v) {
  FSettings.show_mode = v;
  auto lock = LockData();
  if (TVideoState* is = FState.get()) {
    if (v == SHOW_MODE_AUTO) v = is->video_stream >= 0 ? SHOW_MODE_VIDEO : SHOW_MODE_WAVES;
    if (v != is->show_mode) {
      is->show_mode = v;
      is->force_refresh = 1;
    }
  }
}

void TFFBasePlayer::SetStepToKeyFrame(bool v) {
  FSettings.StepToKeyFrame = v;
  auto lock = LockData();
  if (FState) FState->step_to_key_frame = v ? 1 : 0;
}

void TFFBasePlayer::SetForceFormat(const std::string& AName) {
  if (AName.empty()) {
    FForceFormat.clear();
    FForcedFormat = nullptr;
    return;
  }
  if (!AVLibLoaded()) throw ELibraryError("FFmpeg libraries not loaded.");
  const AVInputFormat* f = find_app_input_format(AName.c_str());
  if (!f) f = ff::av_find_input_format(AName.c_str());
  if (!f) throw ELibraryError(strprintf("Unknown input format: %s", AName.c_str()));
  FForceFormat = AName;
  FForcedFormat = f;
}

std::vector<std::string> TFFBasePlayer::AudioDrivers() const { return SDLLoader().AudioDrivers(); }
std::vector<std::string> TFFBasePlayer::AudioDevices() const { return SDLLoader().AudioDevices(); }

AVFrame* TFFBasePlayer::CurrentAVFrame() {
  auto lock = LockData();
  if (!FState || !FState->video_st) return nullptr;
  std::lock_guard g(FShownLock);
  return FShownFrame && FShownFrame->buf[0] ? ff::av_frame_clone(FShownFrame.get()) : nullptr;
}

void TFFBasePlayer::keepShownFrame(TFFFrame* vp) {
  std::lock_guard g(FShownLock);
  if (!FShownFrame) FShownFrame = makeFrame();
  if (!FShownFrame) return;
  ff::av_frame_unref(FShownFrame.get());
  if (!vp) return;
  std::lock_guard slot(vp->lock);
  if (vp->frame->buf[0]) ff::av_frame_ref(FShownFrame.get(), vp->frame.get());
}

AVFormatContext* TFFBasePlayer::FormatContext() const {
  TVideoState* is = FStatePtr;
  return is ? is->ic : nullptr;
}

int TFFBasePlayer::AudioStreamIndex() const {
  TVideoState* is = FStatePtr;
  return is ? is->audio_stream.load() : -1;
}

int TFFBasePlayer::VideoStreamIndex() const {
  TVideoState* is = FStatePtr;
  return is ? is->video_stream.load() : -1;
}

int TFFBasePlayer::SubtitleStreamIndex() const {
  TVideoState* is = FStatePtr;
  return is ? is->subtitle_stream.load() : -1;
}

int TFFBasePlayer::AudioQueueSize() const {
  TVideoState* is = FStatePtr;
  return is ? is->audioq.size.load() : -1;
}

int TFFBasePlayer::VideoQueueSize() const {
  TVideoState* is = FStatePtr;
  return is ? is->videoq.size.load() : -1;
}

bool TFFBasePlayer::switchStream(AVMediaType kind, int index) {
  auto lock = LockData();
  TVideoState* is = FState.get();
  const int current = !is                          ? -1
                      : kind == AVMEDIA_TYPE_VIDEO ? is->video_stream.load()
                      : kind == AVMEDIA_TYPE_AUDIO ? is->audio_stream.load()
                                                   : is->subtitle_stream.load();
  if (!is || (current < 0 && kind != AVMEDIA_TYPE_SUBTITLE)) {
    report("the current stream is invalid.");
    return false;
  }
  const int n = static_cast<int>(is->ic->nb_streams);
  if (index >= n || index < (kind == AVMEDIA_TYPE_SUBTITLE ? -1 : 0)) {
    report("the stream index is invalid.");
    return false;
  }
  if (index == current) return true;
  if (index >= 0) {
    const AVCodecParameters* par = is->ic->streams[index]->codecpar;
    if (par->codec_type != kind) {
      report("the stream type is not matched.");
      return false;
    }
    if (kind == AVMEDIA_TYPE_AUDIO && (par->sample_rate == 0 || par->ch_layout.nb_channels == 0)) {
      report("the audio stream is invalid.");
      return false;
    }
  }
  return is->SwitchStreamComponent(current, index) >= 0;
}

bool TFFBasePlayer::SetAudioStreamIndex(int AIndex) {
  return switchStream(AVMEDIA_TYPE_AUDIO, AIndex);
}
bool TFFBasePlayer::SetVideoStreamIndex(int AIndex) {
  return switchStream(AVMEDIA_TYPE_VIDEO, AIndex);
}
bool TFFBasePlayer::SetSubtitleStreamIndex(int AIndex) {
  return switchStream(AVMEDIA_TYPE_SUBTITLE, AIndex);
}

}  // namespace corvane
