#include "player/PlaySession.h"

#include <chrono>

#include "foundation/MainThread.h"
#include "player/VideoState.h"

namespace corvane {

TPlayerThread::~TPlayerThread() {
  if (OnThread())
    FThread.detach();  // the owner is destroyed from its own thread
  else
    Join();
}

void TPlayerThread::Join() {
  if (!FThread.joinable() || OnThread()) return;
  if (isMainThread())
    waitPumping([this] { return FDone->load(); });
  else
    while (!FDone->load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  FThread.join();
}

bool TPlayerThread::Joinable() const {
  const std::thread::id id = FId;
  return id != std::thread::id() && !OnThread() && !runningCallFrom(id);
}

void TPlaySession::SetPending(TVideoState* is) {
  std::lock_guard g(FLock);
  FPending = is;
  if (is) FCreated = is;
  if (is && FStopRequested) is->abort_request = 1;
}

bool TPlaySession::RequestStop() {
  std::lock_guard g(FLock);
  FStopRequested = true;
  if (FPending) {
    // A blocked open or read gives up at its next interrupt check.
    FPending->last_read = 0;
    FPending->abort_request = 1;
    FPending->WakeReader();
  }
  return FPlayStarted;
}

bool TPlaySession::StartPlay() {
  std::lock_guard g(FLock);
  if (FStopRequested) return false;
  FPlayStarted = true;
  return true;
}

const TVideoState* TPlaySession::Created() {
  std::lock_guard g(FLock);
  return FCreated;
}

bool TPlaySession::StopRequested() {
  std::lock_guard g(FLock);
  return FStopRequested;
}

}  // namespace corvane
