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

// The player whose engine the current thread runs (play thread, or a decoder,
// read or audio thread inside one of the player's hooks).
thread_local const void* tEngineOf = nullptr;

class EngineScope {
 public:
  explicit EngineScope(const void* player) : FPrevious(tEngineOf) { tEngineOf = player; }
  ~EngineScope() { tEngineOf = FPrevious; }
  EngineScope(const EngineScope&) = delete;
  EngineScope& operator=(const EngineScope&) = delete;

 private:
  const void* FPrevious;
};

}  // namespace

TPlayerThread::~TPlayerThread() {
  if (OnThread())
    FThread.detach();  // the owner is destroyed from its own thread
  else
    Join();
}

void TPlayerThread::Join() {
  if (!FThread.joinable() || OnThread()) return;
  waitFor([this] { return FDone->load(); });
  FThread.join();
}

TFFBasePlayer::TFFBasePlayer(TComponent* AOwner) : TFFBaseComponent(AOwner) {
  newPump();
  if (AVLibLoaded()) FOptions.init_opts();
}

TFFBasePlayer::~TFFBasePlayer() {
  StopPlayerThreads();
  // A player that joined the media layer through SDLWasInit leaves it too.
  if (FSDLClient) SDLLoader().Quit(this);
}

void TFFBasePlayer::StopPlayerThreads() {
  Stop(true);
  stopThreads();
  FResultThread.Join();
}

bool TFFBasePlayer::OnEngineThread() const { return tEngineOf == this; }

// ---------------------------------------------------------------------------
// Libraries and the media layer

bool TFFBasePlayer::AVLibLoaded() { return FFLoader().Loaded(LibrarySet); }

bool TFFBasePlayer::LoadAVLib(const std::string& APath) {
  if (FLibLoaded) return true;
  if (!AVLibLoaded()) FFLoader().SetLibraryPath(APath);
  if (!FFLoader().Load(LibrarySet)) {
    report(FFLoader().LastErrMsg());
    return false;
  }
  FLibLoaded = true;
  FOptions.init_opts();
  if (!FFLoader().Load(libSoundTouch)) FFLogger().Log(this, llWarning, FFLoader().LastErrMsg());
  const std::vector<std::string> drivers = SDLLoader().AudioDrivers();
  for (std::size_t i = 0; i < drivers.size(); ++i)
    FFLogger().Log(this, llInfo, "Available audio driver [index %d]: %s", static_cast<int>(i),
                   drivers[i].c_str());
  return true;
}

void TFFBasePlayer::UnloadAVLib() {
  // The player's own threads cannot wait for the stop that must come first.
  if (OnEngineThread() || !FLibLoaded.exchange(false)) return;
  // Nothing of this player may call into the libraries once they are gone.
  Stop(true);
  {
    std::lock_guard g(FShownLock);
    FShownFrame.reset();
  }
  FDecoder.CloseFile();
  // Option dictionaries are the libraries' memory: freed while they are bound.
  FOptions.uninit_opts();
  // The media layer is among the libraries: leave it first.
  if (FSDLClient.exchange(false)) SDLLoader().Quit(this);
  FFLoader().Unload(LibrarySet);
  if (FFLoader().Loaded(libSoundTouch)) FFLoader().Unload(libSoundTouch);
}

bool TFFBasePlayer::SDLWasInit() {
  if (!FFLoader().Loaded(SDL2)) {
    report("SDL2 not loaded.");
    return false;
  }
  // Joining the running media layer makes this player a client.
  if (!SDLLoader().WasInit(this)) return false;
  FSDLClient = true;
  return true;
}

