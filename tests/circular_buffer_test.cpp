#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "foundation/CircularBuffer.h"

using namespace corvane;

namespace {

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
  return v;
}

std::int32_t writeVec(TCircularBuffer& b, const std::vector<std::uint8_t>& v) {
  return b.Write(v.data(), static_cast<std::int32_t>(v.size()));
}

std::vector<std::uint8_t> readN(TCircularBuffer& b, std::int32_t n) {
  std::vector<std::uint8_t> v(static_cast<std::size_t>(n));
  const std::int32_t got = b.Read(v.data(), n);
  v.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return v;
}

TEST(CircularBuffer, DefaultsAndCapacityRounding) {
  TCircularBuffer b;
  EXPECT_EQ(b.Capacity(), 1048576);
  EXPECT_TRUE(b.AutoGrow());
  EXPECT_EQ(b.AutoGrowMax(), 16777216);
  EXPECT_TRUE(b.WaitForData());
  EXPECT_TRUE(b.WaitForSpace());
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_EQ(b.SpaceSize(), 1048575);

  struct Case {
    std::int64_t asked, expected;
  };
  for (const Case c : {Case{1, 8192}, Case{8192, 8192}, Case{8193, 16384}, Case{0, 0}}) {
    TCircularBuffer r(c.asked);
    EXPECT_EQ(r.Capacity(), c.expected) << c.asked;
  }
  EXPECT_THROW(TCircularBuffer(-1), std::invalid_argument);
}

// Capacity - 1 bytes fit; one more byte blocks (checked in non-blocking mode:
// 0 at once) and leaves the ring unchanged.
TEST(CircularBuffer, HoldsCapacityMinusOneWithoutGrowth) {
  for (const std::int64_t cap : {std::int64_t{8192}, TCircularBuffer::DefaultCapacity}) {
    TCircularBuffer b(cap);
    b.SetAutoGrow(false);
    b.SetWaitForSpace(false);
    const auto data = pattern(static_cast<std::size_t>(cap - 1), 3);
    ASSERT_EQ(writeVec(b, data), cap - 1);
    EXPECT_TRUE(b.IsFull());
    const std::uint8_t one = 0xAB;
    EXPECT_EQ(b.Write(&one, 1), 0);
    EXPECT_EQ(b.Capacity(), cap);
    EXPECT_EQ(readN(b, static_cast<std::int32_t>(cap)), data);
    EXPECT_EQ(b.Write(&one, 1), 1);
  }
}

TEST(CircularBuffer, AutoGrowTakesFullCountAndReadReturnsWhatIsThere) {
  TCircularBuffer b;
  const auto data = pattern(1048576 + 5000, 11);
  ASSERT_EQ(writeVec(b, data), static_cast<std::int32_t>(data.size()));
  EXPECT_GT(b.Capacity(), static_cast<std::int64_t>(data.size()));
  EXPECT_EQ(b.Capacity() % TCircularBuffer::CapacityGranule, 0);
  EXPECT_EQ(readN(b, static_cast<std::int32_t>(data.size() + 1000)), data);
  EXPECT_EQ(b.ReadCount(), b.WriteCount());
}

// Beyond AutoGrowMax a write that could fit after reading does not grow; a
// write that could never fit grows even with AutoGrow off.
TEST(CircularBuffer, GrowthRules) {
  struct Case {
    bool autoGrow;
    std::int64_t growMax;
    std::int32_t preload, count;
    bool grows;
  };
  const Case cases[] = {
      {true, 1 << 24, 8000, 1000, true},    // below the maximum
      {true, 8192, 8000, 1000, false},      // at the maximum: waits for space
      {false, 1 << 24, 8000, 1000, false},  // growth off
      {false, 8192, 0, 8192, true},         // Count == capacity can never fit
      {false, 8192, 100, 20000, true},      // Count > capacity
  };
  for (const Case& c : cases) {
    TCircularBuffer b(8192);
    b.SetAutoGrow(c.autoGrow);
    b.SetAutoGrowMax(c.growMax);
    b.SetWaitForSpace(false);
    const auto pre = pattern(static_cast<std::size_t>(c.preload), 1);
    if (c.preload > 0) {
      ASSERT_EQ(writeVec(b, pre), c.preload);
    }
    const auto data = pattern(static_cast<std::size_t>(c.count), 2);
    EXPECT_EQ(writeVec(b, data), c.grows ? c.count : 0) << c.count;
    EXPECT_EQ(b.Capacity() > 8192, c.grows) << c.count;
    EXPECT_EQ(readN(b, c.preload), pre);
    if (c.grows) {
      EXPECT_EQ(readN(b, c.count), data);
    }
  }
}

TEST(CircularBuffer, EndWritingDrainsThenEnds) {
  TCircularBuffer b(8192);
  const auto data = pattern(300, 5);
  ASSERT_EQ(writeVec(b, data), 300);
  b.EndWriting();
  EXPECT_EQ(readN(b, 200), std::vector<std::uint8_t>(data.begin(), data.begin() + 200));
  EXPECT_EQ(readN(b, 200), std::vector<std::uint8_t>(data.begin() + 200, data.end()));
  std::uint8_t x = 0;
  EXPECT_EQ(b.Read(&x, 1), -1);
  b.Reset();
  EXPECT_FALSE(b.EndOfWriting());
  b.SetWaitForData(false);
  EXPECT_EQ(b.Read(&x, 1), 0);
}

TEST(CircularBuffer, NonBlockingReadOnEmptyReturnsZero) {
  TCircularBuffer b(8192);
  b.SetWaitForData(false);
  std::uint8_t x = 0;
  EXPECT_EQ(b.Read(&x, 1), 0);
  EXPECT_EQ(b.Discard(10), 0);
}

