// Packet queue, frame queue, clocks and the master clock choice.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "foundation/AVHandles.h"
#include "foundation/FFLoader.h"
#include "player/Clock.h"
#include "player/FrameQueue.h"
#include "player/PacketQueue.h"

using namespace corvane;

namespace {

class PlayerQueues : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FFLoader().Load(kPlayerLibraries)) << FFLoader().LastErrMsg();
  }
};

PacketPtr packet(int payload, std::int64_t duration, std::int64_t pts = 0) {
  PacketPtr p = makePacket();
  EXPECT_EQ(ff::av_new_packet(p.get(), payload), 0);
  p->duration = duration;
  p->pts = pts;
  return p;
}

TEST_F(PlayerQueues, PacketQueueAbortedUntilStart) {
  TPacketQueue q;
  PacketPtr p = packet(100, 1);
  EXPECT_EQ(q.Put(p.get()), -1);
  EXPECT_EQ(p->size, 0) << "the caller's packet is left empty";
  EXPECT_EQ(p->buf, nullptr);
  EXPECT_EQ(q.nb_packets, 0);
  EXPECT_EQ(q.Get(p.get(), false, nullptr), -1);
  q.Start();
  p = packet(100, 1);
  EXPECT_EQ(q.Put(p.get()), 0);
  EXPECT_EQ(q.nb_packets, 1);
}

TEST_F(PlayerQueues, PacketQueueOrderSizesAndSerialsAcrossFlushes) {
  TPacketQueue q;
  q.Start();
  const int first = q.serial;
  struct Step {
    int payload;  // > 0 put a packet of this size, 0 flush
    std::int64_t duration;
  };
  const std::vector<Step> steps = {{100, 3}, {50, 2}, {0, 0}, {10, 1}, {20, 4}, {0, 0}, {30, 5}};
  int expectedSerial = first;
  std::vector<std::pair<int, int>> kept;  // (payload, serial) expected to remain
  for (const Step& s : steps) {
    if (s.payload == 0) {
      q.Flush();
      ++expectedSerial;
      kept.clear();
      EXPECT_EQ(q.nb_packets, 0);
      EXPECT_EQ(q.size, 0);
      EXPECT_EQ(q.duration, 0);
      EXPECT_EQ(q.serial, expectedSerial);
      continue;
    }
    PacketPtr p = packet(s.payload, s.duration, s.payload);
    ASSERT_EQ(q.Put(p.get()), 0);
    kept.emplace_back(s.payload, expectedSerial);
  }
  EXPECT_EQ(q.nb_packets, 1);
  EXPECT_EQ(q.size, 30 + TPacketQueue::kItemOverhead);
  EXPECT_EQ(q.duration, 5);

  PacketPtr p = packet(40, 6, 40);
  ASSERT_EQ(q.Put(p.get()), 0);
  kept.emplace_back(40, expectedSerial);
  EXPECT_EQ(q.size, 70 + 2 * TPacketQueue::kItemOverhead);
  EXPECT_EQ(q.duration, 11);

  PacketPtr out = makePacket();
  for (const auto& [payload, serial] : kept) {
    int got = -2;
    ASSERT_EQ(q.Get(out.get(), false, &got), 1);
    EXPECT_EQ(out->size, payload);
    EXPECT_EQ(out->pts, payload);
    EXPECT_EQ(got, serial);
    ff::av_packet_unref(out.get());
  }
  EXPECT_EQ(q.Get(out.get(), false, nullptr), 0) << "empty, not blocking";
  EXPECT_EQ(q.nb_packets, 0);
  EXPECT_EQ(q.size, 0);
  EXPECT_EQ(q.duration, 0);

  // The end-of-stream marker is an empty packet of the stream.
  ASSERT_EQ(q.PutNullPacket(out.get(), 3), 0);
  ASSERT_EQ(q.Get(out.get(), false, nullptr), 1);
  EXPECT_EQ(out->stream_index, 3);
  EXPECT_EQ(out->size, 0);
  EXPECT_EQ(q.serial, first + 2);
}

// Fills `f`'s write slot with `pts` and the current serial of `q`.
void pushFrame(TFrameQueue& f, TPacketQueue& q, double pts, std::int64_t pos) {
  TFFFrame* vp = f.PeekWritable();
  ASSERT_NE(vp, nullptr);
  vp->pts = pts;
  vp->pos = pos;
  vp->serial = q.serial;
  f.Push();
}

