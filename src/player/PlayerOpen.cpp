// Opening a file: the session, the state, the file-opened step and failures.
#include <algorithm>
#include <utility>

#include "foundation/FFLoader.h"
#include "foundation/MainThread.h"
#include "player/EngineScope.h"
#include "player/FFBasePlayer.h"

namespace corvane {

bool TFFBasePlayer::Open(const std::string& AFileName, bool APaused) {
  return doOpen(AFileName, APaused, true);
}

bool TFFBasePlayer::TryOpen(const std::string& AFileName, bool APaused) {
  return doOpen(AFileName, APaused, false);
}

// True, with the reason, when no open may start now; otherwise the open is
// claimed until its session is current.
bool TFFBasePlayer::openRefused() {
  if (FDestroying) {
    report("The player is being destroyed.");
    return true;
  }
  if (OnEngineThread()) {
    report("Cannot open a file from the player's own threads.");
    return true;
  }
  if (!AVLibLoaded()) {
    report("FFmpeg libraries not loaded.");
    return true;
  }
  if (!FFLoader().Loaded(SDL2)) {
    report("SDL2 not loaded.");
    return true;
  }
  {
    std::lock_guard g(FSessionLock);
    // An open being stopped is no open pending: its stop is waited for below.
    const bool pending =
        FOpenClaimed || (FSession && FSession->opening && !FSession->StopRequested());
    if (!pending) {
      FOpenClaimed = true;
      return false;
    }
  }
  report("Current trying open is not completed.");
  return true;
}

TPlayerSettings TFFBasePlayer::openSettings(std::uint64_t& clock, const AVInputFormat*& forced) {
  std::lock_guard g(FSettingsLock);
  clock = FSettingsClock;
  forced = FForcedFormat;
  return FSettings;
}

bool TFFBasePlayer::doOpen(const std::string& AFileName, bool APaused, bool AWait) {
  if (openRefused()) return false;
  const auto unclaim = [this] {
    std::lock_guard g(FSessionLock);
    FOpenClaimed = false;
  };
  const auto failed = [&] {
    unclaim();
    OnOpenFailed.Raise(this);
    return false;
  };
  if (!InitSDL()) return failed();
  std::uint64_t clock = 0;
  const AVInputFormat* forced = nullptr;
  TPlayerSettings settings = openSettings(clock, forced);
  if (settings.audio_disable && (settings.video_disable || settings.display_disable)) {
    report("Cannot disable audio and video/display at the same time.");
    return failed();
  }
  // The file playing closes for this one and keeps the per-file settings;
  // its events end where they are.
  if (std::shared_ptr<TPlaySession> previous = session()) {
    previous->replaced = true;
    Stop(true);
    previous->pump.stop = true;
    previous->pump.ring.Reset();
  }
  FLastPTS = AV_NOPTS_VALUE;
  FLastPos = -1;
  if (settings.display_disable) settings.video_disable = true;
  settings.has_screen = HasScreen();
  settings.ReadTimeout = ReadTimeout();
  settings.TriggerEventInMainThread = FTriggerMain;
  FSeeking = false;
  std::shared_ptr<TPlaySession> s = newSession(clock);
  bool cancelled = false;
  if (!createState(s, settings, AFileName, forced, APaused, AWait, cancelled))
    // A TryOpen stopped while its state was made has started: it reports
    // the cancel through OnOpenFailed.
    return cancelled && !AWait;
  return !AWait || startPlayback(s);
}

// The new session becomes the current one; sessions whose threads ended are
// forgotten (and freed outside the lock: joining may pump the main thread).
std::shared_ptr<TPlaySession> TFFBasePlayer::newSession(std::uint64_t settingsAt) {
  auto s = std::make_shared<TPlaySession>(settingsAt);
  std::vector<std::shared_ptr<TPlaySession>> done;
  {
    std::lock_guard g(FSessionLock);
    auto ended = std::stable_partition(FSessions.begin(), FSessions.end(), [](const auto& p) {
      return !p->closed || p->opening || !p->Finished();
    });
    done.assign(std::make_move_iterator(ended), std::make_move_iterator(FSessions.end()));
    FSessions.erase(ended, FSessions.end());
    FSessions.push_back(s);
    FSession = s;
    FOpenClaimed = false;
  }
  return s;
}

namespace {
// The session whose state the calling thread is creating.
thread_local TPlaySession* tCreating = nullptr;
}  // namespace

void TFFBasePlayer::StateCreated(TVideoState* is) {
  if (tCreating) tCreating->SetPending(is);
}

// Creates and stores the state. A stop that came meanwhile cancels the open:
// false, with `cancelled` and OnOpenFailed.
bool TFFBasePlayer::createState(const std::shared_ptr<TPlaySession>& s,
                                const TPlayerSettings& settings, const std::string& AFileName,
                                const AVInputFormat* forced, bool APaused, bool AWait,
                                bool& cancelled) {
  std::unique_ptr<TVideoState> created;
  TPlaySession* const outer = std::exchange(tCreating, s.get());
  try {
    created = TVideoState::Create(*this, settings, AFileName, forced, APaused, AWait, FLive);
  } catch (...) {
    tCreating = outer;
    s->SetPending(nullptr);
    close(*s);
    s->opening = false;
    throw;
  }
  tCreating = outer;
  std::shared_ptr<TVideoState> is(std::move(created));
  cancelled = !is;
  if (is) {
    auto lock = LockData();
    std::lock_guard g(FSessionLock);
    cancelled = s->StopRequested();
    if (!cancelled) {
      s->state = is;
      s->stored = is.get();
      if (FSession == s) FStatePtr = is.get();
      // What was set while the state was being made.
      std::lock_guard sg(FSettingsLock);
      for (TClock* c : {&is->vidclk, &is->audclk, &is->extclk})
        c->SetSpeed(FSettings.PlaybackSpeed);
      is->sync.SetSyncType(FSettings.SyncType);
      is->step_to_key_frame = FSettings.StepToKeyFrame ? 1 : 0;
    }
  }
  s->SetPending(nullptr);
  if (cancelled) {
    // A failed open is reported by the read thread; a cancelled one here.
    const bool reportHere = is != nullptr;
    if (is) {
      // The read thread may be waiting for this (main) thread.
      is->abort_request = 1;
      is->WakeReader();
      waitFor([&] { return is->read_done.load(); });
    }
    is.reset();
    close(*s);
    s->opening = false;
    if (reportHere && !s->failReported.exchange(true)) OnOpenFailed.Raise(this);
    cancelled = reportHere;
    return false;
  }
  std::lock_guard g(FErrLock);
  FFileName = AFileName;
  return true;
}

// The read thread (or a non-waiting opener) reports the open input: the
// result thread takes over, so that the read thread goes on reading while
// OnFileOpen runs.
void TFFBasePlayer::FileOpened(TVideoState* is) {
  if (std::shared_ptr<TPlaySession> s = sessionOf(is))
    s->result.Start([this, s, is] { opened(s, is); });
}

void TFFBasePlayer::opened(const std::shared_ptr<TPlaySession>& s, TVideoState* raw) {
  // The opener stores the state right after creating it.
  waitFor([&] { return s->stored == raw || !s->opening || s->closing || shutdownRequested(); });
  if (s->stored != raw || s->closing) {
    s->opening = false;
    return;
  }
  startPlayback(s);
}

// The file-opened step: OnFileOpen, then the event and play threads. No
// reference to the state is held while the handler runs: a handler that
// stops the file, or destroys the player, frees it where it closes.
bool TFFBasePlayer::startPlayback(const std::shared_ptr<TPlaySession>& s) {
  const auto stopped = [&] {
    close(*s);
    s->opening = false;
    return false;
  };
  TFileOpenInfo info{};
  {
    std::shared_ptr<TVideoState> is;
    {
      std::lock_guard g(FSessionLock);
      is = s->state;
    }
    if (!is || is->abort_request || s->StopRequested()) {
      // Cancelled before the application heard of the file: a failed open.
      stopped();
      if (!s->failReported.exchange(true)) OnOpenFailed.Raise(this);
      return false;
    }
    info = {is->IsImage2 ? 0 : is->FileDuration, is->OpenedWidth(), is->OpenedHeight()};
    FDecoder.SetFileHandle(is->ic);
  }
  try {
    FOptions.init_opts();
    s->inFileOpen = true;
    RaiseFileOpen(info, s->orphaned);
    if (s->orphaned) return false;  // the handler destroyed the player
    s->inFileOpen = false;
    // The handler may have stopped the file.
    if (s->closing || s->StopRequested() || !s->StartPlay()) {
      stopped();
      return true;  // opened, then stopped by the application
    }
    // The open is over: handlers of the first events may open the next file.
    s->opening = false;
    s->events.Start([this, s] { eventThread(s); });
    s->play.Start([this, s] { playThread(s); });
  } catch (...) {
    s->inFileOpen = false;
    s->opening = false;
    throw;
  }
  waitFor([&] { return s->looping || s->closed; });
  return true;
}

void TFFBasePlayer::RaiseFileOpen(const TFileOpenInfo& info, const std::atomic<bool>& /*gone*/) {
  if (!OnFileOpen) return;
  int sw = 0, sh = 0;
  OnFileOpen.Raise(this, info.duration, info.width, info.height, sw, sh);
}

void TFFBasePlayer::OpenFailed(TVideoState* is, bool waited) {
  if (std::shared_ptr<TPlaySession> s = sessionOf(is))
    s->result.Start([this, s, is, waited] { failed(s, is, waited); });
}

void TFFBasePlayer::failed(const std::shared_ptr<TPlaySession>& s, TVideoState* raw, bool waited) {
  if (waited) {
    // The opener frees the state and returns first.
    waitFor([&] { return !s->opening || shutdownRequested(); });
  } else {
    // The failed state is closed here unless a stop closed it already.
    waitFor([&] { return s->stored == raw || !s->opening || s->closing || shutdownRequested(); });
    if (s->stored == raw) close(*s);
    // The open is over before the application hears of it: its handler may
    // open the next file.
    s->opening = false;
  }
  if (!s->failReported.exchange(true)) OnOpenFailed.Raise(this);
}

void TFFBasePlayer::BeforeFindStreamInfo(AVFormatContext* ic) {
  // The read thread waits for the handler: a stop from it cannot wait for the
  // read thread.
  std::shared_ptr<TPlaySession> s = session();
  if (s) s->inBeforeFind = true;
  OnBeforeFindStreamInfo.Raise(this, ic);
  if (s) s->inBeforeFind = false;
}

}  // namespace corvane
