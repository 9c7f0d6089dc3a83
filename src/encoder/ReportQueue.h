// Raises reports one after another, in the order they were posted, on one
// worker thread owned by the queue.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace corvane {

class TReportQueue {
 public:
  TReportQueue() = default;
  TReportQueue(const TReportQueue&) = delete;
  TReportQueue& operator=(const TReportQueue&) = delete;
  // Drains: every posted report runs before the worker is joined.
  ~TReportQueue();

  // Any thread. A report that throws is logged; the next one still runs.
  void Post(std::function<void()> AReport);
  // Waits until every posted report ran, pumping main-thread calls when
  // called on the main thread. Not from a report itself.
  void Drain();
  // Whether the calling thread is the worker, or the main thread running a
  // call the worker waits for.
  bool InReport() const;

 private:
  void Run();
  bool IdleLocked() const { return FQueue.empty() && !FBusy; }

  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::deque<std::function<void()>> FQueue;
  bool FBusy = false;
  bool FQuit = false;
  std::thread FWorker;  // started by the first report
};

}  // namespace corvane
