#include "foundation/CircularBuffer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace corvane {

namespace {

// Capacity for a write of `count` bytes: grow by steps until the last step
// exceeds the missing room, so the new space is always larger than `count`.
std::int64_t grownCapacity(std::int64_t capacity, std::int64_t space, std::int64_t count) {
  const std::int64_t missing = count - space;
  std::int64_t size = capacity;
  std::int64_t step = 0;
  do {
    step = size > 64 ? size / 4 : size > 8 ? 16 : 4;
    size += step;
  } while (step <= missing);
  return size;
}

}  // namespace

// Counts a caller for the destructor; lives inside the caller's lock.
class TCircularBuffer::ActiveScope {
 public:
  explicit ActiveScope(TCircularBuffer& b) : FBuf(b) { ++FBuf.FActive; }
  ~ActiveScope() {
    // Notified under the lock, so the destructor cannot free the condition
    // variable before this call has left it.
    if (--FBuf.FActive == 0 && FBuf.FTerminated) FBuf.FSpaceCond.notify_all();
  }
  ActiveScope(const ActiveScope&) = delete;
  ActiveScope& operator=(const ActiveScope&) = delete;

 private:
  TCircularBuffer& FBuf;
};

TCircularBuffer::TCircularBuffer(std::int64_t ACapacity) { InitBuffer(ACapacity); }

TCircularBuffer::~TCircularBuffer() {
  std::unique_lock lock(FLock);
  terminateLocked();
  FSpaceCond.wait(lock, [this] { return FActive == 0; });
}

void TCircularBuffer::InitBuffer(std::int64_t NewCapacity) {
  std::lock_guard lock(FLock);
  setCapacityLocked(NewCapacity);
  FHead = FTail = FWriteCount = FReadCount = 0;
  FEndOfWriting = FTerminated = false;
  FSpaceCond.notify_all();
}

void TCircularBuffer::FreeBuffer() {
  std::lock_guard lock(FLock);
  terminateLocked();
  setCapacityLocked(0);
}

void TCircularBuffer::Reset() {
  std::lock_guard lock(FLock);
  FHead = FTail = FWriteCount = FReadCount = 0;
  FEndOfWriting = FTerminated = false;
  FSpaceCond.notify_all();
}

void TCircularBuffer::EndWriting() {
  std::lock_guard lock(FLock);
  FEndOfWriting = true;
  FDataCond.notify_all();
}

void TCircularBuffer::Terminate() {
  std::lock_guard lock(FLock);
  terminateLocked();
}

void TCircularBuffer::terminateLocked() {
  FTerminated = true;
  FDataCond.notify_all();
  FSpaceCond.notify_all();
}

bool TCircularBuffer::IsEmpty() const {
  std::lock_guard lock(FLock);
  return FHead == FTail;
}

bool TCircularBuffer::IsFull() const {
  std::lock_guard lock(FLock);
  return spaceSizeLocked() == 0;
}

std::int64_t TCircularBuffer::DataSize() const {
  std::lock_guard lock(FLock);
  return dataSizeLocked();
}

std::int64_t TCircularBuffer::SpaceSize() const {
  std::lock_guard lock(FLock);
  return spaceSizeLocked();
}

// FHead and FTail are always below FCapacity (both 0 at capacity 0).
std::int64_t TCircularBuffer::dataSizeLocked() const {
  return FTail >= FHead ? FTail - FHead : FCapacity + FTail - FHead;
}

std::int64_t TCircularBuffer::spaceSizeLocked() const {
  return FCapacity == 0 ? 0 : FCapacity - 1 - dataSizeLocked();
}

bool TCircularBuffer::canGrowLocked(std::int64_t Count) const {
  return (FAutoGrow && FCapacity < FAutoGrowMax) || Count >= FCapacity;
}

void TCircularBuffer::copyOutLocked(std::uint8_t* dst, std::int64_t n) const {
  const std::int64_t first = std::min(n, FCapacity - FHead);
  std::memcpy(dst, FMemory.get() + FHead, static_cast<std::size_t>(first));
  if (n > first) std::memcpy(dst + first, FMemory.get(), static_cast<std::size_t>(n - first));
}

void TCircularBuffer::copyInLocked(const std::uint8_t* src, std::int64_t n) {
  const std::int64_t first = std::min(n, FCapacity - FTail);
  std::memcpy(FMemory.get() + FTail, src, static_cast<std::size_t>(first));
  if (n > first) std::memcpy(FMemory.get(), src + first, static_cast<std::size_t>(n - first));
  FTail = (FTail + n) % FCapacity;
}

std::int32_t TCircularBuffer::Read(void* Buffer, std::int32_t Count) {
  if (Count < 0 || (Count > 0 && Buffer == nullptr)) return -1;
  std::unique_lock lock(FLock);
  ActiveScope active(*this);
  if (FTerminated) return -1;
  if (Count == 0) return 0;
  FDataCond.wait(
      lock, [this] { return FTerminated || FHead != FTail || FEndOfWriting || !FWaitForData; });
  if (FTerminated) return -1;
  const std::int64_t n = std::min<std::int64_t>(Count, dataSizeLocked());
  if (n == 0) return FEndOfWriting ? -1 : 0;
  copyOutLocked(static_cast<std::uint8_t*>(Buffer), n);
  FHead = (FHead + n) % FCapacity;
  FReadCount += n;
  FSpaceCond.notify_all();
  return static_cast<std::int32_t>(n);
}

