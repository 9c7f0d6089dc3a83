// An event of a component: one handler, replaced under a small lock and
// invoked from a copy, so a handler may replace itself or call back into the
// component; what it throws is logged, never passed to the raising thread.
#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "foundation/Logger.h"
#include "foundation/MainThread.h"

namespace corvane {

// The thread a handler runs on.
enum class SlotThread {
  Main,    // the main thread through the dispatcher, unless the owner's switch is off
  Raiser,  // the thread that raises the event (hooks that change data in flight)
};

template <class Sig>
class TEventSlot;

template <class... A>
class TEventSlot<void(A...)> {
 public:
  using Handler = std::function<void(A...)>;

  // `mainSwitch`, for main-thread slots: delivery goes through the main
  // thread only while it is set (none: always).
  TEventSlot(const char* name, SlotThread thread, TObject* sender = nullptr,
             const std::atomic<bool>* mainSwitch = nullptr)
      : FName(name), FThread(thread), FSender(sender), FMainSwitch(mainSwitch) {}
  TEventSlot(const TEventSlot&) = delete;
  TEventSlot& operator=(const TEventSlot&) = delete;

  template <class F>
  requires std::is_constructible_v<Handler, F> TEventSlot& operator=(F&& f) {
    Set(Handler(std::forward<F>(f)));
    return *this;
  }
  TEventSlot& operator=(std::nullptr_t) {
    Set(nullptr);
    return *this;
  }
  void Set(Handler h) {
    auto next = h ? std::make_shared<const Handler>(std::move(h)) : nullptr;
    std::lock_guard g(FLock);
    FHandler.swap(next);
    // The previous handler is released outside the lock.
  }
  explicit operator bool() const { return Snapshot() != nullptr; }
  SlotThread Thread() const { return FThread; }
  const char* Name() const { return FName; }

  // Runs the handler on the declared thread and waits for it. False when no
  // handler is set, it threw, or the main thread shut down before running it.
  bool Raise(A... args) const {
    std::shared_ptr<const Handler> h = Snapshot();
    if (!h) return false;
    bool ok = false;
    const auto run = [&] { ok = invoke(FName, FSender, *h, args...); };
    if (FThread == SlotThread::Main && (!FMainSwitch || FMainSwitch->load()))
      callInMainThread(run);
    else
      run();
    return ok;
  }
  // Same as Raise, through the main thread without waiting: the arguments are
  // copied. Without a dispatcher it runs at once.
  bool Post(A... args) const {
    std::shared_ptr<const Handler> h = Snapshot();
    if (!h) return false;
    auto d = currentDispatcher();
    if (!d || FThread != SlotThread::Main || (FMainSwitch && !FMainSwitch->load())) {
      invoke(FName, FSender, *h, args...);
      return true;
    }
    // The task may run after the slot is gone: it keeps what it needs.
    d->post([name = FName, sender = FSender, h, ... copies = std::decay_t<A>(args)]() mutable {
      invoke(name, sender, *h, copies...);
    });
    return true;
  }

 private:
  std::shared_ptr<const Handler> Snapshot() const {
    std::lock_guard g(FLock);
    return FHandler;
  }
  // False when the handler threw.
  template <class... B>
  static bool invoke(const char* name, TObject* sender, const Handler& h, B&&... args) {
    try {
      h(std::forward<B>(args)...);
      return true;
    } catch (const std::exception& e) {
      FFLogger().Log(sender, llError, std::string("Error occurs ") + name + ": " + e.what());
    } catch (...) {
      FFLogger().Log(sender, llError, std::string("Error occurs ") + name + ": unknown exception");
    }
    return false;
  }

  const char* FName;
  SlotThread FThread;
  TObject* FSender;
  const std::atomic<bool>* FMainSwitch;
  mutable std::mutex FLock;
  std::shared_ptr<const Handler> FHandler;
};

}  // namespace corvane
