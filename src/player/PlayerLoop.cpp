// The play thread and the event thread of a session.
#include "foundation/MainThread.h"
#include "player/EngineScope.h"
#include "player/FFBasePlayer.h"

namespace corvane {

void TFFBasePlayer::playThread(const std::shared_ptr<TPlaySession>& sp) {
  TPlaySession& s = *sp;
  EngineScope engine(this);
  postTo(s, psPlay);
  s.looping = true;
  try {
    playLoop(s);
  } catch (const std::exception& e) {
    FFLogger().Log(this, llFatal, std::string("PlayThread Exception: ") + e.what());
    close(s);
  }
  s.looping = false;
  if (s.orphaned) return;  // the player is gone
  if (isCurrent(s)) FPlayState = psStop;
  if (OnState)
    s.pump.ring.Post({2, psStop, 0, {}});
  else
    s.pump.ring.Post({3, 0, 0, {}});
}

void TFFBasePlayer::playLoop(TPlaySession& s) {
  bool running = true;
  double remaining = 0;
  while (running && !shutdownRequested() && !s.orphaned) {
    TPlayRecord r;
    if (s.queue.Popup(r)) {
      running = handleRequest(s, r);
      remaining = 0;
      continue;
    }
    if (remaining > 0) s.queue.Wait(remaining);
    remaining = 0.01;
    if (!playStep(s, remaining, running)) break;
    drawIfWanted(s);
  }
}

// One round of the refresh under the data lock; false once the state is gone.
bool TFFBasePlayer::playStep(TPlaySession& s, double& remaining, bool& running) {
  auto lock = LockData();
  TVideoState* is = s.stored;
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
void TFFBasePlayer::drawIfWanted(TPlaySession& s) {
  if (!std::exchange(FDrawWanted, false)) return;
  if (HasScreen() && !NoScreen()) VideoRender();
  if (s.orphaned) return;
  auto lock = LockData();
  if (TVideoState* is = s.stored) Draw(is);
}

// Runs a request on the play thread; false when playback ends.
bool TFFBasePlayer::handleRequest(TPlaySession& s, const TPlayRecord& r) {
  if (r.type == FF_QUIT_EVENT || r.type == FF_STOP_EVENT) {
    // A stop meant for an earlier state of this session is stale.
    if (r.type == FF_STOP_EVENT && r.state && r.state != s.stored) return s.stored != nullptr;
    close(s);
    return false;
  }
  auto lock = LockData();
  TVideoState* is = s.stored;
  if (!is) return false;
  switch (r.type) {
    case FF_REPEAT_EVENT:
      if (r.state == is) repeatAction(s, is);
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

bool TFFBasePlayer::deliver(const TPlaySession& s, const TPlayEvent& e) {
  switch (e.type) {
    case 1:
      OnPosition.Raise(this, e.data1);
      if (s.orphaned) return false;
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
  return !s.orphaned;
}

// Delivers the session's events in order; its last one is psStop. A handler
// may destroy the player: the thread then leaves without touching it.
void TFFBasePlayer::eventThread(const std::shared_ptr<TPlaySession>& sp) {
  TPlaySession& s = *sp;
  bool stopDelivered = false;
  while (!shutdownRequested() && !s.pump.stop) {
    TPlayEvent e;
    s.pump.ring.Take(e);
    if (e.type == 0) {
      s.pump.ring.Wait(0.01);
      continue;
    }
    if (e.type == 3) break;
    if (!deliver(s, e)) return;
    if (e.type == 2 && e.data1 == psStop) {
      stopDelivered = true;
      break;
    }
  }
  if (!stopDelivered && !shutdownRequested() && !s.orphaned) OnState.Raise(this, psStop);
}

}  // namespace corvane
