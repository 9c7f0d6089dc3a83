#include "encoder/ReportQueue.h"

#include <exception>

#include "foundation/Logger.h"
#include "foundation/MainThread.h"

namespace corvane {

TReportQueue::~TReportQueue() {
  Drain();
  {
    std::lock_guard g(FLock);
    FQuit = true;
  }
  FWake.notify_all();
  if (FWorker.joinable()) FWorker.join();
}

void TReportQueue::Post(std::function<void()> AReport) {
  {
    std::lock_guard g(FLock);
    FQueue.push_back(std::move(AReport));
    if (!FWorker.joinable()) FWorker = std::thread([this] { Run(); });
  }
  FWake.notify_all();
}

void TReportQueue::Drain() {
  if (InReport()) return;  // a report cannot wait for itself
  if (isMainThread()) {
    waitPumping([this] {
      std::lock_guard g(FLock);
      return IdleLocked();
    });
    return;
  }
  std::unique_lock lk(FLock);
  FWake.wait(lk, [this] { return IdleLocked(); });
}

bool TReportQueue::InReport() const {
  std::thread::id worker;
  {
    std::lock_guard g(FLock);
    if (!FWorker.joinable()) return false;
    worker = FWorker.get_id();
  }
  return worker == std::this_thread::get_id() || runningCallFrom(worker);
}

void TReportQueue::Run() {
  std::unique_lock lk(FLock);
  for (;;) {
    FWake.wait(lk, [this] { return FQuit || !FQueue.empty(); });
    if (FQueue.empty()) return;
    auto report = std::move(FQueue.front());
    FQueue.pop_front();
    FBusy = true;
    lk.unlock();
    try {
      report();
    } catch (const std::exception& ex) {
      FFLogger().Log(nullptr, llError, ex.what());
    } catch (...) {
      FFLogger().Log(nullptr, llError, "Unknown exception in a report");
    }
    lk.lock();
    FBusy = false;
    FWake.notify_all();
  }
}

}  // namespace corvane
