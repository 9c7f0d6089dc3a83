// A handler that the owner may swap while the task thread raises it: swapped
// under a small lock, raised from a snapshot outside it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace corvane {

template <class Sig>
class THookEvent;

template <class R, class... A>
class THookEvent<R(A...)> {
 public:
  using Handler = std::function<R(A...)>;

  // Any thread; an empty handler unassigns.
  void Set(Handler AHandler) {
    auto h = AHandler ? std::make_shared<const Handler>(std::move(AHandler)) : nullptr;
    std::lock_guard g(FLock);
    FAssigned = h != nullptr;
    FHandler = std::move(h);
  }
  void Clear() { Set(nullptr); }
  // Unassigns the handler only while it is still the given one.
  void ClearIf(const std::shared_ptr<const Handler>& AHandler) {
    std::lock_guard g(FLock);
    if (FHandler != AHandler) return;
    FHandler.reset();
    FAssigned = false;
  }
  bool Assigned() const { return FAssigned; }
  // The current handler (null when unassigned), to raise outside the lock.
  std::shared_ptr<const Handler> Snapshot() const {
    std::lock_guard g(FLock);
    return FHandler;
  }

 private:
  mutable std::mutex FLock;
  std::shared_ptr<const Handler> FHandler;
  std::atomic<bool> FAssigned{false};
};

}  // namespace corvane
