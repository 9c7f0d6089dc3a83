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

// How a call of a handler went.
enum class SlotOutcome {
  NoHandler,
  Ran,
  Threw,   // logged
  NotRun,  // the main thread shut down before it got to the call
};

// A call's outcome and, when it ran, the handler's result.
template <class R>
struct TSlotResult {
  SlotOutcome Outcome = SlotOutcome::NoHandler;
  std::conditional_t<std::is_void_v<R>, bool, R> Value{};
  bool Ran() const { return Outcome == SlotOutcome::Ran; }
};

template <class Sig>
class TEventSlot;

template <class R, class... A>
class TEventSlot<R(A...)> {
 public:
  using Handler = std::function<R(A...)>;
  using HandlerRef = std::shared_ptr<const Handler>;

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
  // Any thread; an empty handler unassigns.
  void Set(Handler h) {
    auto next = h ? std::make_shared<const Handler>(std::move(h)) : nullptr;
    std::lock_guard g(FLock);
    FAssigned = next != nullptr;
    FHandler.swap(next);
    // The previous handler is released outside the lock.
  }
  void Clear() { Set(nullptr); }
  // Unassigns the handler only while it is still the given snapshot.
  void ClearIf(const HandlerRef& h) {
    HandlerRef gone;
    std::lock_guard g(FLock);
    if (FHandler != h) return;
    gone.swap(FHandler);
    FAssigned = false;
  }
  // Without a lock: an unassigned event costs its raiser nothing.
  bool Assigned() const { return FAssigned; }
  explicit operator bool() const { return Assigned(); }
  // The current handler (null when unassigned), to invoke outside the lock.
  HandlerRef Snapshot() const {
    std::lock_guard g(FLock);
    return FHandler;
  }
  SlotThread Thread() const { return FThread; }
  const char* Name() const { return FName; }

  // Whether a delivery now goes through the main thread and waits there.
  bool Marshals() const {
    return FThread == SlotThread::Main && (!FMainSwitch || FMainSwitch->load()) &&
           marshallingEnabled() && currentDispatcher() && !corvane::isMainThread();
  }
  // Runs `body` on the declared thread and waits for it; false when the main
  // thread shut down first. For raisers that hold something around the call.
  template <class F>
  bool Deliver(F&& body) const {
    if (FThread == SlotThread::Main && (!FMainSwitch || FMainSwitch->load()))
      return callInMainThread(std::function<void()>(std::forward<F>(body)));
    body();
    return true;
  }

  // Runs the handler on the declared thread and waits for it. False when no
  // handler is set, it threw, or the main thread shut down before running it.
  bool Raise(A... args) const { return Call(args...).Ran(); }
  // Raise with the handler's result.
  TSlotResult<R> Call(A... args) const {
    const HandlerRef h = Snapshot();
    if (!h) return {};
    TSlotResult<R> r;
    r.Outcome = SlotOutcome::NotRun;
    Deliver([&] { r = Invoke(*h, args...); });
    return r;
  }
  // Runs a snapshot on the calling thread: the caller chose the thread.
  TSlotResult<R> Invoke(const Handler& h, A... args) const {
    TSlotResult<R> r;
    try {
      if constexpr (std::is_void_v<R>)
        h(std::forward<A>(args)...);
      else
        r.Value = h(std::forward<A>(args)...);
      r.Outcome = SlotOutcome::Ran;
    } catch (const std::exception& e) {
      LogFailure(FName, FSender, e.what());
      r.Outcome = SlotOutcome::Threw;
    } catch (...) {
      LogFailure(FName, FSender, "unknown exception");
      r.Outcome = SlotOutcome::Threw;
    }
    return r;
  }
  // Same as Raise, through the main thread without waiting: the arguments are
  // copied and a result is dropped. Without a dispatcher it runs at once.
  bool Post(A... args) const {
    HandlerRef h = Snapshot();
    if (!h) return false;
    auto d = currentDispatcher();
    if (!d || FThread != SlotThread::Main || (FMainSwitch && !FMainSwitch->load())) {
      run(FName, FSender, *h, args...);
      return true;
    }
    // The task may run after the slot and its owner are gone: it keeps what
    // it needs, and a failure is logged without the owner.
    d->post([name = FName, h, ... copies = std::decay_t<A>(args)]() mutable {
      run(name, nullptr, *h, copies...);
    });
    return true;
  }

 private:
  static void LogFailure(const char* name, TObject* sender, const char* what) {
    FFLogger().Log(sender, llError, std::string("Error occurs ") + name + ": " + what);
  }
  template <class... B>
  static void run(const char* name, TObject* sender, const Handler& h, B&&... args) {
    try {
      h(std::forward<B>(args)...);
    } catch (const std::exception& e) {
      LogFailure(name, sender, e.what());
    } catch (...) {
      LogFailure(name, sender, "unknown exception");
    }
  }

  const char* FName;
  SlotThread FThread;
  TObject* FSender;
  const std::atomic<bool>* FMainSwitch;
  mutable std::mutex FLock;
  HandlerRef FHandler;
  std::atomic<bool> FAssigned{false};
};

}  // namespace corvane
