// The main-thread call service of the Qt application: its own queue, drained
// by pump(); a queued invocation on the application object wakes the event
// loop to pump. The main thread is the thread that creates it.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "foundation/MainThread.h"

namespace corvane::app {

class QtDispatcher final : public MainThreadDispatcher,
                           public std::enable_shared_from_this<QtDispatcher> {
 public:
  QtDispatcher();
  bool isMainThread() const override { return std::this_thread::get_id() == FMainThread; }
  void post(std::function<void()> task) override;
  void pump() override;
  void waitForWork(std::chrono::milliseconds timeout) override;

 private:
  void wakeRun();

  const std::thread::id FMainThread;
  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<std::function<void()>> FQueue;
  bool FWakePosted = false;  // a wake-up is in the event loop's queue
};

}  // namespace corvane::app
