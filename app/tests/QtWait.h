// Waiting in tests while Qt's event loop runs.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

// Processes events until done() holds; false after ms milliseconds.
inline bool waitUntil(const std::function<bool()>& done, int ms = 5000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}
