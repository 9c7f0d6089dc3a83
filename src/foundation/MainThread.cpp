#include "foundation/MainThread.h"

#include <atomic>
#include <exception>
#include <vector>

namespace corvane {
namespace {

const std::thread::id gProcessMainThread = std::this_thread::get_id();
std::atomic<bool> gMarshalling{true};
std::atomic<bool> gShutdown{false};
std::atomic<bool> gOpening{false};

std::mutex gDispatcherLock;
std::shared_ptr<MainThreadDispatcher> gDispatcher;

// Shared between a waiting worker and the main thread running its call.
struct PendingCall {
  enum State { Queued, Running, Done, Abandoned };
  std::mutex lock;
  std::condition_variable changed;
  State state = Queued;
  std::exception_ptr error;
};

// The workers whose calls this thread is running, innermost last.
thread_local std::vector<std::thread::id> tRunningCallers;

struct RunningCallScope {
  explicit RunningCallScope(std::thread::id caller) { tRunningCallers.push_back(caller); }
  ~RunningCallScope() { tRunningCallers.pop_back(); }
  RunningCallScope(const RunningCallScope&) = delete;
  RunningCallScope& operator=(const RunningCallScope&) = delete;
};

}  // namespace

void QueueDispatcher::post(std::function<void()> task) {
  {
    std::lock_guard g(FLock);
    FQueue.push_back(std::move(task));
  }
  FWake.notify_all();
}

void QueueDispatcher::pump() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard g(FLock);
      if (FQueue.empty()) return;
      task = std::move(FQueue.front());
      FQueue.pop_front();
    }
    task();
  }
}

void QueueDispatcher::waitForWork(std::chrono::milliseconds timeout) {
  std::unique_lock g(FLock);
  FWake.wait_for(g, timeout, [this] { return !FQueue.empty(); });
}

std::size_t QueueDispatcher::pending() const {
  std::lock_guard g(FLock);
  return FQueue.size();
}

void setDispatcher(std::shared_ptr<MainThreadDispatcher> d) {
  std::lock_guard g(gDispatcherLock);
  gDispatcher = std::move(d);
}

std::shared_ptr<MainThreadDispatcher> currentDispatcher() {
  std::lock_guard g(gDispatcherLock);
  return gDispatcher;
}

bool isMainThread() {
  auto d = currentDispatcher();
  return d ? d->isMainThread() : std::this_thread::get_id() == gProcessMainThread;
}

bool marshallingEnabled() { return gMarshalling; }
void setMarshalling(bool on) { gMarshalling = on; }
bool shutdownRequested() { return gShutdown; }
void requestShutdown() { gShutdown = true; }
bool openingInput() { return gOpening; }
void setOpeningInput(bool on) { gOpening = on; }

bool callInMainThread(const std::function<void()>& fn) {
  auto d = currentDispatcher();
  if (!d || !gMarshalling || d->isMainThread()) {
    fn();
    return true;
  }
  if (gShutdown) return false;

  auto call = std::make_shared<PendingCall>();
  d->post([call, &fn, caller = std::this_thread::get_id()] {
    {
      std::lock_guard g(call->lock);
      if (call->state == PendingCall::Abandoned) return;
      call->state = PendingCall::Running;
    }
    std::exception_ptr error;
    try {
      RunningCallScope scope(caller);
      fn();
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard g(call->lock);
      call->error = std::move(error);
      call->state = PendingCall::Done;
    }
    call->changed.notify_all();
  });

  std::unique_lock g(call->lock);
  for (;;) {
    if (call->changed.wait_for(g, std::chrono::milliseconds(10),
                               [&] { return call->state == PendingCall::Done; }))
      break;
    // A call that the main thread has not started is given up on shutdown;
    // one that is running is waited for, since it uses the caller's `fn`.
    if (gShutdown && call->state == PendingCall::Queued) {
      call->state = PendingCall::Abandoned;
      return false;
    }
  }
  // Take the exception out, so the worker holds its last reference.
  std::exception_ptr error = std::move(call->error);
  g.unlock();
  if (error) std::rethrow_exception(error);
  return true;
}

bool runningCallFrom(std::thread::id worker) {
  for (const std::thread::id& caller : tRunningCallers)
    if (caller == worker) return true;
  return false;
}

void processMessages() {
  auto d = currentDispatcher();
  if (d && d->isMainThread()) d->pump();
}

bool waitPumping(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                 std::chrono::milliseconds slice) {
  using clock = std::chrono::steady_clock;
  const bool forever = timeout == std::chrono::milliseconds::max();
  const auto deadline = forever ? clock::time_point::max() : clock::now() + timeout;
  for (;;) {
    auto d = currentDispatcher();
    const bool onMain = d && d->isMainThread();
    if (onMain) d->pump();
    if (done()) return true;
    if (!forever && clock::now() >= deadline) return false;
    if (onMain)
      d->waitForWork(slice);
    else
      std::this_thread::sleep_for(slice);
  }
}

}  // namespace corvane
