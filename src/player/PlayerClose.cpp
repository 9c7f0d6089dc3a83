// Stopping and closing a session, and what its close resets.
#include <chrono>
#include <thread>

#include "foundation/MainThread.h"
#include "player/EngineScope.h"
#include "player/FFBasePlayer.h"

namespace corvane {

using std::chrono::milliseconds;

namespace {

// Polls: a timed lock call goes by the sanitizers' lock tracking.
bool tryLockFor(std::unique_lock<std::timed_mutex>& lock, milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!lock.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

}  // namespace

void TFFBasePlayer::PostQuit(TVideoState* is) {
  if (std::shared_ptr<TPlaySession> s = sessionOf(is)) s->queue.Push({FF_STOP_EVENT, is});
}

void TFFBasePlayer::Stop(bool AWaitForStop) {
  std::shared_ptr<TPlaySession> s = session();
  if (!s || s->closed) return;
  const bool wait = AWaitForStop && !OnEngineThread() && !s->inBeforeFind;
  std::uint64_t none = 0;
  s->EndAt.compare_exchange_strong(none, settingsClock());
  // Without a stored state this cancels the open under way.
  const bool playing = s->RequestStop();
  std::shared_ptr<TVideoState> is;
  {
    std::lock_guard g(FSessionLock);
    is = s->state;
  }
  if (!is) {
    // A close under way elsewhere (the play thread, a failed open): its end
    // is waited for as well.
    if (wait && s->closing) {
      waitFor([&] { return s->closed || shutdownRequested(); });
      if (s->play.Joinable()) s->play.Join();
    }
    return;
  }
  {
    std::unique_lock lock(FDataLock, std::defer_lock);
    // An engine thread never waits for the lock: its holder may be joining it.
    if (OnEngineThread() ? lock.try_lock() : (lock.lock(), true)) {
      if (is->paused) togglePause(is.get());
      is->step = 0;
    }
  }
  if (!playing) {
    stopBeforePlay(*s, wait);
    return;
  }
  s->queue.Push({FF_STOP_EVENT, is.get()});
  if (wait) waitForClose(*s);
}

// The play thread never started: the opener, the result thread or this
// caller closes.
void TFFBasePlayer::stopBeforePlay(TPlaySession& s, bool wait) {
  TVideoState* is = s.stored;
  if (!is) return;
  is->abort_request = 1;
  is->WakeReader();
  if (!wait) return;
  // The result thread may be binding the input; inside OnFileOpen the open
  // ends after the handler, and it sees the stop.
  if (!s.inFileOpen) waitFor([&] { return !s.opening || s.closing || shutdownRequested(); });
  close(s);
  waitFor([&] { return s.closed || shutdownRequested(); });
}

// Waits for the play thread to close the session, asking again; past the
// limit (a play thread held up in a handler) it closes from here.
void TFFBasePlayer::waitForClose(TPlaySession& s) {
  int attempts = 1;
  while (!s.closed && !shutdownRequested()) {
    if (waitPumping([&] { return s.closed.load(); }, milliseconds(10), milliseconds(2))) break;
    std::unique_lock lock(FDataLock, std::defer_lock);
    if (!tryLockFor(lock, milliseconds(10))) continue;
    TVideoState* is = s.stored;
    if (!is) continue;  // being closed
    ++attempts;
    if (attempts <= 10 || (attempts <= 20 && !is->Reading)) {
      s.queue.Push({FF_STOP_EVENT, is});
      continue;
    }
    lock.unlock();
    FFLogger().Log(this, llWarning, "The play thread did not stop: closing from here");
    close(s);
  }
  if (shutdownRequested()) close(s);
  waitFor([&] { return s.closed || shutdownRequested(); });
  // A play thread waiting for this caller's main-thread work ends later.
  if (s.play.Joinable()) s.play.Join();
}

// Takes the state out of the session, then closes it without any lock held:
// threads that run handlers may call the player meanwhile. What belongs to
// the player is reset only while the session is the current one.
void TFFBasePlayer::close(TPlaySession& s) {
  if (s.closing.exchange(true)) return;
  std::shared_ptr<TVideoState> is;
  bool current = false;
  {
    auto lock = LockData();
    std::lock_guard g(FSessionLock);
    is = std::move(s.state);
    s.stored = nullptr;
    current = FSession.get() == &s;
    if (current) FStatePtr = nullptr;
  }
  if (is) {
    is->abort_request = 1;
    is->WakeReader();
    waitFor([&] { return is->read_done.load(); });
    is->Close();
    if (current) FDecoder.CloseFile();
    is.reset();
  }
  if (current) {
    ClearScreen(s.replaced);
    keepShownFrame(nullptr);
    resetAfterClose(s);
  }
  s.opening = false;
  s.closed = true;
}

// The per-file settings go back to their defaults, except those written after
// the session's end began (the application set up its next file) and, when
// the next file opens at once, all of them.
void TFFBasePlayer::resetAfterClose(const TPlaySession& s) {
  FPlayState = psStop;
  FLastPTS = AV_NOPTS_VALUE;
  FLastPos = -1;
  FCurrentPTS = -1;
  FCurrentPos = -1;
  FFrameWidth = FFrameHeight = 0;
  FHookingAVFrame = nullptr;
  bool options = false;
  {
    std::lock_guard g(FSettingsLock);
    const std::uint64_t from = s.EndAt ? s.EndAt.load() : FSettingsClock;
    const auto reset = [&](TPerFile f) { return FWrittenAt[f] <= from; };
    if (reset(pfSeekByBytes)) FSettings.seek_by_bytes = -1;
    if (!s.replaced) {
      if (reset(pfStreamSpecs))
        for (std::string& spec : FSettings.wanted_stream_spec) spec.clear();
      if (reset(pfStartTime)) FSettings.start_time = AV_NOPTS_VALUE;
      if (reset(pfRepeatType)) FSettings.RepeatType = rtNone;
      if (reset(pfVerticalFlip)) {
        FSettings.VerticalFlip = false;
        FLive->SetVerticalFlip(false);
      }
      if (reset(pfCodecNames)) {
        FSettings.video_codec_name.clear();
        FSettings.audio_codec_name.clear();
        FSettings.subtitle_codec_name.clear();
      }
      if (reset(pfForceFormat)) {
        FForceFormat.clear();
        FForcedFormat = nullptr;
      }
      if (reset(pfPlayTime)) FPlayTime = AV_NOPTS_VALUE;
      options = reset(pfOptions);
    }
  }
  if (options && AVLibLoaded()) FOptions.init_opts();
  FSeeking = false;
  FPictureReady = true;
}

}  // namespace corvane
