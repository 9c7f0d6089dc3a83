// Which task starts next, and when a run is over: every counter of a run
// changes under one lock, so a task is never started twice or skipped, and a
// run always ends (empty lists, released slots, a stop with tasks pending).
#pragma once

#include <functional>
#include <mutex>

namespace corvane {

class TTaskScheduler {
 public:
  // Any thread.
  void Begin(int ACount);
  // Reserves the next pending slot for which APresent is true and counts it
  // running; released slots on the way count as complete. -1: none left.
  int Reserve(const std::function<bool(int)>& APresent);
  // A reserved task ended. True for the one call that ends the run.
  bool Ended();
  // Nothing more starts. True when that ends the run now.
  bool CancelPending();
  // True, once, when nothing is pending or running (a run with nothing to start).
  bool FinishIfIdle();
  void Reset();

  int CompleteTasks() const;
  int CurrentTask() const;
  int PendingTasks() const;
  bool Done() const;

 private:
  bool FinishLocked();

  mutable std::mutex FLock;
  int FCompleteTasks = 0;
  int FCurrentTask = -1;
  int FPendingTasks = 0;
  int FRunning = 0;
  bool FActive = false;
  bool FDone = false;
};

}  // namespace corvane
