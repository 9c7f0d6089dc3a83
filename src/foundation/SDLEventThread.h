// The media layer's event thread: one per process. It pumps SDL2's events and
// hands them to the listed clients (the players): a quit to every client, a
// window or key event to the client whose window it names.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/api/sdl2.h"

namespace corvane {

class TSDLEventClient : public std::enable_shared_from_this<TSDLEventClient> {
 public:
  using TSink = std::function<void(const SDL_Event&)>;
  explicit TSDLEventClient(TSink sink) : FSink(std::move(sink)) {}
  TSDLEventClient(const TSDLEventClient&) = delete;
  TSDLEventClient& operator=(const TSDLEventClient&) = delete;

  // The window whose events the client takes (0: none).
  void SetWindowID(std::uint32_t id) { FWindowID = id; }
  std::uint32_t WindowID() const { return FWindowID; }
  // A quit, or a window close, resize, expose or key event of the client's window.
  bool Wants(const SDL_Event& e) const;
  // Runs the sink unless detached; any thread.
  void Deliver(const SDL_Event& e);
  // Once this returns no sink runs any more, except one running on the calling
  // thread (a handler that destroys its own player). Waits on the main thread
  // keep its queued calls running.
  void Detach();

 private:
  std::atomic<std::uint32_t> FWindowID{0};
  std::mutex FLock;
  std::condition_variable FIdle;
  TSink FSink;
  std::vector<std::thread::id> FRunning;  // threads inside the sink
};

// Lists the client (held weakly) until it is removed or gone.
void AddSDLEventClient(const std::shared_ptr<TSDLEventClient>& client);
void RemoveSDLEventClient(const TSDLEventClient* client);
// Hands the event to every listed client that wants it, outside the list's lock.
void DispatchSDLEvent(const SDL_Event& e);

// Starts the event thread unless it runs or SDL2's event queue is not
// initialised. The thread ends after a quit event and is started again by
// the next call.
void StartSDLEventThread();
// Ends the event thread and waits for it; called before SDL2 quits. From the
// event thread itself (a handler) it only asks it to end.
void StopSDLEventThread();
bool SDLEventThreadRunning();

// Serialises the media layer's window and renderer work with the event pump:
// SDL2 changes its window list and a renderer's surface while pumping.
[[nodiscard]] std::unique_lock<std::recursive_mutex> LockSDLVideo();

}  // namespace corvane
