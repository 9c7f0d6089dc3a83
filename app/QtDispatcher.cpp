#include "QtDispatcher.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <exception>

namespace corvane::app {

void QtDispatcher::post(std::function<void()> task) {
  QueueDispatcher::post(std::move(task));
  if (FWakePosted.exchange(true)) return;
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) {
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
  FWakePosted = false;  // tasks posted from here on send a new wake-up
  try {
    pump();
  } catch (const std::exception& e) {
    qWarning("main-thread task: %s", e.what());
  } catch (...) {
    qWarning("main-thread task: unknown exception");
  }
}

}  // namespace corvane::app
