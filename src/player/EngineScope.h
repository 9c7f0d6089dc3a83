// Marks the threads that run a player's engine: the play thread, and a
// decoder, read or audio thread while it runs one of the player's hooks.
// Waiting for the engine there would wait for oneself.
#pragma once

#include <chrono>
#include <functional>

#include "foundation/MainThread.h"

extern "C" {
#include <libavutil/avutil.h>
}

namespace corvane {

class EngineScope {
 public:
  // `serves`: the stream kind whose decoding the thread carries, if any.
  explicit EngineScope(const void* player, AVMediaType serves = AVMEDIA_TYPE_UNKNOWN)
      : FPlayer(tPlayer), FServes(tServes) {
    tPlayer = player;
    tServes = serves;
  }
  ~EngineScope() {
    tPlayer = FPlayer;
    tServes = FServes;
  }
  EngineScope(const EngineScope&) = delete;
  EngineScope& operator=(const EngineScope&) = delete;

  static bool On(const void* player) { return tPlayer == player; }
  static bool Serves(const void* player, AVMediaType kind) {
    return tPlayer == player && tServes == kind;
  }

 private:
  static inline thread_local const void* tPlayer = nullptr;
  static inline thread_local AVMediaType tServes = AVMEDIA_TYPE_UNKNOWN;
  const void* FPlayer;
  AVMediaType FServes;
};

// Waits for done, keeping the main thread's queue running when on it.
inline void waitFor(const std::function<bool()>& done) {
  waitPumping(done, std::chrono::milliseconds::max(), std::chrono::milliseconds(2));
}

}  // namespace corvane
