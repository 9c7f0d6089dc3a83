// The event slot: the thread a handler runs on, handlers that replace
// themselves, thrown exceptions and posted copies.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "foundation/EventSlot.h"
#include "foundation/MainThread.h"
#include "support/LogCapture.h"

using namespace corvane;
using namespace std::chrono_literals;

namespace {

class EventSlotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatcher_ = std::make_shared<QueueDispatcher>();
    setDispatcher(dispatcher_);
    setMarshalling(true);
  }
  void TearDown() override {
    FFLogger().SetOnLog(nullptr);
    setDispatcher(nullptr);
  }
  // Raises from a worker while the main thread pumps.
  template <class F>
  void fromWorker(F&& raise) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      raise();
      done = true;
    });
    waitPumping([&] { return done.load(); }, 5s, 1ms);
    worker.join();
  }
  std::shared_ptr<QueueDispatcher> dispatcher_;
};

TEST_F(EventSlotTest, HandlerRunsOnTheDeclaredThread) {
  struct Case {
    SlotThread thread;
    bool mainSwitch;
    bool onMain;
  };
  const std::thread::id mainId = std::this_thread::get_id();
  for (const Case c : {Case{SlotThread::Main, true, true}, Case{SlotThread::Main, false, false},
                       Case{SlotThread::Raiser, true, false}}) {
    std::atomic<bool> sw{c.mainSwitch};
    TEventSlot<void(int)> slot("OnTest", c.thread, nullptr, &sw);
    std::thread::id ranOn;
    int seen = 0;
    slot = [&](int v) {
      ranOn = std::this_thread::get_id();
      seen = v;
    };
    fromWorker([&] { EXPECT_TRUE(slot.Raise(7)); });
    EXPECT_EQ(seen, 7);
    EXPECT_EQ(ranOn == mainId, c.onMain);
  }
}

TEST_F(EventSlotTest, HandlerMayReplaceOrClearItself) {
  TEventSlot<void(std::string)> slot("OnTest", SlotThread::Raiser);
  std::string trace;
  slot = [&](std::string s) {
    slot = nullptr;  // destroys the slot's own copy while running
    trace += s;      // the captures are still alive
  };
  EXPECT_TRUE(slot.Raise("a"));
  EXPECT_FALSE(slot.Raise("b"));
  slot = [&](std::string s) {
    slot = [&](std::string t) { trace += "2" + t; };
    trace += "1" + s;
  };
  slot.Raise("c");
  slot.Raise("d");
  EXPECT_EQ(trace, "a1c2d");
}

TEST_F(EventSlotTest, ThrownExceptionsAreLoggedNotPropagated) {
  testlog::LogCapture log;
  FFLogger().SetOnLog(log.handler());
  TEventSlot<void(int)> slot("OnTest", SlotThread::Main);
  slot = [](int v) {
    if (v == 1) throw std::runtime_error("broken handler");
    throw 42;
  };
  fromWorker([&] {
    EXPECT_FALSE(slot.Raise(1));
    EXPECT_FALSE(slot.Raise(2));
  });
  ASSERT_TRUE(waitPumping([&] { return log.bodies().size() >= 2; }, 5s, 1ms));
  const auto lines = log.bodies();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("Error occurs OnTest: broken handler"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("Error occurs OnTest: unknown exception"), std::string::npos) << lines[1];
}

TEST_F(EventSlotTest, PostRunsCopiesOnTheMainThreadLater) {
  TEventSlot<void(int&, std::string)> slot("OnTest", SlotThread::Main);
  int got = 0;
  std::string text;
  slot = [&](int& v, std::string s) {
    got = v;
    text = s;
  };
  fromWorker([&] {
    int v = 5;
    EXPECT_TRUE(slot.Post(v, "posted"));
    v = 6;  // the handler sees the value at the time of posting
  });
  dispatcher_->pump();
  EXPECT_EQ(got, 5);
  EXPECT_EQ(text, "posted");
}

// A handler's result comes back with the outcome of the call, from the main
// thread too; ClearIf leaves a handler set meanwhile in place.
TEST_F(EventSlotTest, ResultsOutcomesAndClearIf) {
  TEventSlot<int(int)> slot("OnTest", SlotThread::Main);
  EXPECT_EQ(slot.Call(1).Outcome, SlotOutcome::NoHandler);
  slot = [](int v) {
    if (v < 0) throw std::runtime_error("negative");
    return v * 2;
  };
  fromWorker([&] {
    const auto r = slot.Call(21);
    EXPECT_TRUE(r.Ran());
    EXPECT_EQ(r.Value, 42);
    EXPECT_EQ(slot.Call(-1).Outcome, SlotOutcome::Threw);
  });
  const auto first = slot.Snapshot();
  slot = [](int v) { return v; };
  slot.ClearIf(first);  // stale: the newer handler stays
  EXPECT_TRUE(slot.Assigned());
  slot.ClearIf(slot.Snapshot());
  EXPECT_FALSE(slot.Assigned());
  EXPECT_FALSE(slot.Raise(1));
}

// Replacing the handler while other threads raise it: each raise runs one
// whole handler (checked under ThreadSanitizer).
TEST_F(EventSlotTest, ReplacedWhileRaisedElsewhere) {
  TEventSlot<void(int)> slot("OnTest", SlotThread::Raiser);
  std::atomic<int> sum{0};
  std::atomic<bool> stop{false};
  std::thread raiser([&] {
    while (!stop) slot.Raise(1);
  });
  for (int i = 0; i < 2000; ++i) {
    auto counter = std::make_shared<int>(i);
    slot = [&sum, counter](int v) { sum += v + *counter - *counter; };
    if (i % 3 == 0) slot = nullptr;
  }
  stop = true;
  raiser.join();
  EXPECT_GE(sum.load(), 0);
}

}  // namespace