bool TFFBasePlayer::InitSDL() {
  if (FSDLClient && SDLLoader().WasInit(this)) return true;
  FNoScreen = !HasScreen();
  std::string audioDriver, videoDriver;
  {
    std::lock_guard g(FSettingsLock);
    audioDriver = FAudioDriver;
    videoDriver = FVideoDriver;
  }
  if (!SDLLoader().Init(this, audioDriver, videoDriver, HasScreen())) {
    if (!HasScreen() || ScreenRequired()) {
      report(SDLLoader().LastErrMsg());
      return false;
    }
    const std::string why = SDLLoader().LastErrMsg();
    if (!SDLLoader().Init(this, audioDriver, "", false)) {
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
  put(&TPlayerSettings::ReadTimeout, v);
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

std::string TFFBasePlayer::LastErrMsg() const {
  std::lock_guard g(FErrLock);
  return FLastErrMsg;
}

std::string TFFBasePlayer::FileName() const {
  std::lock_guard g(FErrLock);
  return FFileName;
}

std::shared_ptr<TEventPump> TFFBasePlayer::pump() const {
  std::lock_guard g(FPumpLock);
  return FPump;
}

// The events of the previous playback end where they are: its event thread
// finishes on its own (a handler there may be the caller).
void TFFBasePlayer::newPump() {
  auto next = std::make_shared<TEventPump>();
  std::shared_ptr<TEventPump> previous;
  {
    std::lock_guard g(FPumpLock);
    previous = std::exchange(FPump, next);
  }
  if (previous) {
    previous->stop = true;
    previous->ring.Reset();
  }
}

void TFFBasePlayer::PostPlayState(TPlayState s) {
  FPlayState = s;
  if (OnState)
    pump()->ring.Post({2, s, 0, {}});
  else if (s == psStop)
    pump()->ring.Post({3, 0, 0, {}});
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
  if (OnEngineThread()) {
    report("Cannot open a file from the player's own threads.");
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  waitFor([&] { return !FTryOpenBusy || std::chrono::steady_clock::now() > deadline; });
  if (FTryOpenBusy) {
    report("Current trying open is not completed.");
    return false;
  }
  const auto failed = [this] {
    OnOpenFailed.Raise(this);
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
  TPlayerSettings settings = [this] {
    std::lock_guard g(FSettingsLock);
    return FSettings;
  }();
  if (settings.audio_disable && (settings.video_disable || settings.display_disable)) {
    report("Cannot disable audio and video/display at the same time.");
    return failed();
  }
  FLoading = true;
  Stop(true);
  FLoading = false;
  FPlayThread.Join();
  newPump();
  FLastPTS = AV_NOPTS_VALUE;
  FLastPos = -1;
  FEventQueue.Reset();

  if (settings.display_disable) settings.video_disable = true;
  settings.has_screen = HasScreen();
  settings.ReadTimeout = ReadTimeout();
  settings.TriggerEventInMainThread = FTriggerMain;
  const AVInputFormat* forced = nullptr;
  {
    std::lock_guard g(FSettingsLock);
    forced = FForcedFormat;
  }
  {
    std::lock_guard g(FStateLock);
    FStopPending = false;
  }
  FTryOpenBusy = true;
  FStopped = false;
  FSeeking = false;
  FPlayTimeSerial = -1;
  std::unique_ptr<TVideoState> created;
  try {
    created = TVideoState::Create(*this, settings, AFileName, forced, APaused, AWait);
  } catch (...) {
    FTryOpenBusy = false;
    throw;
  }
  if (!created) {
    close();
    FStopped = true;
    FTryOpenBusy = false;
    return false;
  }
  std::shared_ptr<TVideoState> is(std::move(created));
  if (storeState(is)) {
    // Stopped while opening, before the state was stored (a hook, say).
    close();
    FStopped = true;
    FTryOpenBusy = false;
    return true;
  }
  {
    std::lock_guard g(FErrLock);
    FFileName = AFileName;
  }
  if (AWait) startPlayback(is);
  return true;
}

bool TFFBasePlayer::storeState(std::shared_ptr<TVideoState> is) {
  auto lock = LockData();
  std::lock_guard g(FStateLock);
  FStatePtr = is.get();
  FState = std::move(is);
  return std::exchange(FStopPending, false);
}

std::shared_ptr<TVideoState> TFFBasePlayer::State() const {
  std::lock_guard g(FStateLock);
  return FState;
}

// The read thread (or a non-waiting opener) reports the open input: the
// result thread takes over, so that the read thread goes on reading while
// OnFileOpen runs.
void TFFBasePlayer::FileOpened(TVideoState* is) {
  FResultThread.Start([this, is] { opened(is); });
}

void TFFBasePlayer::opened(TVideoState* raw) {
  // The opener stores the state right after creating it; the open stays busy,
  // so nobody closes it meanwhile.
  waitFor([&] { return FStatePtr == raw || !FTryOpenBusy || shutdownRequested(); });
  std::shared_ptr<TVideoState> is = State();
  if (is.get() != raw) {
    FTryOpenBusy = false;
    return;
  }
  startPlayback(is);
}

bool TFFBasePlayer::startPlayback(const std::shared_ptr<TVideoState>& is) {
  const auto done = [this](bool started) {
    FTryOpenBusy = false;
    return started;
  };
  const auto stopped = [&] {
    if (State() == is) close();
    FStopped = true;
    return done(false);
  };
  if (is->abort_request) return stopped();
  try {
    FDecoder.SetFileHandle(is->ic);
    FOptions.init_opts();
    FInFileOpen = true;
    RaiseFileOpen(is.get());
    FInFileOpen = false;
    // The handler may have stopped the file.
    if (State() != is || is->abort_request) return stopped();
    std::shared_ptr<TEventPump> events = pump();
    FEventThread.Start([this, events] { eventThread(events); });
    FLooping = false;
    FPlayThread.Start([this, events] { playThread(events); });
  } catch (...) {
    FInFileOpen = false;
    FTryOpenBusy = false;
    throw;
  }
  // The open is over: handlers run while waiting here may open the next file.
  FTryOpenBusy = false;
  waitFor([&] { return FLooping || FStopped; });
  return true;
}

void TFFBasePlayer::RaiseFileOpen(TVideoState* is) {
  if (!OnFileOpen) return;
  int sw = 0, sh = 0;
  OnFileOpen.Raise(this, is->IsImage2 ? 0 : is->FileDuration, is->OpenedWidth(), is->OpenedHeight(),
                   sw, sh);
}

void TFFBasePlayer::OpenFailed(TVideoState* is, bool waited) {
  FResultThread.Start([this, is, waited] { failed(is, waited); });
}

void TFFBasePlayer::failed(TVideoState* raw, bool waited) {
  if (waited) {
    // The opener frees the state and returns first.
    waitFor([&] { return !FTryOpenBusy || shutdownRequested(); });
  } else {
    // The failed state is freed here unless a Stop closed it already.
    waitFor([&] { return FStatePtr == raw || !FTryOpenBusy || shutdownRequested(); });
    if (FStatePtr == raw) {
      close();
      FStopped = true;
    }
  }
  // The open is over before the application hears of it: its handler may
  // open the next file. A waiting opener ends its open itself.
  if (!waited) FTryOpenBusy = false;
  OnOpenFailed.Raise(this);
}

void TFFBasePlayer::BeforeFindStreamInfo(AVFormatContext* ic) {
  // The read thread waits for the handler: a stop from it cannot wait for the
  // read thread.
  FInBeforeFind = true;
  OnBeforeFindStreamInfo.Raise(this, ic);
  FInBeforeFind = false;
}

// ---------------------------------------------------------------------------
// Stopping and closing

void TFFBasePlayer::PostQuit(TVideoState* is) { FEventQueue.Push({FF_STOP_EVENT, is}); }

void TFFBasePlayer::Stop(bool AWaitForStop) {
  std::shared_ptr<TVideoState> is;
  {
    std::lock_guard g(FStateLock);
    is = FState;
    // An open whose state is not stored yet stops once it is.
    if (!is && FTryOpenBusy) FStopPending = true;
  }
  if (!is) return;
  const bool wait = AWaitForStop && !OnEngineThread() && !FInBeforeFind;
  {
    std::unique_lock lock(FDataLock, std::defer_lock);
    // An engine thread never waits for the lock: its holder may be joining it.
    if (OnEngineThread() ? lock.try_lock() : (lock.lock(), true)) {
      if (is->paused) togglePause(is.get());
      is->step = 0;
    }
  }
  if (!FLooping) {
    stopBeforePlay(is, wait);
    return;
  }
  FEventQueue.Push({FF_STOP_EVENT, is.get()});
  if (!wait) return;
  waitFor([&] { return FStopped || shutdownRequested(); });
  FPlayThread.Join();
}

// Opening, or the play thread never started: close from here.
bool TFFBasePlayer::stopBeforePlay(const std::shared_ptr<TVideoState>& is, bool wait) {
  is->abort_request = 1;
  is->WakeReader();
  if (!wait) {
    // A play thread about to start closes the state.
    FEventQueue.Push({FF_STOP_EVENT, is.get()});
    return false;
  }
  waitFor([&] { return is->read_done.load(); });
  // A failed open's result thread may free the state meanwhile; inside
  // OnFileOpen the open ends after the handler, and it sees the stop.
  if (!FInFileOpen) waitFor([&] { return !FTryOpenBusy || FStatePtr != is.get(); });
  if (State() == is) close();
  FStopped = true;
  return true;
}

// Takes the state out of the player, then closes it without any lock held:
// threads that run handlers may call the player meanwhile.
void TFFBasePlayer::close() {
  std::shared_ptr<TVideoState> is;
  {
    auto lock = LockData();
    std::lock_guard g(FStateLock);
    is = std::move(FState);
    FStatePtr = nullptr;
  }
  if (is) {
    is->abort_request = 1;
    is->WakeReader();
    waitFor([&] { return is->read_done.load(); });
    is->Close();
    FDecoder.CloseFile();
  }
  ClearScreen();
  keepShownFrame(nullptr);
  resetAfterClose();
}

void TFFBasePlayer::resetAfterClose() {
  FPlayState = psStop;
  FLastPTS = AV_NOPTS_VALUE;
  FLastPos = -1;
  FCurrentPTS = -1;
  FCurrentPos = -1;
  FFrameWidth = FFrameHeight = 0;
  {
    std::lock_guard g(FSettingsLock);
    FSettings.seek_by_bytes = -1;
    if (!FLoading) {
      for (std::string& s : FSettings.wanted_stream_spec) s.clear();
      FSettings.start_time = AV_NOPTS_VALUE;
      FSettings.RepeatType = rtNone;
      FSettings.VerticalFlip = false;
      FSettings.video_codec_name.clear();
      FSettings.audio_codec_name.clear();
      FSettings.subtitle_codec_name.clear();
      FForceFormat.clear();
      FForcedFormat = nullptr;
    }
  }
  if (!FLoading) {
    FPlayTime = AV_NOPTS_VALUE;
    if (AVLibLoaded()) FOptions.init_opts();
  }
  FSeeking = false;
  FPictureReady = true;
}

void TFFBasePlayer::stopThreads() {
  if (std::shared_ptr<TEventPump> p = pump()) {
    p->stop = true;
    p->ring.Reset();
  }
  FEventThread.Join();
  FPlayThread.Join();
}

// ---------------------------------------------------------------------------
// The play thread and the event thread

void TFFBasePlayer::playThread(std::shared_ptr<TEventPump> events) {
  EngineScope engine(this);
  PostPlayState(psPlay);
  FLooping = true;
  try {
    bool running = true;
    double remaining = 0;
    while (running && !shutdownRequested()) {
      TPlayRecord r;
      if (FEventQueue.Popup(r)) {
        running = handleRequest(r);
        remaining = 0;
        continue;
      }
      if (remaining > 0) FEventQueue.Wait(remaining);
      remaining = 0.01;
      if (!playStep(remaining, running)) break;
      drawIfWanted();
    }
  } catch (const std::exception& e) {
    FFLogger().Log(this, llFatal, std::string("PlayThread Exception: ") + e.what());
    close();
  }
  FLooping = false;
  FPlayState = psStop;
  if (OnState)
    events->ring.Post({2, psStop, 0, {}});
  else
    events->ring.Post({3, 0, 0, {}});
  FStopped = true;
}

// One round of the refresh under the data lock; false once the state is gone.
bool TFFBasePlayer::playStep(double& remaining, bool& running) {
  auto lock = LockData();
  TVideoState* is = FStatePtr;
  if (!is) {
    running = false;
    return false;
  }
  if (!is->paused || is->force_refresh || is->seek_paused || is->open_paused)
    Refresh(is, remaining);
  else if (FPositionRequest)
    UpdatePosition(is);
  return true;
}

// The application hears of the picture before it is drawn, with no lock held.
void TFFBasePlayer::drawIfWanted() {
  if (!std::exchange(FDrawWanted, false)) return;
  if (HasScreen() && !NoScreen()) VideoRender();
  auto lock = LockData();
  if (TVideoState* is = FStatePtr) Draw(is);
}

// Runs a request on the play thread; false when playback ends.
bool TFFBasePlayer::handleRequest(const TPlayRecord& r) {
  if (r.type == FF_QUIT_EVENT || r.type == FF_STOP_EVENT) {
    if (r.type == FF_STOP_EVENT && r.state != FStatePtr) return FStatePtr != nullptr;
    close();
    return false;
  }
  auto lock = LockData();
  TVideoState* is = FStatePtr;
  if (!is) return false;
  switch (r.type) {
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
  return true;
}

void TFFBasePlayer::deliver(const TPlayEvent& e) {
  switch (e.type) {
    case 1:
      OnPosition.Raise(this, e.data1);
      OnPosition2.Raise(this, e.data1, e.data2);
      break;
    case 2:
      OnState.Raise(this, static_cast<TPlayState>(e.data1));
      break;
    case 4:
      OnError.Raise(this, errVideoFilters, e.text);
      break;
    default:
      break;
  }
}

void TFFBasePlayer::eventThread(std::shared_ptr<TEventPump> events) {
  bool stopDelivered = false;
  while (!shutdownRequested() && !events->stop) {
    TPlayEvent e;
    events->ring.Take(e);
    if (e.type == 0) {
      events->ring.Wait(0.01);
      continue;
    }
    if (e.type == 3) break;
    deliver(e);
    if (e.type == 2 && e.data1 == psStop) {
      stopDelivered = true;
      break;
    }
  }
  if (!stopDelivered && !shutdownRequested()) OnState.Raise(this, psStop);
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
  const bool stepToKey = StepToKeyFrame();
  if (!is->paused && is->MasterSyncType() == AV_SYNC_EXTERNAL_CLOCK && is->realtime)
    AdjustExternalClockSpeed(is->extclk, is->video_stream >= 0, is->videoq.nb_packets,
                             is->audio_stream >= 0, is->audioq.nb_packets);
  bool released = false;
  const bool display = HasScreen() && !NoScreen();
  if (display && is->show_mode != SHOW_MODE_VIDEO && is->audio_st) {
    const double t = nowSeconds();
    if (is->force_refresh || is->last_vis_time + Frdftspeed < t) {
      RequestDraw();
      is->last_vis_time = t;
    }
    remaining = std::min(remaining, is->last_vis_time + Frdftspeed - t);
  }
  if (is->video_st) {
    bool seekSeen = seekDoneAtEntry;
    for (;;) {
      if (is->pictq.Remaining() == 0) {
        if (is->force_refresh) RequestDraw();
        break;
      }
      TFFFrame* lastvp = is->pictq.PeekLast();
      TFFFrame* vp = is->pictq.Peek();
      // Paused after a seek: only the new serial's pictures are shown.
      if (is->seek_paused == 1 && vp->serial != is->videoq.serial) vp->serial = -1;
      seekSeen = seekSeen || is->seek_done;
      if ((stepToKey && !(vp->frame->key_frame)) || vp->serial != is->videoq.serial) {
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
        const int fd = is->live.framedrop;
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
    RequestDraw();
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
    if (OnPosition || OnPosition2) pump()->ring.Post({1, pts, pos, {}});
  }
  const std::int64_t playTime = FPlayTime;
  if (playTime != AV_NOPTS_VALUE) {
    const std::int64_t start = StartTime();
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
  if (RepeatType() != rtEnd) FEventQueue.Push({FF_REPEAT_EVENT, is});
}

void TFFBasePlayer::OpenedPaused(TVideoState*) { PostPlayState(psPause); }

void TFFBasePlayer::FilterError(const std::string& text) {
  if (OnError) pump()->ring.Post({4, 0, 0, text});
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
  EngineScope engine(this);
  if (FVideoHook && OnVideoHook) runVideoHook(frame, us);
  if (!FFrameHook || !OnFrameHook) return;
  // The application may write into the picture: never into a decoder reference.
  if (ff::av_frame_make_writable(frame) < 0) return;
  PicturePlanes p;
  for (int i = 0; i < 3; ++i) {
    p.data[i] = frame->data[i];
    p.linesize[i] = frame->linesize[i];
  }
  OnFrameHook.Raise(this, p, static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
                    us);
}

void TFFBasePlayer::PictureEvent(bool set) { FPictureReady = set; }

TAudioHook TFFBasePlayer::MakeAudioHook() {
  return [this](std::int64_t pts, const std::uint8_t* sample, int size, int rate, int channels) {
    if (!FAudioHook || !OnAudioHook) return;
    EngineScope engine(this);
    OnAudioHook.Raise(this, pts, sample, size, rate, channels);
  };
}

void TFFBasePlayer::SeekDone(bool waitPicture) {
  if (!waitPicture) FSeeking = false;
}

// ---------------------------------------------------------------------------
// Control

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
  TVideoState* is = FStatePtr;
  if (!is || is->paused) return;
  togglePause(is);
  is->step = 0;
  PostPlayState(psPause);
}

void TFFBasePlayer::Resume() {
  auto lock = LockData();
  TVideoState* is = FStatePtr;
  // A step still pending is not a pause to come: it ends, and play goes on.
  if (!is || (!is->paused && !is->step)) return;
  if (is->paused) togglePause(is);
  is->step = 0;
  PostPlayState(psResume);
}

void TFFBasePlayer::TogglePause() {
  auto lock = LockData();
  TVideoState* is = FStatePtr;
  if (!is) return;
  togglePause(is);
  is->step = 0;
  PostPlayState(is->paused ? psPause : psResume);
}

void TFFBasePlayer::StepToNextFrame() {
  auto lock = LockData();
  TVideoState* is = FStatePtr;
  if (!is) return;
  is->open_paused = 0;
  is->seek_paused = 0;
  if (is->paused) togglePause(is);
  if (!is->step.exchange(1)) PostPlayState(psStep);
}

void TFFBasePlayer::FlushQueue() {
  auto lock = LockData();
  if (TVideoState* is = FStatePtr) is->RequestFlush();
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
    if (FStatePtr != is) return true;
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
    is = FStatePtr;
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
    is = FStatePtr;
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
  switch (RepeatType()) {
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
      const std::int64_t start = StartTime();
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
  v = std::clamp(v, 0, 128);
  put(&TPlayerSettings::AudioVolume, v);
  auto lock = LockData();
  if (TVideoState* is = FStatePtr; is && is->audio) is->audio->SetVolume(v);
}

void TFFBasePlayer::SetMute(bool v) {
  put(&TPlayerSettings::Mute, v);
  auto lock = LockData();
  if (TVideoState* is = FStatePtr; is && is->audio) is->audio->SetMute(v);
}

void TFFBasePlayer::SetPlaybackSpeed(double v) {
  put(&TPlayerSettings::PlaybackSpeed, v);
  withState([v](TVideoState& is) {
    for (TClock* c : {&is.extclk, &is.vidclk, &is.audclk}) c->SetSpeed(v);
  });
}

void TFFBasePlayer::SetAudioPitch(float v) {
  put(&TPlayerSettings::AudioPitch, v);
  auto lock = LockData();
  if (TVideoState* is = FStatePtr; is && is->audio) is->audio->SetAudioPitch(v);
}

void TFFBasePlayer::SetUseSoundTouch(bool v) {
  put(&TPlayerSettings::UseSoundTouch, v);
  auto lock = LockData();
  if (TVideoState* is = FStatePtr; is && is->audio) is->audio->SetUseSoundTouch(v);
}

void TFFBasePlayer::SetSDLAllowedChangesFlag(int v) {
  put(&TPlayerSettings::SDLAllowedChangesFlag, v);
  auto lock = LockData();
  if (TVideoState* is = FStatePtr) {
    is->settings.SDLAllowedChangesFlag = v;  // for the next device open
    if (is->audio) is->audio->SetAllowedChanges(v);
  }
}

void TFFBasePlayer::Setframedrop(int v) {
  put(&TPlayerSettings::framedrop, v);
  withState([v](TVideoState& is) { is.live.framedrop = v; });
}

void TFFBasePlayer::Setdecoder_reorder_pts(int v) {
  put(&TPlayerSettings::decoder_reorder_pts, v);
  withState([v](TVideoState& is) { is.live.decoder_reorder_pts = v; });
}

void TFFBasePlayer::SetAutoRotate(bool v) {
  put(&TPlayerSettings::AutoRotate, v);
  withState([v](TVideoState& is) { is.live.SetAutoRotate(v); });
}

void TFFBasePlayer::SetVerticalFlip(bool v) {
  put(&TPlayerSettings::VerticalFlip, v);
  withState([v](TVideoState& is) { is.live.SetVerticalFlip(v); });
}

void TFFBasePlayer::SetTargetPixFmts(const std::vector<AVPixelFormat>& v) {
  put(&TPlayerSettings::target_pix_fmts, v);
  withState([&v](TVideoState& is) { is.live.SetTargetPixFmts(v); });
}

void TFFBasePlayer::SetDisableVideoFilter(bool v) {
  put(&TPlayerSettings::DisableVideoFilter, v);
  withState([v](TVideoState& is) { is.live.DisableVideoFilter = v; });
}

void TFFBasePlayer::SetResetFilterAfterSeeking(bool v) {
  put(&TPlayerSettings::ResetFilterAfterSeeking, v);
  withState([v](TVideoState& is) { is.live.ResetFilterAfterSeeking = v; });
}

void TFFBasePlayer::SetSyncType(Tav_sync_type v) {
  put(&TPlayerSettings::SyncType, v);
  withState([v](TVideoState& is) { is.sync.SetSyncType(v); });
}

void TFFBasePlayer::SetStartTime(std::int64_t v) {
  {
    std::lock_guard g(FSettingsLock);
    if (v == FSettings.start_time) return;
    FSettings.start_time = v;
  }
  if (v != AV_NOPTS_VALUE) SeekTo(v);
}

void TFFBasePlayer::SetVideoFilters(const std::string& v) {
  put(&TPlayerSettings::VideoFilters, v);
  withState([&v](TVideoState& is) { is.live.SetVideoFilters(v); });
}

void TFFBasePlayer::SetAudioFilters(const std::string& v) {
  put(&TPlayerSettings::AudioFilters, v);
  withState([&v](TVideoState& is) { is.live.SetAudioFilters(v); });
}

std::string TFFBasePlayer::streamSpec(AVMediaType t) const {
  std::lock_guard g(FSettingsLock);
  return FSettings.wanted_stream_spec[t];
}

void TFFBasePlayer::setStreamSpec(AVMediaType t, const std::string& v) {
  std::lock_guard g(FSettingsLock);
  FSettings.wanted_stream_spec[t] = v;
}

std::string TFFBasePlayer::AudioDriver() const {
  if (FSDLClient) return SDLLoader().CurrentAudioDriver();
  std::lock_guard g(FSettingsLock);
  return FAudioDriver;
}

void TFFBasePlayer::SetAudioDriver(const std::string& v) {
  std::lock_guard g(FSettingsLock);
  FAudioDriver = v;
}

std::string TFFBasePlayer::VideoDriver() const {
  if (FSDLClient && HasScreen() && !FNoScreen) return SDLLoader().CurrentVideoDriver();
  std::lock_guard g(FSettingsLock);
  return FVideoDriver;
}

void TFFBasePlayer::SetVideoDriver(const std::string& v) {
  std::lock_guard g(FSettingsLock);
  FVideoDriver = v;
}

std::string TFFBasePlayer::AudioDevice() const {
  if (std::shared_ptr<TVideoState> is = State()) {
    std::unique_lock lock(FDataLock);
    if (is->audio) return is->audio->AudioDevice();
  }
  return get(&TPlayerSettings::AudioDevice);
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
  std::lock_guard g(FSettingsLock);
  TVideoState* is = FStatePtr;
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
  put(&TPlayerSettings::show_mode, v);
  auto lock = LockData();
  if (TVideoState* is = FStatePtr) {
    if (v == SHOW_MODE_AUTO) v = is->video_stream >= 0 ? SHOW_MODE_VIDEO : SHOW_MODE_WAVES;
    if (v != is->show_mode) {
      is->show_mode = v;
      is->force_refresh = 1;
    }
  }
}

void TFFBasePlayer::SetStepToKeyFrame(bool v) {
  put(&TPlayerSettings::StepToKeyFrame, v);
  withState([v](TVideoState& is) { is.step_to_key_frame = v ? 1 : 0; });
}

std::string TFFBasePlayer::ForceFormat() const {
  std::lock_guard g(FSettingsLock);
  return FForceFormat;
}

void TFFBasePlayer::SetForceFormat(const std::string& AName) {
  const AVInputFormat* f = nullptr;
  if (!AName.empty()) {
    if (!AVLibLoaded()) throw ELibraryError("FFmpeg libraries not loaded.");
    f = find_app_input_format(AName.c_str());
    if (!f) f = ff::av_find_input_format(AName.c_str());
    if (!f) throw ELibraryError(strprintf("Unknown input format: %s", AName.c_str()));
  }
  std::lock_guard g(FSettingsLock);
  FForceFormat = AName;
  FForcedFormat = f;
}

std::vector<std::string> TFFBasePlayer::AudioDrivers() const { return SDLLoader().AudioDrivers(); }
std::vector<std::string> TFFBasePlayer::AudioDevices() const { return SDLLoader().AudioDevices(); }

AVFrame* TFFBasePlayer::CurrentAVFrame() {
  auto lock = LockData();
  TVideoState* is = FStatePtr;
  if (!is || !is->video_st) return nullptr;
  std::lock_guard g(FShownLock);
  return FShownFrame && FShownFrame->buf[0] ? ff::av_frame_clone(FShownFrame.get()) : nullptr;
}

void TFFBasePlayer::keepShownFrame(TFFFrame* vp) {
  std::lock_guard g(FShownLock);
  if (!FShownFrame && !vp) return;
  if (!FShownFrame) FShownFrame = makeFrame();
  if (!FShownFrame) return;
  ff::av_frame_unref(FShownFrame.get());
  if (!vp) return;
  std::lock_guard slot(vp->lock);
  if (vp->frame->buf[0]) ff::av_frame_ref(FShownFrame.get(), vp->frame.get());
}

AVFormatContext* TFFBasePlayer::FormatContext() const {
  // The input closes under the data lock.
  auto lock = std::unique_lock(FDataLock);
  TVideoState* is = FStatePtr;
  return is ? is->ic : nullptr;
}

int TFFBasePlayer::AudioStreamIndex() const {
  std::shared_ptr<TVideoState> is = State();
  return is ? is->audio_stream.load() : -1;
}

int TFFBasePlayer::VideoStreamIndex() const {
  std::shared_ptr<TVideoState> is = State();
  return is ? is->video_stream.load() : -1;
}

int TFFBasePlayer::SubtitleStreamIndex() const {
  std::shared_ptr<TVideoState> is = State();
  return is ? is->subtitle_stream.load() : -1;
}

int TFFBasePlayer::AudioQueueSize() const {
  std::shared_ptr<TVideoState> is = State();
  return is ? is->audioq.size.load() : -1;
}

int TFFBasePlayer::VideoQueueSize() const {
  std::shared_ptr<TVideoState> is = State();
  return is ? is->videoq.size.load() : -1;
}

int TFFBasePlayer::SubtitleQueueSize() const {
  std::shared_ptr<TVideoState> is = State();
  return is ? is->subtitleq.size.load() : -1;
}

bool TFFBasePlayer::Paused() const {
  std::shared_ptr<TVideoState> is = State();
  return !is || is->paused;
}

// Checks the request under the data lock, then lets it go: stopping a stream's
// decoder or device waits for handlers that may call the player. The switch
// takes the lock again to change the streams.
bool TFFBasePlayer::switchStream(AVMediaType kind, int index) {
  std::shared_ptr<TVideoState> held;
  int current = -1;
  {
    auto lock = LockData();
    if (!checkSwitch(kind, index, current)) return false;
    if (index == current) return true;
    held = State();
  }
  return held && held->SwitchStreamComponent(current, index) >= 0;
}

bool TFFBasePlayer::checkSwitch(AVMediaType kind, int index, int& current) {
  TVideoState* is = FStatePtr;
  current = !is                          ? -1
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
  return true;
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