// Wraps a ring with FTail at a chosen offset, then grows it on demand by a
// write one byte larger than the space; every byte must come back in order.
// Growth adds a quarter rounded up to 8192, so 16384 and 32768 both gain 8192:
// the cases put FTail below, at and above that added room.
TEST(CircularBuffer, OnDemandGrowthOfWrappedRingKeepsOrder) {
  struct Case {
    std::int64_t cap, head, tail;
  };
  const Case cases[] = {
      {16384, 12000, 100},   {16384, 12000, 8191}, {16384, 12000, 8192},  {16384, 12000, 8193},
      {16384, 12000, 10000}, {32768, 20000, 8192}, {32768, 20000, 12000},
  };
  for (const Case& c : cases) {
    TCircularBuffer b(c.cap);
    auto skip = pattern(static_cast<std::size_t>(c.head), 0);
    ASSERT_EQ(writeVec(b, skip), c.head);
    ASSERT_EQ(b.Discard(static_cast<std::int32_t>(c.head)), c.head);
    const auto first = pattern(static_cast<std::size_t>(c.cap - c.head + c.tail), 17);
    ASSERT_EQ(writeVec(b, first), static_cast<std::int32_t>(first.size()));
    ASSERT_EQ(b.Capacity(), c.cap);
    const auto second = pattern(static_cast<std::size_t>(b.SpaceSize() + 1), 91);
    ASSERT_EQ(writeVec(b, second), static_cast<std::int32_t>(second.size()));
    EXPECT_EQ(b.Capacity(), c.cap + 8192);
    std::vector<std::uint8_t> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(b.DataSize(), static_cast<std::int64_t>(expected.size()));
    EXPECT_EQ(readN(b, static_cast<std::int32_t>(expected.size()) + 1), expected)
        << "cap " << c.cap << " tail " << c.tail;
    // The ring keeps working across its new end.
    const auto third = pattern(static_cast<std::size_t>(b.Capacity() - 1), 5);
    ASSERT_EQ(writeVec(b, third), static_cast<std::int32_t>(third.size()));
    EXPECT_EQ(readN(b, static_cast<std::int32_t>(third.size())), third);
  }
}

// Capacity setter growth 16384 -> 24576 (8192 added), FTail swept across it.
TEST(CircularBuffer, CapacitySetterGrowthOfWrappedRingKeepsOrder) {
  for (const std::int64_t tail : {0, 1, 4000, 8191, 8192, 8193, 12000, 16382}) {
    TCircularBuffer b(16384);
    b.SetAutoGrow(false);
    const std::int32_t head = 16383;
    auto skip = pattern(head, 0);
    ASSERT_EQ(writeVec(b, skip), head);
    ASSERT_EQ(b.Discard(head), head);
    const auto data = pattern(static_cast<std::size_t>(1 + tail), 33);
    ASSERT_EQ(writeVec(b, data), static_cast<std::int32_t>(data.size()));
    b.SetCapacity(20481);
    ASSERT_EQ(b.Capacity(), 24576);
    EXPECT_EQ(b.DataSize(), static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(readN(b, 30000), data) << "tail " << tail;
  }
}

TEST(CircularBuffer, ShrinkKeepsOldestBytesThatFit) {
  TCircularBuffer b(32768);
  const auto data = pattern(20000, 9);
  ASSERT_EQ(writeVec(b, data), 20000);
  b.SetCapacity(8192);
  EXPECT_EQ(b.DataSize(), 8191);
  EXPECT_EQ(readN(b, 20000), std::vector<std::uint8_t>(data.begin(), data.begin() + 8191));
}

TEST(CircularBuffer, CapacityZeroIsEmptyWithoutSpace) {
  TCircularBuffer b(0);
  EXPECT_EQ(b.Capacity(), 0);
  EXPECT_TRUE(b.IsEmpty());
  EXPECT_TRUE(b.IsFull());
  EXPECT_EQ(b.DataSize(), 0);
  EXPECT_EQ(b.SpaceSize(), 0);
  b.SetWaitForData(false);
  std::uint8_t x = 0;
  EXPECT_EQ(b.Read(&x, 1), 0);
  EXPECT_EQ(b.Discard(1), 0);
  b.SetAutoGrow(false);
  const auto data = pattern(10, 4);
  EXPECT_EQ(writeVec(b, data), 10);  // Count >= capacity grows
  EXPECT_EQ(b.Capacity(), 8192);
  EXPECT_EQ(readN(b, 10), data);

  b.FreeBuffer();
  EXPECT_EQ(b.Capacity(), 0);
  EXPECT_TRUE(b.Terminated());
  EXPECT_EQ(writeVec(b, data), -1);
  EXPECT_EQ(b.Read(&x, 1), -1);
  b.Reset();
  EXPECT_EQ(writeVec(b, data), 10);
  EXPECT_EQ(readN(b, 10), data);
}

TEST(CircularBuffer, NegativeCountsAndTerminationReturnMinusOne) {
  TCircularBuffer b(8192);
  std::uint8_t buf[16] = {};
  EXPECT_EQ(b.Write(buf, -1), -1);
  EXPECT_EQ(b.Write(buf, 16), 16);
  EXPECT_EQ(b.Read(buf, -5), -1);
  EXPECT_EQ(b.Discard(-1), -1);
  EXPECT_EQ(b.DataSize(), 16);
  EXPECT_EQ(b.Discard(4), 4);
  EXPECT_EQ(b.ReadCount(), 4);  // discarded bytes count as read
  b.Terminate();
  EXPECT_EQ(b.Read(buf, 1), -1);
  EXPECT_EQ(b.Write(buf, 1), -1);
  EXPECT_EQ(b.Discard(1), -1);
  EXPECT_EQ(b.ActiveCallers(), 0);
}

}  // namespace
