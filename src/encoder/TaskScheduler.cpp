#include "encoder/TaskScheduler.h"

namespace corvane {

void TTaskScheduler::Begin(int ACount) {
  std::lock_guard g(FLock);
  FCompleteTasks = 0;
  FCurrentTask = 0;
  FPendingTasks = ACount;
  FRunning = 0;
  FActive = true;
  FDone = false;
}

int TTaskScheduler::Reserve(const std::function<bool(int)>& APresent) {
  std::lock_guard g(FLock);
  while (FActive && FPendingTasks > 0) {
    --FPendingTasks;
    const int index = FCurrentTask++;
    if (!APresent(index)) {
      ++FCompleteTasks;  // a released slot has nothing to run
      continue;
    }
    ++FRunning;
    return index;
  }
  return -1;
}

bool TTaskScheduler::Ended() {
  std::lock_guard g(FLock);
  if (FRunning > 0) --FRunning;
  ++FCompleteTasks;
  return FinishLocked();
}

bool TTaskScheduler::CancelPending() {
  std::lock_guard g(FLock);
  FPendingTasks = 0;
  return FinishLocked();
}

bool TTaskScheduler::FinishIfIdle() {
  std::lock_guard g(FLock);
  return FinishLocked();
}

bool TTaskScheduler::FinishLocked() {
  if (!FActive || FDone || FPendingTasks > 0 || FRunning > 0) return false;
  FDone = true;
  return true;
}

void TTaskScheduler::Reset() {
  std::lock_guard g(FLock);
  FCompleteTasks = 0;
  FCurrentTask = -1;
  FPendingTasks = 0;
  FRunning = 0;
  FActive = false;
  FDone = false;
}

int TTaskScheduler::CompleteTasks() const {
  std::lock_guard g(FLock);
  return FCompleteTasks;
}

int TTaskScheduler::CurrentTask() const {
  std::lock_guard g(FLock);
  return FCurrentTask;
}

int TTaskScheduler::PendingTasks() const {
  std::lock_guard g(FLock);
  return FPendingTasks;
}

bool TTaskScheduler::Done() const {
  std::lock_guard g(FLock);
  return FDone;
}

}  // namespace corvane
