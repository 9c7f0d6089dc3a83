// An application event handler that the reading thread invokes from a
// snapshot: setting it takes a small lock, invoking it takes none.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace corvane {

class TObject;

// The capture adapters' notification events: OnReadHeader, OnReadClose.
using TCaptureNotifyEvent = std::function<void(TObject* Sender)>;

template <class F>
class THandlerSlot {
 public:
  void Set(F handler) {
    auto next = handler ? std::make_shared<const F>(std::move(handler)) : nullptr;
    std::lock_guard g(FLock);
    FHandler.swap(next);
  }
  // Null when no handler is set.
  std::shared_ptr<const F> Get() const {
    std::lock_guard g(FLock);
    return FHandler;
  }

 private:
  mutable std::mutex FLock;
  std::shared_ptr<const F> FHandler;
};

}  // namespace corvane
