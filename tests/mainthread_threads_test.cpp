#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "foundation/MainThread.h"

using namespace corvane;
using namespace std::chrono_literals;

namespace {

class MainThreadCall : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatcher_ = std::make_shared<QueueDispatcher>();
    setDispatcher(dispatcher_);
    setMarshalling(true);
  }
  void TearDown() override { setDispatcher(nullptr); }
  std::shared_ptr<QueueDispatcher> dispatcher_;
};

TEST_F(MainThreadCall, RunsInlineOnMainThreadAndWithoutDispatcher) {
  int runs = 0;
  EXPECT_TRUE(callInMainThread([&] { ++runs; }));
  setDispatcher(nullptr);
  std::thread([&] { EXPECT_TRUE(callInMainThread([&] { ++runs; })); }).join();
  EXPECT_EQ(runs, 2);
}

TEST_F(MainThreadCall, WorkerCallRunsOnMainThreadAtNextPump) {
  const auto mainId = std::this_thread::get_id();
  std::atomic<bool> ran{false}, returned{false};
  std::thread::id ranOn;
  std::thread worker([&] {
    EXPECT_TRUE(callInMainThread([&] {
      ranOn = std::this_thread::get_id();
      ran = true;
    }));
    returned = true;
  });
  while (dispatcher_->pending() == 0) std::this_thread::sleep_for(1ms);
  EXPECT_FALSE(ran);
  EXPECT_TRUE(waitPumping([&] { return returned.load(); }, 5s, 1ms));
  worker.join();
  EXPECT_EQ(ranOn, mainId);
}

// While the main thread runs a worker's call, and calls nested in it, the
// worker is known as one blocked on this thread; nobody else is.
TEST_F(MainThreadCall, RunningCallKnowsItsWaitingWorkers) {
  std::atomic<bool> outer_done{false}, inner_done{false};
  std::thread::id outer_id, inner_id;
  bool outer_seen = false, both_seen = false, stranger_seen = true;
  std::thread outer([&] {
    outer_id = std::this_thread::get_id();
    callInMainThread([&] {
      outer_seen = runningCallFrom(outer_id);
      std::thread inner([&] {
        inner_id = std::this_thread::get_id();
        callInMainThread([&] {
          both_seen = runningCallFrom(outer_id) && runningCallFrom(inner_id);
          stranger_seen = runningCallFrom(std::thread::id());
        });
        inner_done = true;
      });
      waitPumping([&] { return inner_done.load(); }, 5s, 1ms);
      inner.join();
    });
    outer_done = true;
  });
  EXPECT_TRUE(waitPumping([&] { return outer_done.load(); }, 5s, 1ms));
  outer.join();
  EXPECT_TRUE(outer_seen);
  EXPECT_TRUE(both_seen);
  EXPECT_FALSE(stranger_seen);
  EXPECT_FALSE(runningCallFrom(outer_id)) << "the call is over";
}

TEST_F(MainThreadCall, SwitchOffRunsOnWorker) {
  setMarshalling(false);
  std::thread::id ranOn, workerId;
  std::thread worker([&] {
    workerId = std::this_thread::get_id();
    callInMainThread([&] { ranOn = std::this_thread::get_id(); });
  });
  worker.join();  // would never return if the call waited for a pump
  EXPECT_EQ(ranOn, workerId);
  EXPECT_EQ(dispatcher_->pending(), 0u);
}

TEST_F(MainThreadCall, CalleeExceptionReachesWorker) {
  std::atomic<bool> caught{false};
  std::thread worker([&] {
    try {
      callInMainThread([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error& e) {
      caught = std::string(e.what()) == "boom";
    }
  });
  EXPECT_TRUE(waitPumping([&] { return caught.load(); }, 5s, 1ms));
  worker.join();
}

TEST_F(MainThreadCall, ShutdownReleasesWaitingWorker) {
  std::atomic<int> result{-1};
  bool ran = false;
  std::thread worker([&] { result = callInMainThread([&] { ran = true; }) ? 1 : 0; });
  while (dispatcher_->pending() == 0) std::this_thread::sleep_for(1ms);
  requestShutdown();
  worker.join();
  EXPECT_EQ(result, 0);
  dispatcher_->pump();  // the abandoned call must not run any more
  EXPECT_FALSE(ran);
  EXPECT_TRUE(shutdownRequested());
  bool late = true;
  std::thread([&] { late = callInMainThread([] {}); }).join();
  EXPECT_FALSE(late);
  EXPECT_EQ(dispatcher_->pending(), 0u);
}

TEST_F(MainThreadCall, WaitPumpingTimesOut) {
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(waitPumping([] { return false; }, 30ms));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 30ms);
}

}  // namespace
