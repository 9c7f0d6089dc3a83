#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "foundation/CircularBuffer.h"

using namespace corvane;
using namespace std::chrono_literals;

namespace {

// Waits until `b` has a caller inside and that caller stays inside, i.e. it
// is blocked.
void waitUntilBlocked(const TCircularBuffer& b, const std::future<std::int32_t>& result) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (b.ActiveCallers() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_EQ(b.ActiveCallers(), 1);
  EXPECT_EQ(result.wait_for(50ms), std::future_status::timeout) << "caller did not block";
}

enum class Side { Reader, Writer };

// An empty ring blocks a reader; a full ring without growth blocks a writer.
std::unique_ptr<TCircularBuffer> blockingRing(Side side) {
  auto b = std::make_unique<TCircularBuffer>(8192);
  b->SetAutoGrow(false);
  if (side == Side::Writer) {
    std::vector<std::uint8_t> fill(8191, 1);
    EXPECT_EQ(b->Write(fill.data(), 8191), 8191);
  }
  return b;
}

std::future<std::int32_t> blockedCall(TCircularBuffer& b, Side side) {
  return std::async(std::launch::async, [&b, side] {
    std::uint8_t buf[16] = {};
    return side == Side::Reader ? b.Read(buf, 16) : b.Write(buf, 16);
  });
}

TEST(CircularBufferThreads, TerminateWakesBlockedReaderAndWriter) {
  for (const Side side : {Side::Reader, Side::Writer}) {
    auto b = blockingRing(side);
    auto result = blockedCall(*b, side);
    waitUntilBlocked(*b, result);
    b->Terminate();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), -1);
  }
}

TEST(CircularBufferThreads, EndWritingWakesBlockedReader) {
  auto b = blockingRing(Side::Reader);
  auto result = blockedCall(*b, Side::Reader);
  waitUntilBlocked(*b, result);
  b->EndWriting();
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(result.get(), -1);
}

TEST(CircularBufferThreads, ReaderFreesSpaceForBlockedWriter) {
  auto b = blockingRing(Side::Writer);
  auto result = blockedCall(*b, Side::Writer);
  waitUntilBlocked(*b, result);
  EXPECT_EQ(b->Discard(100), 100);
  ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(result.get(), 16);
  EXPECT_EQ(b->Capacity(), 8192);
}

// The owner destroys the ring while another thread is blocked in it; the
// woken thread returns -1 and the destructor waits until it has left.
TEST(CircularBufferThreads, DestroyWhileBlockedIsSafe) {
  for (const Side side : {Side::Reader, Side::Writer}) {
    auto b = blockingRing(side);
    auto result = blockedCall(*b, side);
    waitUntilBlocked(*b, result);
    b.reset();
    ASSERT_EQ(result.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(result.get(), -1);
  }
}

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
};

std::uint64_t hashBytes(std::uint64_t h, const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    h = (h ^ w) * 0x100000001b3ULL;
    h ^= h >> 29;
  }
  for (; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
  return h ^ n;
}

