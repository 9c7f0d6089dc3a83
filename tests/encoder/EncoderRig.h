// Shared by the encoder's tests: a component over generated sources, a
// main-thread queue the test pumps, a record of the events in order.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "encoder/CustomEncoder.h"
#include "foundation/MainThread.h"
#include "support/TranscoderRig.h"

namespace corvane::testrig {

// Ends the process when a test hangs past its deadline.
class EncoderWatchdog {
 public:
  explicit EncoderWatchdog(std::chrono::seconds limit)
      : thread_([this, limit] {
          std::unique_lock lk(lock_);
          if (!cv_.wait_for(lk, limit, [this] { return done_; })) {
            std::fprintf(stderr, "encoder test hung\n");
            std::abort();
          }
        }) {}
  ~EncoderWatchdog() {
    {
      std::lock_guard lk(lock_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex lock_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// The events of a run, in the order they arrived (any thread).
struct EventLog {
  void add(const std::string& e) {
    std::lock_guard g(lock);
    events.push_back(e);
  }
  std::vector<std::string> snapshot() const {
    std::lock_guard g(lock);
    return events;
  }
  int count(const std::string& e) const {
    int n = 0;
    for (const auto& x : snapshot()) n += x == e;
    return n;
  }
  mutable std::mutex lock;
  std::vector<std::string> events;
};

class EncoderTest : public TranscoderTest {
 protected:
  void SetUp() override {
    TranscoderTest::SetUp();
    setDispatcher(queue_);
  }
  void TearDown() override {
    enc_.reset();
    queue_->pump();
    setDispatcher(nullptr);
    TranscoderTest::TearDown();
  }

  // A task over a generated picture source of the given length, to a null output.
  int addTask(double seconds, const std::string& outOptions = "", bool realtime = false) {
    const int i = enc_->AddTask("testsrc=size=64x48:rate=25:duration=" + std::to_string(seconds),
                                std::string(realtime ? "-re " : "") + "-f lavfi");
    if (i < 0) return i;
    return enc_->SetOutput(i, path("out" + std::to_string(i) + ".null"), "-f null " + outOptions) <
                   0
               ? -1
               : i;
  }

  // Records starts and termination reports; final reports as "end".
  void recordEvents() {
    enc_->OnStart.Set([this](TObject*, int i) { log_events.add("start" + std::to_string(i)); });
    enc_->OnTerminate.Set([this](TObject*, const TTerminateInfo& t) {
      if (t.TaskIndex < 0) {
        log_events.add(t.Finished ? "end" : "end?");
        return;
      }
      log_events.add((t.Exception ? "fail" : "term") + std::to_string(t.TaskIndex));
      std::lock_guard g(log_events.lock);
      infos.push_back(t);
    });
  }

  // Pumps the main-thread queue until the condition holds.
  void pumpUntil(const std::function<bool()>& done) {
    while (!done()) {
      queue_->pump();
      queue_->waitForWork(std::chrono::milliseconds(5));
    }
    queue_->pump();
  }
  void pumpUntilEnd() {
    pumpUntil([this] { return log_events.count("end") > 0; });
  }

  std::shared_ptr<QueueDispatcher> queue_ = std::make_shared<QueueDispatcher>();
  std::unique_ptr<TDEDirerer> enc_ = std::make_unique<TDEDirerer>();
  EventLog log_events;
  std::vector<TTerminateInfo> infos;  // guarded by log_events.lock
};

}  // namespace corvane::testrig