TEST_F(PlayerQueues, FrameQueueKeepLastAndPeeks) {
  TPacketQueue q;
  q.Start();
  TFrameQueue f;
  ASSERT_EQ(f.Init(&q, 3, true), 0);
  EXPECT_EQ(f.Remaining(), 0);
  pushFrame(f, q, 1.0, 100);
  EXPECT_EQ(f.Remaining(), 1);
  EXPECT_EQ(f.LastShownPos(), -1) << "nothing shown yet";
  EXPECT_EQ(f.PeekReadable()->pts, 1.0);

  f.Next();  // only marks the first frame shown
  EXPECT_EQ(f.Remaining(), 0);
  EXPECT_EQ(f.PeekLast()->pts, 1.0);
  EXPECT_EQ(f.LastShownPos(), 100);

  pushFrame(f, q, 2.0, 200);
  pushFrame(f, q, 3.0, 300);
  EXPECT_EQ(f.Remaining(), 2);
  EXPECT_EQ(f.Peek()->pts, 2.0);
  EXPECT_EQ(f.PeekNext()->pts, 3.0);
  EXPECT_EQ(f.PeekLast()->pts, 1.0);

  f.Next();  // releases the frame on screen
  EXPECT_EQ(f.PeekLast()->pts, 2.0);
  EXPECT_EQ(f.Peek()->pts, 3.0);
  EXPECT_EQ(f.Remaining(), 1);
  EXPECT_EQ(f.LastShownPos(), 200);
  q.Flush();
  EXPECT_EQ(f.LastShownPos(), -1) << "the frame on screen is of an old serial";
}

TEST_F(PlayerQueues, FrameQueueWithoutKeepLastReleasesAndRecycles) {
  TPacketQueue q;
  q.Start();
  TFrameQueue f;
  ASSERT_EQ(f.Init(&q, 20, false), 0);
  EXPECT_EQ(f.MaxSize(), TFrameQueue::kMaxSize);
  // Several rounds over every slot: the ring wraps and slots are reused.
  for (int i = 0; i < 3 * TFrameQueue::kMaxSize; ++i) {
    TFFFrame* vp = f.PeekWritable();
    ASSERT_NE(vp, nullptr);
    vp->frame->format = AV_SAMPLE_FMT_S16;
    vp->frame->nb_samples = 64;
    ff::av_channel_layout_default(&vp->frame->ch_layout, 2);
    ASSERT_EQ(ff::av_frame_get_buffer(vp->frame.get(), 0), 0);
    vp->pts = i;
    vp->uploaded = 1;
    f.Push();
    TFFFrame* rp = f.PeekReadable();
    ASSERT_EQ(rp, vp);
    EXPECT_EQ(rp->pts, i);
    f.Next();
    EXPECT_EQ(vp->frame->buf[0], nullptr) << "Next unreferences the slot";
    EXPECT_EQ(vp->uploaded, 0);
    EXPECT_EQ(f.Remaining(), 0);
  }
}

TEST_F(PlayerQueues, FrameQueueEndOfPacketQueueEndsReadableWait) {
  TPacketQueue q;
  q.Start();
  TFrameQueue f;
  ASSERT_EQ(f.Init(&q, 9, true), 0);
  q.eof = 1;
  EXPECT_EQ(f.PeekReadable(), nullptr);
  pushFrame(f, q, 0.5, -1);
  EXPECT_NE(f.PeekReadable(), nullptr) << "frames left are still read after the end";
  q.Abort();
  EXPECT_EQ(f.PeekReadable(), nullptr);
  EXPECT_EQ(f.PeekWritable(), nullptr);
}

// A clock source the test moves by hand.
struct ManualTime {
  double now = 100.0;
  TClockSource source() {
    return [this] { return now; };
  }
};

