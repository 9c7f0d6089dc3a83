// The main-thread call service of the Qt application: the plain queue, and a
// queued invocation on the application object that wakes the event loop to
// pump it. The main thread is the thread that creates it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "foundation/MainThread.h"

namespace corvane::app {

class QtDispatcher final : public QueueDispatcher,
                           public std::enable_shared_from_this<QtDispatcher> {
 public:
  void post(std::function<void()> task) override;

 private:
  void wakeRun();

  std::atomic<bool> FWakePosted{false};  // a wake-up is in the event loop's queue
};

}  // namespace corvane::app