// Producer and consumer move size-prefixed records through a ring that starts
// at 8192 bytes. Phase 1: records of 1 .. 16384 bytes with AutoGrowMax 64 KiB,
// so the ring wraps all the time and the writer blocks on a full ring. The
// consumer then raises AutoGrowMax to 4 MiB while small records keep coming,
// so the ring grows mid-stream holding wrapped data. Phase 2: records of
// 1 .. 3110412 bytes. The
// consumer reads in uneven chunks and checks every record with a running hash.
TEST(CircularBufferThreads, ProducerConsumerChecksumStress) {
#if defined(__SANITIZE_THREAD__)
  constexpr std::int64_t kTotal = 128ll << 20;
#else
  constexpr std::int64_t kTotal = 300ll << 20;
#endif
  constexpr std::uint32_t kMaxRecord = 3110412;
  TCircularBuffer ring(8192);
  ring.SetAutoGrowMax(64 << 10);
  constexpr std::int64_t kPhase1 = 16 << 20;

  std::vector<std::uint8_t> pool(kMaxRecord + 65536);
  Rng fill{0x9E3779B97F4A7C15ULL};
  for (std::size_t i = 0; i + 8 <= pool.size(); i += 8) {
    const std::uint64_t w = fill.next();
    std::memcpy(pool.data() + i, &w, 8);
  }

  std::atomic<bool> timedOut{false};
  std::mutex doneLock;
  std::condition_variable doneCond;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock lock(doneLock);
    if (!doneCond.wait_for(lock, 100s, [&] { return done; })) {
      timedOut = true;
      ring.Terminate();
    }
  });

  std::uint64_t sentHash = 0, sentRecords = 0;
  std::int64_t sentBytes = 0;
  bool writerFailed = false;
  std::thread producer([&] {
    Rng rng{12345};
    while (sentBytes < kTotal) {
      if (sentBytes < 2 * kPhase1) {
        const std::uint32_t size = 1 + rng.below(16384);
        const std::uint8_t* payload = pool.data() + rng.below(65536);
        if (ring.Write(&size, 4) != 4 || ring.Write(payload, static_cast<std::int32_t>(size)) !=
                                             static_cast<std::int32_t>(size)) {
          writerFailed = true;
          break;
        }
        sentHash = hashBytes(sentHash, payload, size);
        sentBytes += size;
        ++sentRecords;
        continue;
      }
      const std::uint32_t kind = rng.below(8);
      std::uint32_t size = kind < 3   ? 1 + rng.below(256)
                           : kind < 6 ? 1 + rng.below(256 * 1024)
                                      : 1 + rng.below(kMaxRecord);
      if (rng.below(32) == 0) size = kMaxRecord;
      const std::uint8_t* payload = pool.data() + rng.below(65536);
      std::uint32_t prefix = size;
      if (ring.Write(&prefix, 4) != 4 ||
          ring.Write(payload, static_cast<std::int32_t>(size)) != static_cast<std::int32_t>(size)) {
        writerFailed = true;
        break;
      }
      sentHash = hashBytes(sentHash, payload, size);
      sentBytes += size;
      ++sentRecords;
    }
    ring.EndWriting();
  });

  std::uint64_t gotHash = 0, gotRecords = 0;
  std::int64_t gotBytes = 0;
  bool framingError = false;
  std::int64_t phase1Capacity = 0;
  bool phase2 = false;
  {
    Rng rng{777};
    std::vector<std::uint8_t> record(kMaxRecord);
    // Reads exactly n bytes in uneven chunks; false at the end or on -1.
    auto readExactly = [&](std::uint8_t* dst, std::uint32_t n) {
      std::uint32_t got = 0;
      while (got < n) {
        const std::uint32_t chunk = std::min(n - got, 1 + rng.below(1 << 20));
        const std::int32_t r = ring.Read(dst + got, static_cast<std::int32_t>(chunk));
        if (r <= 0) return false;
        got += static_cast<std::uint32_t>(r);
      }
      return true;
    };
    for (;;) {
      std::uint32_t size = 0;
      if (!readExactly(reinterpret_cast<std::uint8_t*>(&size), 4)) break;
      if (size == 0 || size > kMaxRecord || !readExactly(record.data(), size)) {
        framingError = true;
        break;
      }
      gotHash = hashBytes(gotHash, record.data(), size);
      gotBytes += size;
      ++gotRecords;
      if (!phase2 && gotBytes >= kPhase1) {
        phase1Capacity = ring.Capacity();
        phase2 = true;
        ring.SetAutoGrowMax(4 << 20);
      }
    }
  }
  producer.join();
  {
    std::lock_guard lock(doneLock);
    done = true;
  }
  doneCond.notify_all();
  watchdog.join();

  ASSERT_FALSE(timedOut) << "deadlock: " << gotBytes << " of " << sentBytes << " bytes";
  EXPECT_FALSE(writerFailed);
  EXPECT_FALSE(framingError);
  EXPECT_EQ(gotRecords, sentRecords);
  EXPECT_EQ(gotBytes, sentBytes);
  EXPECT_EQ(gotHash, sentHash);
  EXPECT_GE(sentBytes, kTotal);
  EXPECT_GT(phase1Capacity, 8192);
  EXPECT_LT(phase1Capacity, 3110412);
  EXPECT_GT(ring.Capacity(), 3110412);  // grew again past the largest record
  EXPECT_EQ(ring.WriteCount(), ring.ReadCount());
}

}  // namespace
