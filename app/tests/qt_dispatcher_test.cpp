#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "QtDispatcher.h"
#include "foundation/MainThread.h"

using namespace corvane;
using namespace corvane::app;
using namespace std::chrono_literals;

namespace {

class QtDispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatcher_ = std::make_shared<QtDispatcher>();
    setDispatcher(dispatcher_);
    setMarshalling(true);
  }
  void TearDown() override { setDispatcher(nullptr); }

  std::shared_ptr<QtDispatcher> dispatcher_;
  const std::thread::id mainId_ = std::this_thread::get_id();
};

}  // namespace

// Only the Qt event loop runs here: every call is woken by the queued
// invocation, including calls posted while an earlier wake-up is pending and
// a call that itself waits, pumping, for another worker's call.
TEST_F(QtDispatcherTest, EventLoopRunsWorkerCallsOnGuiThread) {
  constexpr int kWorkers = 3, kCalls = 100;
  std::mutex lock;
  std::set<std::thread::id> ranOn;
  std::atomic<int> calls{0}, finished{0};
  std::atomic<bool> innerDone{false}, nestedOk{false};
  QEventLoop loop;

  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w)
    workers.emplace_back([&] {
      for (int i = 0; i < kCalls; ++i)
        EXPECT_TRUE(callInMainThread([&] {
          std::lock_guard g(lock);
          ranOn.insert(std::this_thread::get_id());
          ++calls;
        }));
      if (++finished == kWorkers + 1) QMetaObject::invokeMethod(&loop, &QEventLoop::quit);
    });
  // A handler on the main thread waiting for another worker's call, as a
  // player's Stop(true) inside an event handler does.
  workers.emplace_back([&] {
    callInMainThread([&] {
      std::thread inner([&] {
        std::this_thread::sleep_for(20ms);
        callInMainThread([&] { innerDone = std::this_thread::get_id() == mainId_; });
      });
      nestedOk = waitPumping([&] { return innerDone.load(); }, 5s);
      inner.join();
    });
    if (++finished == kWorkers + 1) QMetaObject::invokeMethod(&loop, &QEventLoop::quit);
  });

  QTimer::singleShot(10s, &loop, &QEventLoop::quit);
  if (finished < kWorkers + 1) loop.exec();
  const bool allFinished = finished == kWorkers + 1;
  if (!allFinished) requestShutdown();  // lets blocked workers return
  for (auto& t : workers) t.join();
  ASSERT_TRUE(allFinished);
  EXPECT_EQ(calls, kWorkers * kCalls);
  EXPECT_EQ(ranOn, std::set<std::thread::id>{mainId_});
  EXPECT_TRUE(nestedOk);
}

// The main thread waits in waitPumping without running the event loop:
// workers blocked in callInMainThread are served, and the wake-ups left in
// Qt's queue later find nothing to run.
TEST_F(QtDispatcherTest, WaitPumpingServesWorkersWithoutEventLoop) {
  constexpr int kWorkers = 4;
  std::atomic<int> onMain{0}, returned{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w)
    workers.emplace_back([&] {
      callInMainThread([&] {
        if (std::this_thread::get_id() == mainId_) ++onMain;
      });
      ++returned;
    });
  const bool served = waitPumping([&] { return returned == kWorkers; }, 10s);
  if (!served) requestShutdown();
  for (auto& t : workers) t.join();
  ASSERT_TRUE(served);
  EXPECT_EQ(onMain, kWorkers);
  QCoreApplication::processEvents();
  EXPECT_EQ(onMain, kWorkers);
}

// A wake-up that reaches the event loop after the dispatcher is gone does nothing.
TEST_F(QtDispatcherTest, WakeUpAfterDispatcherIsGone) {
  bool ran = false;
  dispatcher_->post([&] { ran = true; });
  setDispatcher(nullptr);
  dispatcher_.reset();
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
}