TEST(PlayerClock, SpeedPauseAndSerial) {
  ManualTime t;
  std::atomic<int> queueSerial{1};
  TClock c(t.source());
  c.Init(&queueSerial);
  EXPECT_TRUE(std::isnan(c.Get())) << "serial -1 differs from the queue's";
  c.Set(10.0, 1);
  EXPECT_DOUBLE_EQ(c.LastUpdated(), 100.0);

  t.now = 102.0;
  EXPECT_DOUBLE_EQ(c.Get(), 12.0) << "real time";
  c.SetSpeed(2.0);  // re-anchored at 12.0
  t.now = 103.5;
  EXPECT_DOUBLE_EQ(c.Get(), 15.0) << "double speed";
  // Pausing as the player does: set to the current value, then pause.
  c.Set(c.Get(), c.Serial());
  c.SetPaused(true);
  t.now = 110.0;
  EXPECT_DOUBLE_EQ(c.Get(), 15.0) << "paused";
  c.Set(c.Get(), c.Serial());
  c.SetPaused(false);
  t.now = 111.0;
  EXPECT_DOUBLE_EQ(c.Get(), 17.0) << "resumed at double speed";
  c.SetSpeed(0.5);
  t.now = 113.0;
  EXPECT_DOUBLE_EQ(c.Get(), 18.0) << "half speed";
  EXPECT_DOUBLE_EQ(c.Speed(), 0.5);

  queueSerial = 2;  // the queue was flushed
  EXPECT_TRUE(std::isnan(c.Get()));
  c.SetCheckSerial(false);
  EXPECT_DOUBLE_EQ(c.Get(), 18.0) << "extrapolated without the serial check";
  c.SetCheckSerial(true);
  c.Set(1.0, 2);
  EXPECT_NEAR(c.Get(), 1.0, 1e-9);
}

TEST(PlayerClock, SyncToSlaveThreshold) {
  ManualTime t;
  TClock master(t.source()), slave(t.source());
  master.Init(nullptr);
  slave.Init(nullptr);

  struct Case {
    double own;  // NaN: unknown
    double other;
    bool moves;
  };
  const std::vector<Case> cases = {
      {5.0, NAN, false},  {NAN, NAN, false},   {NAN, 7.0, true},   {5.0, 14.9, false},
      {5.0, 15.0, false}, {5.0, 15.001, true}, {20.0, 9.99, true}, {20.0, 10.5, false},
  };
  for (const Case& c : cases) {
    master.Set(c.own, 3);
    slave.Set(c.other, 8);
    master.SyncToSlave(slave);
    const double expected = c.moves ? c.other : c.own;
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(master.Get()));
    } else {
      EXPECT_DOUBLE_EQ(master.Get(), expected) << c.own << " to " << c.other;
    }
    EXPECT_EQ(master.Serial(), c.moves ? 8 : 3);
  }
}

TEST(PlayerClock, ExternalClockSpeedBoundsAndReturn) {
  ManualTime t;
  TClock ext(t.source());
  ext.Init(nullptr);
  ext.Set(0, 0);
  // Starved: never below the minimum.
  for (int i = 0; i < 200; ++i) AdjustExternalClockSpeed(ext, true, 1, true, 50);
  EXPECT_DOUBLE_EQ(ext.Speed(), EXTERNAL_CLOCK_SPEED_MIN);
  // Between the limits the speed steps back and reaches 1.0 exactly.
  AdjustExternalClockSpeed(ext, true, 5, true, 5);
  EXPECT_NEAR(ext.Speed(), EXTERNAL_CLOCK_SPEED_MIN + EXTERNAL_CLOCK_SPEED_STEP, 1e-12);
  for (int i = 0; i < 150; ++i) AdjustExternalClockSpeed(ext, true, 5, true, 5);
  EXPECT_EQ(ext.Speed(), 1.0);
  // Well filled: never above the maximum; audio only counts the audio queue.
  for (int i = 0; i < 50; ++i) AdjustExternalClockSpeed(ext, false, 0, true, 11);
  EXPECT_DOUBLE_EQ(ext.Speed(), EXTERNAL_CLOCK_SPEED_MAX);
  for (int i = 0; i < 50; ++i) AdjustExternalClockSpeed(ext, true, 3, true, 10);
  EXPECT_EQ(ext.Speed(), 1.0);
}

