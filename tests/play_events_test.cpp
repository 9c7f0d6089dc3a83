// The play thread's request queue, the play-event ring and the refresh's
// target delay.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "player/Clock.h"
#include "player/PlayEvents.h"

using namespace corvane;

namespace {

std::vector<int> drain(TEventQueue& q) {
  std::vector<int> out;
  TPlayRecord r;
  while (q.Popup(r)) out.push_back(r.data1);
  return out;
}

TEST(EventQueue, HoldsItsSlotsThenDropsTheOldest) {
  TEventQueue q;
  EXPECT_FALSE(q.Wait(0));
  for (int i = 0; i < TEventQueue::kSlots; ++i) q.Push({FF_REFRESH_EVENT, nullptr, 0, i, 0});
  EXPECT_TRUE(q.Wait(0));
  std::vector<int> want(TEventQueue::kSlots);
  for (int i = 0; i < TEventQueue::kSlots; ++i) want[i] = i;
  EXPECT_EQ(drain(q), want);
  EXPECT_FALSE(q.Wait(0));

  // One more than the slots: the first is lost, the order kept.
  for (int i = 0; i <= TEventQueue::kSlots; ++i) q.Push({FF_STOP_EVENT, nullptr, 0, i, 0});
  want.assign(want.size(), 0);
  for (int i = 0; i < TEventQueue::kSlots; ++i) want[i] = i + 1;
  EXPECT_EQ(drain(q), want);

  q.Push({FF_STOP_EVENT, nullptr, 0, 7, 0});
  q.Reset();
  EXPECT_TRUE(drain(q).empty());
}

struct RingCase {
  const char* name;
  std::vector<TPlayEvent> posted;
  std::vector<TPlayEvent> taken;
};

TPlayEvent pos(std::int64_t pts) { return {1, pts, pts / 10, {}}; }
TPlayEvent state(TPlayState s) { return {2, s, 0, {}}; }

TEST(PlayEventRing, OnlyPositionsCoalesce) {
  std::vector<TPlayEvent> states, lastTen;
  for (int i = 0; i < 12; ++i) states.push_back({2, i % 6, i, {}});
  lastTen.assign(states.begin() + 2, states.end());
  const RingCase cases[] = {
      {"three positions give the last", {pos(10), pos(20), pos(30)}, {pos(30)}},
      {"end then stop",
       {pos(10), state(psEnd), state(psStop)},
       {pos(10), state(psEnd), state(psStop)}},
      {"pause then resume", {state(psPause), state(psResume)}, {state(psPause), state(psResume)}},
      {"positions around a state",
       {pos(10), pos(20), state(psStep), pos(30), pos(40)},
       {pos(20), state(psStep), pos(40)}},
      {"a full ring loses the oldest", states, lastTen},
      {"positions in a full ring",
       {state(psPlay), state(psPause), state(psResume), state(psPause), state(psResume),
        state(psPause), state(psResume), state(psPause), state(psResume), pos(1), pos(2),
        state(psEnd)},
       {state(psPause), state(psResume), state(psPause), state(psResume), state(psPause),
        state(psResume), state(psPause), state(psResume), pos(2), state(psEnd)}},
  };
  for (const RingCase& c : cases) {
    SCOPED_TRACE(c.name);
    TPlayEventRing ring;
    EXPECT_FALSE(ring.Wait(0));
    for (const TPlayEvent& e : c.posted) ring.Post(e);
    EXPECT_TRUE(ring.Wait(0));
    std::vector<TPlayEvent> got;
    TPlayEvent e;
    while (ring.Take(e) && e.type != 0) got.push_back(e);
    ASSERT_EQ(got.size(), c.taken.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].type, c.taken[i].type) << i;
      EXPECT_EQ(got[i].data1, c.taken[i].data1) << i;
      EXPECT_EQ(got[i].data2, c.taken[i].data2) << i;
    }
    EXPECT_FALSE(ring.Wait(0));
  }
}

