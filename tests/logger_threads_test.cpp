#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "foundation/Logger.h"
#include "foundation/MainThread.h"
#include "support/LogCapture.h"

using namespace corvane;
using namespace std::chrono_literals;
using corvane::testlog::avlog;

namespace {

constexpr int kInfo = 32;

// Aborts the process when a test hangs past its deadline.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit)
      : FThread([this, limit] {
          std::unique_lock g(FLock);
          if (!FWake.wait_for(g, limit, [this] { return FDone; })) {
            std::fprintf(stderr, "watchdog: deadlock or hang\n");
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard g(FLock);
      FDone = true;
    }
    FWake.notify_all();
    FThread.join();
  }

 private:
  std::mutex FLock;
  std::condition_variable FWake;
  bool FDone = false;
  std::thread FThread;
};

// Queued delivery with the handler on the delivery thread.
class LoggerThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    logger_ = std::make_unique<TFFLogger>();
    logger_->SetSynchronous(false);
    logger_->SetTriggerEventInMainThread(false);
    logger_->SetLogLevel(llInfo);
    logger_->SetLogFlags(3);
    logger_->SetOnLog(capture_.handler());
    // Lines still queued by an earlier test in this process come first.
    static int setups = 0;
    const std::string mark = strprintf("setup %d", ++setups);
    logger_->Log(nullptr, llInfo, mark);
    while (capture_.waitFor(1) && testlog::body(capture_.entries().back().line) != "[Info] " + mark)
      std::this_thread::sleep_for(1ms);
    capture_.clear();
  }
  void TearDown() override {
    logger_.reset();
    setDispatcher(nullptr);
  }

  testlog::LogCapture capture_;
  std::unique_ptr<TFFLogger> logger_;
};

TEST_F(LoggerThreads, EachThreadKeepsItsOwnPendingText) {
  constexpr int kThreads = 4;
  std::barrier sync(kThreads);
  std::vector<std::uint32_t> ids(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ids[i] = logger_internal::currentThreadId();
      const char name = static_cast<char>('A' + i);
      avlog(nullptr, kInfo, "%c1-", name);
      sync.arrive_and_wait();  // every thread has text pending
      avlog(nullptr, kInfo, "%c2\n", name);
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(capture_.waitFor(kThreads));
  for (const testlog::Entry& e : capture_.entries()) {
    const auto it = std::find(ids.begin(), ids.end(), e.threadId);
    ASSERT_NE(it, ids.end());
    const char name = static_cast<char>('A' + (it - ids.begin()));
    EXPECT_EQ(testlog::body(e.line), strprintf("[Info] %c1-%c2", name, name));
  }
}

TEST_F(LoggerThreads, MainThreadIsMarked) {
  logger_->Log(nullptr, llInfo, "main");
  std::thread([&] {
    logger_->Log(nullptr, llInfo, "worker");
    avlog(nullptr, kInfo, "worker library\n");
  }).join();
  ASSERT_TRUE(capture_.waitFor(3));
  // "hh:nn:ss.zzz [xxxxxxxx]* [Info] text", the star only for the main thread.
  std::map<std::string, std::string> marks;
  for (const auto& entry : capture_.entries()) {
    int h = -1, m = -1, sec = -1, ms = -1;
    EXPECT_EQ(std::sscanf(entry.line.c_str(), "%2d:%2d:%2d.%3d", &h, &m, &sec, &ms), 4);
    EXPECT_TRUE(h < 24 && m < 60 && sec < 61 && ms < 1000) << entry.line;
    ASSERT_EQ(entry.line.substr(12, 11), strprintf(" [%.8x]", entry.threadId));
    marks[testlog::body(entry.line)] = entry.line.substr(23, 2);
  }
  EXPECT_EQ(marks["[Info] main"], "* ");
  EXPECT_EQ(marks["[Info] worker"], " [");
  EXPECT_EQ(marks["[Info] worker library"], " [");
}

TEST_F(LoggerThreads, FullQueueDropsTheOldestWithoutBlockingTheLogger) {
  std::mutex lock;
  std::condition_variable cv;
  bool entered = false, release = false;
  std::vector<std::string> got;
  logger_->SetOnLog([&](TObject*, std::uint32_t, TLogLevel, const std::string& line) {
    std::unique_lock g(lock);
    got.push_back(testlog::body(line));
    if (!entered) {
      entered = true;
      cv.notify_all();
      cv.wait(g, [&] { return release; });
    }
    cv.notify_all();
  });
  const auto unblock = [&] {
    {
      std::lock_guard g(lock);
      release = true;
    }
    cv.notify_all();
  };
  struct Unblock {
    std::function<void()> fn;
    ~Unblock() { fn(); }
  } unblockOnExit{unblock};
  Watchdog dog(30s);
  logger_->Log(nullptr, llInfo, "m0");
  {
    std::unique_lock g(lock);
    ASSERT_TRUE(cv.wait_for(g, 10s, [&] { return entered; }));
  }
  for (int i = 1; i <= 200; ++i) logger_->Log(nullptr, llInfo, "m%d", i);  // must not wait
  unblock();
  // The ring holds 127 items: m74 .. m200 survive.
  std::vector<std::string> expected = {"[Info] m0"};
  for (int i = 74; i <= 200; ++i) expected.push_back(strprintf("[Info] m%d", i));
  {
    std::unique_lock g(lock);
    ASSERT_TRUE(cv.wait_for(g, 10s, [&] { return got.size() >= expected.size(); }));
  }
  logger_->Log(nullptr, llInfo, "end");  // the ring is empty now: nothing more may come first
  expected.push_back("[Info] end");
  std::unique_lock g(lock);
  ASSERT_TRUE(cv.wait_for(
      g, 10s, [&] { return got.size() >= expected.size() && got.back() == "[Info] end"; }));
  EXPECT_EQ(got, expected);
}

TEST_F(LoggerThreads, SynchronousMainThreadDeliveryDoesNotDeadlock) {
  auto dispatcher = std::make_shared<QueueDispatcher>();
  setDispatcher(dispatcher);
  setMarshalling(true);
  logger_->SetSynchronous(true);
  logger_->SetTriggerEventInMainThread(true);
  constexpr int kLines = 200;
  Watchdog dog(60s);
  std::atomic<bool> workerDone{false};
  std::thread worker([&] {
    for (int i = 0; i < kLines; ++i) {
      logger_->Log(nullptr, llInfo, "worker %d", i);
      avlog(nullptr, kInfo, "worker library %d\n", i);
    }
    workerDone = true;
  });
  for (int i = 0; i < kLines; ++i) {
    logger_->Log(nullptr, llInfo, "main %d", i);
    avlog(nullptr, kInfo, "main library %d\n", i);
    processMessages();
  }
  EXPECT_TRUE(waitPumping([&] { return workerDone.load(); }, 30s, 1ms));
  worker.join();
  ASSERT_TRUE(capture_.waitFor(4 * kLines, 1s));
  const auto mainId = std::this_thread::get_id();
  for (const auto& e : capture_.entries()) ASSERT_EQ(e.ranOn, mainId) << e.line;
}

TEST_F(LoggerThreads, DestructionWaitsForARunningHandler) {
  std::atomic<bool> entered{false}, finished{false};
  logger_->SetOnLog([&](TObject*, std::uint32_t, TLogLevel, const std::string&) {
    entered = true;
    std::this_thread::sleep_for(50ms);
    finished = true;
  });
  logger_->Log(nullptr, llInfo, "slow");
  while (!entered) std::this_thread::sleep_for(1ms);
  logger_.reset();
  EXPECT_TRUE(finished);
}

}  // namespace
