#include "foundation/SDLEventThread.h"

#include <algorithm>
#include <chrono>

#include "foundation/Logger.h"
#include "foundation/MainThread.h"

namespace corvane {
namespace {

struct TClientList {
  std::mutex lock;
  std::vector<std::weak_ptr<TSDLEventClient>> clients;
};

TClientList& clientList() {
  static TClientList list;
  return list;
}

// Lock order: the thread's lock, then none; the pump takes the video lock alone.
class TEventThread {
 public:
  ~TEventThread() { Stop(); }

  void Start() {
    std::lock_guard g(FLock);
    if (FRunning) return;
    if (FThread.joinable()) FThread.join();  // ended after a quit
    // Each run has its own flag: a run told to stop from its own thread may
    // still be finishing when the next one starts.
    FStop = std::make_shared<std::atomic<bool>>(false);
    FRunning = true;
    FThread = std::thread([this, stop = FStop] { run(*stop); });
  }

  void Stop() {
    std::unique_lock g(FLock);
    if (!FThread.joinable()) return;
    FStop->store(true);
    FWake.notify_all();
    FRunning = false;
    if (FThread.get_id() == std::this_thread::get_id()) {
      FThread.detach();
      return;
    }
    std::thread t = std::move(FThread);
    g.unlock();
    t.join();
  }

  bool Running() {
    std::lock_guard g(FLock);
    return FRunning;
  }

 private:
  void run(const std::atomic<bool>& stop) {
    while (!stop && !shutdownRequested()) {
      SDL_Event e{};
      int got = 0;
      {
        auto video = LockSDLVideo();
        if (stop) break;
        sdl::SDL_PumpEvents();
        got = sdl::SDL_PeepEvents(&e, 1, SDL_GETEVENT, SDL_FIRSTEVENT, SDL_LASTEVENT);
      }
      if (got < 0) {
        const std::string why = sdl::SDL_GetError();
        e = {};
        e.type = SDL_QUIT;
        DispatchSDLEvent(e);
        FFLogger().Log(nullptr, llInfo, "SDL_PeepEvents(): %s", why.c_str());
        break;
      }
      if (got == 0) {
        std::unique_lock g(FLock);
        FWake.wait_for(g, std::chrono::milliseconds(10), [&stop] { return stop.load(); });
        continue;
      }
      DispatchSDLEvent(e);
      if (e.type == SDL_QUIT) break;
    }
    std::lock_guard g(FLock);
    // A run that was let go, or replaced, leaves the state to its successor.
    if (FThread.get_id() == std::this_thread::get_id()) FRunning = false;
  }

  std::mutex FLock;
  std::condition_variable FWake;
  std::thread FThread;
  std::shared_ptr<std::atomic<bool>> FStop;
  bool FRunning = false;
};

TEventThread& eventThread() {
  static TEventThread thread;
  return thread;
}

}  // namespace

bool TSDLEventClient::Wants(const SDL_Event& e) const {
  const std::uint32_t id = FWindowID;
  switch (e.type) {
    case SDL_QUIT:
      return true;
    case SDL_WINDOWEVENT:
      return id != 0 && e.window.windowID == id &&
             (e.window.event == SDL_WINDOWEVENT_CLOSE ||
              e.window.event == SDL_WINDOWEVENT_RESIZED ||
              e.window.event == SDL_WINDOWEVENT_EXPOSED);
    case SDL_KEYDOWN:
      return id != 0 && e.key.windowID == id;
    default:
      return false;
  }
}

void TSDLEventClient::Deliver(const SDL_Event& e) {
  TSink sink;
  {
    std::lock_guard g(FLock);
    if (!FSink) return;
    sink = FSink;
    FRunning.push_back(std::this_thread::get_id());
  }
  try {
    sink(e);
  } catch (const std::exception& x) {
    FFLogger().Log(nullptr, llError, std::string("media-layer event: ") + x.what());
  } catch (...) {
    FFLogger().Log(nullptr, llError, "media-layer event: unknown exception");
  }
  std::lock_guard g(FLock);
  FRunning.erase(std::find(FRunning.begin(), FRunning.end(), std::this_thread::get_id()));
  FIdle.notify_all();
}

void TSDLEventClient::Detach() {
  const auto self = std::this_thread::get_id();
  const auto idle = [&] {
    return std::all_of(FRunning.begin(), FRunning.end(), [&](auto id) { return id == self; });
  };
  std::unique_lock g(FLock);
  FSink = nullptr;
  if (idle()) return;
  if (!isMainThread()) {
    FIdle.wait(g, idle);
    return;
  }
  // A sink on another thread may wait for the main thread.
  g.unlock();
  waitPumping([&] {
    std::lock_guard l(FLock);
    return idle();
  });
}

void AddSDLEventClient(const std::shared_ptr<TSDLEventClient>& client) {
  TClientList& l = clientList();
  std::lock_guard g(l.lock);
  l.clients.push_back(client);
}

void RemoveSDLEventClient(const TSDLEventClient* client) {
  TClientList& l = clientList();
  std::lock_guard g(l.lock);
  std::erase_if(l.clients, [client](const std::weak_ptr<TSDLEventClient>& w) {
    const auto c = w.lock();
    return !c || c.get() == client;
  });
}

void DispatchSDLEvent(const SDL_Event& e) {
  std::vector<std::shared_ptr<TSDLEventClient>> targets;
  {
    TClientList& l = clientList();
    std::lock_guard g(l.lock);
    for (const auto& w : l.clients)
      if (auto c = w.lock(); c && c->Wants(e)) targets.push_back(std::move(c));
  }
  for (const auto& c : targets) c->Deliver(e);
}

void StartSDLEventThread() {
  // Without SDL's event queue a read fails, which would count as a quit.
  if (sdl::SDL_WasInit && sdl::SDL_WasInit(SDL_INIT_EVENTS)) eventThread().Start();
}
void StopSDLEventThread() { eventThread().Stop(); }
bool SDLEventThreadRunning() { return eventThread().Running(); }

std::unique_lock<std::recursive_mutex> LockSDLVideo() {
  static std::recursive_mutex lock;
  return std::unique_lock(lock);
}

}  // namespace corvane
