#include "QtDispatcher.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <exception>

namespace corvane::app {

QtDispatcher::QtDispatcher() : FMainThread(std::this_thread::get_id()) {}

void QtDispatcher::post(std::function<void()> task) {
  bool wake = false;
  {
    std::lock_guard g(FLock);
    FQueue.push_back(std::move(task));
    wake = !FWakePosted;
    FWakePosted = true;
  }
  FWake.notify_all();
  if (!wake) return;
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) {
    std::lock_guard g(FLock);
    FWakePosted = false;  // no event loop: only waitPumping drains the queue
    return;
  }
  // Queued, never blocking: the caller does its own waiting.
  QMetaObject::invokeMethod(
      app,
      [self = weak_from_this()] {
        if (auto d = self.lock()) d->wakeRun();
      },
      Qt::QueuedConnection);
}

void QtDispatcher::wakeRun() {
  {
    std::lock_guard g(FLock);
    FWakePosted = false;  // tasks posted from here on send a new wake-up
  }
  try {
    pump();
  } catch (const std::exception& e) {
    qWarning("main-thread task: %s", e.what());
  } catch (...) {
    qWarning("main-thread task: unknown exception");
  }
}

void QtDispatcher::pump() {
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

void QtDispatcher::waitForWork(std::chrono::milliseconds timeout) {
  std::unique_lock g(FLock);
  FWake.wait_for(g, timeout, [this] { return !FQueue.empty(); });
}

}  // namespace corvane::app
