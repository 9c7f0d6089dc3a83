// One opened file of a player: its state, the threads that serve it, its
// request queue and event pump, and the flags of its lifetime. A stop waits
// for the session it stopped; the next open gets a session of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "player/PlayEvents.h"

namespace corvane {

class TVideoState;

// A thread of the player. Joining it on the main thread runs the main thread's
// queued calls meanwhile, since the thread may be waiting for one of them. A
// new start never waits for the previous thread: the new thread joins it first.
class TPlayerThread {
 public:
  TPlayerThread() = default;
  ~TPlayerThread();
  TPlayerThread(const TPlayerThread&) = delete;
  TPlayerThread& operator=(const TPlayerThread&) = delete;
  template <class F>
  void Start(F&& body) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto ready = std::make_shared<std::atomic<bool>>(false);
    std::thread previous = std::move(FThread);
    FDone = done;
    FThread = std::thread(
        [done, ready, previous = std::move(previous), body = std::forward<F>(body)]() mutable {
          while (!ready->load()) std::this_thread::yield();  // the id is stored
          if (previous.joinable()) previous.join();
          body();
          *done = true;
        });
    FId = FThread.get_id();
    *ready = true;
  }
  // Waits for the thread (and its predecessors). On the thread itself it
  // returns at once: the thread is ending, and its owner's destructor
  // detaches it.
  void Join();
  bool OnThread() const { return FId == std::this_thread::get_id(); }
  // The thread may be joined from here: not this thread, and not a thread
  // whose main-thread call the caller is running.
  bool Joinable() const;
  bool Running() const { return FDone && !FDone->load(); }

 private:
  std::thread FThread;
  std::atomic<std::thread::id> FId{};
  std::shared_ptr<std::atomic<bool>> FDone;
};

// The play events of one playback and the flag that ends their delivery.
struct TEventPump {
  TPlayEventRing ring;
  std::atomic<bool> stop{false};
};

struct TPlaySession {
  explicit TPlaySession(std::uint64_t settingsAt) : SettingsAt(settingsAt) {}
  TPlaySession(const TPlaySession&) = delete;
  TPlaySession& operator=(const TPlaySession&) = delete;

  // The state the open created, for a stop to abort before it is stored;
  // cleared before the state is freed.
  void SetPending(TVideoState* is);
  // Marks the stop; true when the play thread was started (it closes).
  bool RequestStop();
  // Marks the play thread started unless a stop came first.
  bool StartPlay();
  bool StopRequested();
  // The state this session made, for matching the engine's reports; never
  // dereferenced.
  const TVideoState* Created();
  bool Finished() const { return !play.Running() && !events.Running() && !result.Running(); }

  // The player's settings clock when its settings were taken.
  const std::uint64_t SettingsAt;
  // The clock when the end of the session began (0: not yet): settings
  // written after it are the next file's, and the close keeps them.
  std::atomic<std::uint64_t> EndAt{0};
  // The clock when its end of playback was last reported.
  std::atomic<std::uint64_t> EndedAt{0};

  std::shared_ptr<TVideoState> state;         // once stored; under the player's session lock
  std::atomic<TVideoState*> stored{nullptr};  // for threads that only compare
  TEventQueue queue;                          // requests to its play thread
  TEventPump pump;
  TPlayerThread play, events, result;

  std::atomic<bool> opening{true};        // the open is not over
  std::atomic<bool> looping{false};       // the play thread runs its loop
  std::atomic<bool> closing{false};       // a close has begun
  std::atomic<bool> closed{false};        // the state is gone
  std::atomic<bool> failReported{false};  // OnOpenFailed was raised
  std::atomic<bool> replaced{false};      // closed by the next open: per-file settings stay
  std::atomic<bool> orphaned{false};      // the player is gone: its threads leave at once
  std::atomic<bool> inFileOpen{false};    // OnFileOpen is being raised
  std::atomic<bool> inBeforeFind{false};
  std::atomic<int> playTimeSerial{-1};

 private:
  std::mutex FLock;
  TVideoState* FPending = nullptr;
  const TVideoState* FCreated = nullptr;
  bool FStopRequested = false, FPlayStarted = false;
};

}  // namespace corvane
