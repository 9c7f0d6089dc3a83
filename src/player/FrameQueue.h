// Fixed ring of decoded frames between a decoder thread and its consumer.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "foundation/AVHandles.h"
#include "player/PacketQueue.h"

namespace corvane {

// One slot of a frame queue. The producer fills the slot at `windex` before
// Push; the consumer reads slots between `rindex` and the write position.
struct TFFFrame {
  FramePtr frame;
  AVSubtitle sub{};
  int serial = 0;
  double pts = 0;       // seconds, NaN when unknown
  double duration = 0;  // seconds
  std::int64_t pos = -1;
  int allocated = 0;
  int width = 0;
  int height = 0;
  int format = 0;
  AVRational sar{0, 1};
  int uploaded = 0;
  // Guards the contents against threads that copy the picture on screen.
  std::mutex lock;
};

// One producer (PeekWritable/Push) and one consumer (Peek*/Next). The waits
// end when the feeding packet queue is aborted and the queue is signalled.
class TFrameQueue {
 public:
  static constexpr int kMaxSize = 16;

  TFrameQueue() = default;
  ~TFrameQueue();  // Destroy
  TFrameQueue(const TFrameQueue&) = delete;
  TFrameQueue& operator=(const TFrameQueue&) = delete;

  // 0, or AVERROR(ENOMEM) when a frame cannot be allocated. `max_size` is
  // capped at kMaxSize; with `keep_last` the frame last shown stays in its slot.
  int Init(TPacketQueue* pktq, int max_size, bool keep_last);
  void Destroy();
  // Wakes every waiter (after an abort of the packet queue or at its end).
  void Signal();

  TFFFrame* Peek();      // next frame to show
  TFFFrame* PeekNext();  // the one after it
  TFFFrame* PeekLast();  // frame on screen
  // Waits for a free slot; null once the packet queue is aborted.
  TFFFrame* PeekWritable();
  // Waits for a frame; null once the packet queue is aborted, or at its end
  // (`pktq->eof`) with nothing left.
  TFFFrame* PeekReadable();
  void Push();
  void Next();
  int Remaining() const { return size - rindex_shown; }
  // Byte position of the frame on screen when it is of the current serial, else
  // -1. Any thread.
  std::int64_t LastShownPos() const;

  int MaxSize() const { return max_size; }
  bool KeepLast() const { return keep_last; }
  int RIndexShown() const { return rindex_shown; }
  TPacketQueue* PacketQueue() const { return pktq; }

  // Frame whose picture was last uploaded to the screen.
  std::atomic<TFFFrame*> current{nullptr};

 private:
  static void unrefItem(TFFFrame& vp);

  std::array<TFFFrame, kMaxSize> queue;
  // Each index is written by one side only and read by both.
  std::atomic<int> rindex{0};
  std::atomic<int> windex{0};
  std::atomic<int> size{0};  // changed under `mutex`
  int max_size = 0;
  bool keep_last = false;
  std::atomic<int> rindex_shown{0};
  mutable std::mutex mutex;
  std::condition_variable cond;
  TPacketQueue* pktq = nullptr;
};

}  // namespace corvane
