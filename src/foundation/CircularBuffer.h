// A thread-safe, growable byte ring between one producer and one consumer.
//
// Reads and writes may block until data or space is available, the ring can
// grow on demand, and the producer can signal the end of the data.
// Results: -1 when terminated (or at the end of writing on an empty ring),
// 0 in non-blocking mode when nothing could be done.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace corvane {

class TCircularBuffer {
 public:
  static constexpr std::int64_t DefaultCapacity = 1048576;
  static constexpr std::int64_t CapacityGranule = 8192;
  static constexpr std::int64_t DefaultAutoGrowMax = 16777216;

  TCircularBuffer() : TCircularBuffer(DefaultCapacity) {}
  // Throws std::invalid_argument for a negative capacity.
  explicit TCircularBuffer(std::int64_t ACapacity);
  // Terminates, then waits until no caller is inside Read, Write or Discard.
  ~TCircularBuffer();
  TCircularBuffer(const TCircularBuffer&) = delete;
  TCircularBuffer& operator=(const TCircularBuffer&) = delete;

  // Sets the capacity, then resets.
  void InitBuffer(std::int64_t NewCapacity);
  // Terminates, then drops the storage (capacity 0).
  void FreeBuffer();
  // Empties the ring, clears the totals, the end of writing and termination.
  void Reset();
  // Readers drain the remaining data, then get -1.
  void EndWriting();
  // Every wait ends; every call returns -1 until Reset.
  void Terminate();

  bool IsEmpty() const;
  bool IsFull() const;  // no space left (also at capacity 0)
  std::int64_t DataSize() const;
  std::int64_t SpaceSize() const;

  // Copies up to Count bytes out (what is there, at least 1 byte, unless the
  // result is -1 or 0). Blocks on an empty ring when WaitForData is set.
  std::int32_t Read(void* Buffer, std::int32_t Count);
  // Copies all Count bytes in or nothing; grows the ring or blocks as needed.
  std::int32_t Write(const void* Buffer, std::int32_t Count);
  // Drops up to Count bytes without waiting; returns the number dropped.
  std::int32_t Discard(std::int32_t Count);

  std::int64_t Capacity() const;
  // Rounds a positive value up to a multiple of CapacityGranule. Growth keeps
  // the data and its order; shrinking keeps the oldest bytes that still fit.
  // Throws std::invalid_argument for a negative value.
  void SetCapacity(std::int64_t AValue);
  bool AutoGrow() const;
  void SetAutoGrow(bool AValue);
  // Growth on demand happens only below this capacity; a write that can never
  // fit (Count >= Capacity) grows the ring regardless.
  std::int64_t AutoGrowMax() const;
  void SetAutoGrowMax(std::int64_t AValue);
  bool WaitForData() const;
  void SetWaitForData(bool AValue);
  bool WaitForSpace() const;
  void SetWaitForSpace(bool AValue);

  std::int64_t WriteCount() const;
  std::int64_t ReadCount() const;
  bool EndOfWriting() const;
  bool Terminated() const;
  // Callers currently inside Read, Write or Discard.
  int ActiveCallers() const;

 private:
  class ActiveScope;

  std::int64_t dataSizeLocked() const;
  std::int64_t spaceSizeLocked() const;
  bool canGrowLocked(std::int64_t Count) const;
  void setCapacityLocked(std::int64_t n);
  void copyOutLocked(std::uint8_t* dst, std::int64_t n) const;
  void copyInLocked(const std::uint8_t* src, std::int64_t n);
  void terminateLocked();

  std::unique_ptr<std::uint8_t[]> FMemory;
  std::int64_t FCapacity = 0;
  std::int64_t FHead = 0;
  std::int64_t FTail = 0;
  std::int64_t FWriteCount = 0;
  std::int64_t FReadCount = 0;
  mutable std::mutex FLock;
  std::condition_variable FDataCond;   // data arrived, end of writing, termination
  std::condition_variable FSpaceCond;  // space freed, reset, termination, last caller left
  bool FAutoGrow = true;
  std::int64_t FAutoGrowMax = DefaultAutoGrowMax;
  bool FWaitForData = true;
  bool FWaitForSpace = true;
  bool FEndOfWriting = false;
  bool FTerminated = false;
  int FActive = 0;
};

}  // namespace corvane