std::int32_t TCircularBuffer::Write(const void* Buffer, std::int32_t Count) {
  if (Count < 0 || (Count > 0 && Buffer == nullptr)) return -1;
  std::unique_lock lock(FLock);
  ActiveScope active(*this);
  if (FTerminated) return -1;
  if (Count == 0) return 0;
  FSpaceCond.wait(lock, [this, Count] {
    return FTerminated || spaceSizeLocked() >= Count || canGrowLocked(Count) || !FWaitForSpace;
  });
  if (FTerminated) return -1;
  if (spaceSizeLocked() < Count) {
    if (!canGrowLocked(Count)) return 0;
    setCapacityLocked(grownCapacity(FCapacity, spaceSizeLocked(), Count));
  }
  copyInLocked(static_cast<const std::uint8_t*>(Buffer), Count);
  FWriteCount += Count;
  FDataCond.notify_all();
  return Count;
}

// Discarded bytes count as read: ReadCount stays the consumer's position in
// the stream, so WriteCount - ReadCount == DataSize.
std::int32_t TCircularBuffer::Discard(std::int32_t Count) {
  if (Count < 0) return -1;
  std::lock_guard lock(FLock);
  ActiveScope active(*this);
  if (FTerminated) return -1;
  const std::int64_t n = std::min<std::int64_t>(Count, dataSizeLocked());
  if (n == 0) return 0;
  FHead = (FHead + n) % FCapacity;
  FReadCount += n;
  FSpaceCond.notify_all();
  return static_cast<std::int32_t>(n);
}

std::int64_t TCircularBuffer::Capacity() const {
  std::lock_guard lock(FLock);
  return FCapacity;
}

void TCircularBuffer::SetCapacity(std::int64_t AValue) {
  std::lock_guard lock(FLock);
  setCapacityLocked(AValue);
  FSpaceCond.notify_all();
}

void TCircularBuffer::setCapacityLocked(std::int64_t n) {
  if (n < 0) throw std::invalid_argument("TCircularBuffer: negative capacity");
  if (n > std::numeric_limits<std::int64_t>::max() - CapacityGranule)
    throw std::length_error("TCircularBuffer: capacity too large");
  n = (n + CapacityGranule - 1) / CapacityGranule * CapacityGranule;
  if (n == FCapacity) return;
  if (n == 0) {
    FMemory.reset();
    FCapacity = FHead = FTail = 0;
    return;
  }
  auto mem = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(n));
  const std::int64_t old = FCapacity;
  if (old == 0) {
    FHead = FTail = 0;
  } else if (n > old) {
    std::uint8_t* p = mem.get();
    std::memcpy(p, FMemory.get(), static_cast<std::size_t>(old));
    if (FTail < FHead) {
      // The data wraps: move its front part [0, FTail) behind the old end.
      const std::int64_t added = n - old;
      if (FTail <= added) {
        std::memcpy(p + old, p, static_cast<std::size_t>(FTail));
        FTail = (old + FTail) % n;  // FTail == added ends exactly at n
      } else {
        std::memcpy(p + old, p, static_cast<std::size_t>(added));
        std::memmove(p, p + added, static_cast<std::size_t>(FTail - added));
        FTail -= added;
      }
    }
  } else {
    // Shrinking: keep the oldest bytes that fit, from the start.
    const std::int64_t keep = std::min(dataSizeLocked(), n - 1);
    copyOutLocked(mem.get(), keep);
    FHead = 0;
    FTail = keep;
  }
  FMemory = std::move(mem);
  FCapacity = n;
}

bool TCircularBuffer::AutoGrow() const {
  std::lock_guard lock(FLock);
  return FAutoGrow;
}

void TCircularBuffer::SetAutoGrow(bool AValue) {
  std::lock_guard lock(FLock);
  FAutoGrow = AValue;
  FSpaceCond.notify_all();
}

std::int64_t TCircularBuffer::AutoGrowMax() const {
  std::lock_guard lock(FLock);
  return FAutoGrowMax;
}

void TCircularBuffer::SetAutoGrowMax(std::int64_t AValue) {
  std::lock_guard lock(FLock);
  FAutoGrowMax = AValue;
  FSpaceCond.notify_all();
}

bool TCircularBuffer::WaitForData() const {
  std::lock_guard lock(FLock);
  return FWaitForData;
}

void TCircularBuffer::SetWaitForData(bool AValue) {
  std::lock_guard lock(FLock);
  FWaitForData = AValue;
  FDataCond.notify_all();
}

bool TCircularBuffer::WaitForSpace() const {
  std::lock_guard lock(FLock);
  return FWaitForSpace;
}

void TCircularBuffer::SetWaitForSpace(bool AValue) {
  std::lock_guard lock(FLock);
  FWaitForSpace = AValue;
  FSpaceCond.notify_all();
}

std::int64_t TCircularBuffer::WriteCount() const {
  std::lock_guard lock(FLock);
  return FWriteCount;
}

std::int64_t TCircularBuffer::ReadCount() const {
  std::lock_guard lock(FLock);
  return FReadCount;
}

bool TCircularBuffer::EndOfWriting() const {
  std::lock_guard lock(FLock);
  return FEndOfWriting;
}

bool TCircularBuffer::Terminated() const {
  std::lock_guard lock(FLock);
  return FTerminated;
}

int TCircularBuffer::ActiveCallers() const {
  std::lock_guard lock(FLock);
  return FActive;
}

}  // namespace corvane
