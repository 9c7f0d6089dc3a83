// Running calls on the application's main thread, toolkit-neutral.
//
// A dispatcher is installed by the host (the Qt window, a command-line tool,
// a test). Without one, every call runs on the calling thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace corvane {

class MainThreadDispatcher {
 public:
  virtual ~MainThreadDispatcher() = default;
  virtual bool isMainThread() const = 0;
  // Queues a task for the main thread and wakes it; callable from any thread.
  virtual void post(std::function<void()> task) = 0;
  // Runs every queued task, including tasks queued meanwhile; main thread only.
  virtual void pump() = 0;
  // Blocks the main thread until a task is queued or `timeout` passes.
  virtual void waitForWork(std::chrono::milliseconds timeout) {
    std::this_thread::sleep_for(timeout);
  }
};

// A plain queue: the main thread is the thread that created it.
class QueueDispatcher : public MainThreadDispatcher {
 public:
  QueueDispatcher() : FMainThread(std::this_thread::get_id()) {}
  bool isMainThread() const override { return std::this_thread::get_id() == FMainThread; }
  void post(std::function<void()> task) override;
  void pump() override;
  void waitForWork(std::chrono::milliseconds timeout) override;
  std::size_t pending() const;

 private:
  std::thread::id FMainThread;
  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::deque<std::function<void()>> FQueue;
};

void setDispatcher(std::shared_ptr<MainThreadDispatcher> d);
std::shared_ptr<MainThreadDispatcher> currentDispatcher();

// The main thread: the dispatcher's, else the thread that started the process.
bool isMainThread();

// Process-wide flags.
bool marshallingEnabled();
void setMarshalling(bool on);
bool shutdownRequested();
void requestShutdown();  // set once when the application terminates; never cleared
bool openingInput();
void setOpeningInput(bool on);

// Runs `fn` on the main thread and waits for it when marshalling is on, a
// dispatcher is installed and the caller is a worker; otherwise runs it at
// once. Rethrows what `fn` throws. Returns false, without running `fn`, when
// shutdown starts before the main thread got to it.
bool callInMainThread(const std::function<void()>& fn);

// Whether the calling thread is running (perhaps nested) a call that `worker`
// made through callInMainThread and is blocked on.
bool runningCallFrom(std::thread::id worker);

// Runs the main thread's pending calls (no-op on other threads).
void processMessages();

// Waits until `done()` holds, running the main thread's pending calls while
// waiting when on the main thread. False on time-out.
bool waitPumping(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds::max(),
                 std::chrono::milliseconds slice = std::chrono::milliseconds(10));

}  // namespace corvane