TEST(PlayEventRing, TakenPositionIsNotReplaced) {
  TPlayEventRing ring;
  TPlayEvent e;
  ring.Post(pos(10));
  ASSERT_TRUE(ring.Take(e));
  EXPECT_EQ(e.data1, 10);
  ring.Post(pos(20));
  ring.Post(state(psStop));
  ASSERT_TRUE(ring.Take(e));
  EXPECT_EQ(e.data1, 20);
  ASSERT_TRUE(ring.Take(e));
  EXPECT_EQ(e.type, 2);
  ring.Post(pos(30));
  ring.Reset();
  EXPECT_TRUE(ring.Wait(0));  // a reset wakes the event thread
  ASSERT_TRUE(ring.Take(e));
  EXPECT_EQ(e.type, 0);
}

TEST(TargetDelay, FollowsTheMasterClock) {
  struct Case {
    const char* name;
    double delay, diff;
    Tav_sync_type master;
    double speed, want;
  };
  const Case cases[] = {
      {"video master keeps the delay", 0.04, -0.5, AV_SYNC_VIDEO_MASTER, 1.0, 0.04},
      {"no diff", 0.04, NAN, AV_SYNC_AUDIO_MASTER, 1.0, 0.04},
      {"diff beyond the frame limit", 0.04, -20.0, AV_SYNC_AUDIO_MASTER, 1.0, 0.04},
      {"within the threshold", 0.04, 0.039, AV_SYNC_AUDIO_MASTER, 1.0, 0.04},
      {"video 50 ms behind", 0.04, -0.05, AV_SYNC_AUDIO_MASTER, 1.0, 0.0},
      {"video 30 ms behind a 40 ms frame", 0.04, -0.03, AV_SYNC_AUDIO_MASTER, 1.0, 0.04},
      {"video far behind a long frame", 0.2, -0.15, AV_SYNC_AUDIO_MASTER, 1.0, 0.05},
      {"video ahead, short frame: doubled", 0.04, 0.05, AV_SYNC_AUDIO_MASTER, 1.0, 0.08},
      {"video ahead, long frame: diff added", 0.2, 0.15, AV_SYNC_AUDIO_MASTER, 1.0, 0.35},
      {"threshold capped at 0.1", 0.2, 0.099, AV_SYNC_AUDIO_MASTER, 1.0, 0.2},
      {"external at speed 2", 0.04, 0.06, AV_SYNC_EXTERNAL_CLOCK, 2.0, 0.02},
      {"external at speed 1", 0.04, 0.06, AV_SYNC_EXTERNAL_CLOCK, 1.0, 0.08},
      {"audio master ignores the external speed", 0.04, 0.06, AV_SYNC_AUDIO_MASTER, 2.0, 0.08},
  };
  for (const Case& c : cases)
    EXPECT_NEAR(TargetDelay(c.delay, c.diff, c.master, 10.0, c.speed), c.want, 1e-12) << c.name;
}

// The player's pacing: within the threshold a share of the difference is
// taken out on every picture; at an external clock's speed, screen time.
TEST(FollowDelay, TakesOutAShareOfTheDifference) {
  struct Case {
    const char* name;
    double delay, diff;
    Tav_sync_type master;
    double speed, want;
  };
  const Case cases[] = {
      {"video 20 ms behind", 0.04, -0.02, AV_SYNC_AUDIO_MASTER, 1.0, 0.038},
      {"video 20 ms ahead", 0.04, 0.02, AV_SYNC_AUDIO_MASTER, 1.0, 0.042},
      {"beyond the threshold", 0.04, -0.05, AV_SYNC_AUDIO_MASTER, 1.0, 0.0},
      {"no diff", 0.04, NAN, AV_SYNC_AUDIO_MASTER, 1.0, 0.04},
      {"video master", 0.04, -0.02, AV_SYNC_VIDEO_MASTER, 1.0, 0.04},
      {"external at speed 2, in step", 0.04, 0.0, AV_SYNC_EXTERNAL_CLOCK, 2.0, 0.02},
      {"external at speed 2, 100 ms behind", 0.04, -0.1, AV_SYNC_EXTERNAL_CLOCK, 2.0, 0.0},
  };
  for (const Case& c : cases)
    EXPECT_NEAR(FollowDelay(c.delay, c.diff, c.master, 10.0, c.speed), c.want, 1e-12) << c.name;
}

}  // namespace