TEST(PlayerClock, FrameDuration) {
  TFFFrame vp, next;
  vp.duration = 0.04;
  struct Case {
    double pts, nextPts;
    int nextSerial;
    double expected;
  };
  const std::vector<Case> cases = {
      {1.0, 1.5, 0, 0.5},  {1.0, 1.5, 1, 0.0},  {1.0, NAN, 0, 0.04},
      {1.0, 0.9, 0, 0.04}, {1.0, 1.0, 0, 0.04}, {1.0, 12.0, 0, 0.04},
  };
  for (const Case& c : cases) {
    vp.pts = c.pts;
    next.pts = c.nextPts;
    next.serial = c.nextSerial;
    EXPECT_DOUBLE_EQ(FrameDuration(vp, next, 10.0), c.expected) << c.nextPts;
  }
}

TEST(PlayerMasterSync, ChoiceTable) {
  struct Row {
    Tav_sync_type requested;
    bool video, audio;
    Tav_sync_type result;
  };
  const std::vector<Row> rows = {
      {AV_SYNC_VIDEO_MASTER, true, true, AV_SYNC_VIDEO_MASTER},
      {AV_SYNC_VIDEO_MASTER, true, false, AV_SYNC_VIDEO_MASTER},
      {AV_SYNC_VIDEO_MASTER, false, true, AV_SYNC_AUDIO_MASTER},
      {AV_SYNC_VIDEO_MASTER, false, false, AV_SYNC_EXTERNAL_CLOCK},
      {AV_SYNC_AUDIO_MASTER, true, true, AV_SYNC_AUDIO_MASTER},
      {AV_SYNC_AUDIO_MASTER, false, true, AV_SYNC_AUDIO_MASTER},
      {AV_SYNC_AUDIO_MASTER, true, false, AV_SYNC_VIDEO_MASTER},
      {AV_SYNC_AUDIO_MASTER, false, false, AV_SYNC_EXTERNAL_CLOCK},
      {AV_SYNC_EXTERNAL_CLOCK, true, true, AV_SYNC_EXTERNAL_CLOCK},
      {AV_SYNC_EXTERNAL_CLOCK, false, false, AV_SYNC_EXTERNAL_CLOCK},
  };
  for (const Row& r : rows)
    EXPECT_EQ(ChooseMasterSyncType(r.requested, r.video, r.audio), r.result)
        << r.requested << " video " << r.video << " audio " << r.audio;
}

TEST(PlayerMasterSync, ChoiceFollowsStreamsOpenedAndClosed) {
  ManualTime t;
  TClock aud(t.source()), vid(t.source()), ext(t.source());
  for (TClock* c : {&aud, &vid, &ext}) c->Init(nullptr);
  aud.Set(1.0, 0);
  vid.Set(2.0, 0);
  ext.Set(3.0, 0);

  TMasterSync sync;
  sync.SetSyncType(AV_SYNC_VIDEO_MASTER);
  // The audio component opens first and its callback asks for the master at once.
  sync.SetStreamOpen(AVMEDIA_TYPE_AUDIO, true);
  EXPECT_EQ(sync.MasterSyncType(), AV_SYNC_AUDIO_MASTER);
  EXPECT_EQ(sync.MasterClock(aud, vid, ext), 1.0);
  sync.SetStreamOpen(AVMEDIA_TYPE_VIDEO, true);
  EXPECT_EQ(sync.MasterSyncType(), AV_SYNC_VIDEO_MASTER);
  EXPECT_EQ(sync.MasterClock(aud, vid, ext), 2.0);
  sync.SetStreamOpen(AVMEDIA_TYPE_VIDEO, false);
  EXPECT_EQ(sync.MasterSyncType(), AV_SYNC_AUDIO_MASTER);
  sync.SetStreamOpen(AVMEDIA_TYPE_AUDIO, false);
  EXPECT_EQ(sync.MasterSyncType(), AV_SYNC_EXTERNAL_CLOCK);
  EXPECT_EQ(sync.MasterClock(aud, vid, ext), 3.0);
  sync.SetStreamOpen(AVMEDIA_TYPE_AUDIO, true);
  sync.SetSyncType(AV_SYNC_EXTERNAL_CLOCK);
  EXPECT_EQ(sync.MasterSyncType(), AV_SYNC_EXTERNAL_CLOCK);
  sync.SetSyncType(AV_SYNC_AUDIO_MASTER);
  EXPECT_EQ(sync.MasterSyncType(), AV_SYNC_AUDIO_MASTER);
}

}  // namespace
