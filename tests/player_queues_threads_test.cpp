// Queues and clocks shared between the read, decoder and consumer threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <thread>

#include "foundation/AVHandles.h"
#include "foundation/FFLoader.h"
#include "player/Clock.h"
#include "player/FrameQueue.h"
#include "player/PacketQueue.h"

using namespace corvane;
using namespace std::chrono_literals;

namespace {

class PlayerQueuesThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FFLoader().Load(kPlayerLibraries)) << FFLoader().LastErrMsg();
  }
};

enum class Wait { Get, PeekReadable, PeekWritable };

// Each call blocks on a started queue: empty packet queue, empty frame
// queue, full frame queue. Abort (and, for the frame queue, Signal) wakes it.
TEST_F(PlayerQueuesThreads, AbortWakesEveryBlockedWait) {
  for (const Wait w : {Wait::Get, Wait::PeekReadable, Wait::PeekWritable}) {
    TPacketQueue q;
    q.Start();
    TFrameQueue f;
    ASSERT_EQ(f.Init(&q, 3, true), 0);
    if (w == Wait::PeekWritable)
      for (int i = 0; i < 3; ++i) {
        ASSERT_NE(f.PeekWritable(), nullptr);
        f.Push();
      }
    std::atomic<bool> entered{false};
    auto result = std::async(std::launch::async, [&]() -> int {
      entered = true;
      switch (w) {
        case Wait::Get: {
          PacketPtr p = makePacket();
          return q.Get(p.get(), true, nullptr);
        }
        case Wait::PeekReadable:
          return f.PeekReadable() == nullptr ? -1 : 1;
        case Wait::PeekWritable:
          return f.PeekWritable() == nullptr ? -1 : 1;
      }
      return 0;
    });
    while (!entered) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(result.wait_for(50ms), std::future_status::timeout) << "did not block";
    q.Abort();
    f.Signal();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready) << static_cast<int>(w);
    EXPECT_EQ(result.get(), -1);
  }
}

// Read thread -> packet queue -> decoder thread -> frame queue -> consumer, as
// in playback: every packet arrives, in order, once.
TEST_F(PlayerQueuesThreads, TenThousandFramesInOrder) {
  constexpr int kFrames = 10000;
  TPacketQueue q;
  q.Start();
  TFrameQueue f;
  ASSERT_EQ(f.Init(&q, 3, true), 0);

  std::thread reader([&] {
    for (int i = 0; i < kFrames; ++i) {
      PacketPtr p = makePacket();
      ff::av_new_packet(p.get(), 1 + i % 64);
      p->pts = i;
      if (q.Put(p.get()) < 0) return;
    }
  });
  std::thread decoder([&] {
    PacketPtr p = makePacket();
    int serial = 0;
    for (int i = 0; i < kFrames; ++i) {
      if (q.Get(p.get(), true, &serial) <= 0) return;
      TFFFrame* vp = f.PeekWritable();
      if (!vp) return;
      vp->pts = static_cast<double>(p->pts);
      vp->pos = p->size;
      vp->serial = serial;
      ff::av_packet_unref(p.get());
      f.Push();
    }
  });
  auto consumer = std::async(std::launch::async, [&] {
    int next = 0;
    while (next < kFrames) {
      TFFFrame* vp = f.PeekReadable();
      if (!vp) break;
      if (vp->pts != next || vp->pos != 1 + next % 64 || vp->serial != q.serial) break;
      ++next;
      f.Next();
    }
    return next;
  });
  const bool finished = consumer.wait_for(60s) == std::future_status::ready;
  if (!finished) {
    q.Abort();
    f.Signal();
  }
  reader.join();
  decoder.join();
  ASSERT_TRUE(finished) << "watchdog";
  EXPECT_EQ(consumer.get(), kFrames);
  EXPECT_EQ(q.nb_packets, 0);
  EXPECT_EQ(f.Remaining(), 0);
}

// The audio callback sets its clock while the refresh loop reads it and
// syncs another clock to it: every read sees fields that were set together.
TEST_F(PlayerQueuesThreads, ClockReadsAreConsistent) {
  const auto at10 = [] { return 10.0; };
  TClock c(at10), ext(at10);
  c.Init(nullptr);
  ext.Init(nullptr);
  c.SetSpeed(0.5);
  // Two settings and what each reads at time 10 and half speed; mixing the
  // fields of both would read 20 or 35.
  struct Setting {
    double pts, time, reads;
  };
  constexpr Setting kA{10, 0, 15}, kB{40, 10, 40};
  c.SetAt(kA.pts, 0, kA.time);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) {
      const Setting& s = i % 2 ? kB : kA;
      c.SetAt(s.pts, i, s.time);
    }
    stop = true;
  });
  std::thread follower([&] {
    do ext.SyncToSlave(c);
    while (!stop);
  });
  int reads = 0, bad = 0;
  while (!stop) {
    const double v = c.Get();
    ++reads;
    if (v != kA.reads && v != kB.reads) ++bad;
  }
  writer.join();
  follower.join();
  EXPECT_EQ(bad, 0) << "of " << reads;
  const double e = ext.Get();
  EXPECT_TRUE(e == kA.reads || e == kB.reads) << e;
}

}  // namespace
