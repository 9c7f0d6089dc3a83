// Queue of demuxed packets between the read thread and one decoder thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "foundation/api/avcodec.h"

namespace corvane {

// Packets are moved in and out, never copied. Every packet carries the queue's
// serial at the moment it was put; Flush and Start advance the serial, so that
// anything older is recognised as stale by its consumer.
//
// A queue is born aborted: Put and Get fail until Start.
class TPacketQueue {
 public:
  // Bookkeeping overhead counted per packet in `size`.
  static constexpr int kItemOverhead = 16;

  TPacketQueue() = default;
  ~TPacketQueue();  // Destroy
  TPacketQueue(const TPacketQueue&) = delete;
  TPacketQueue& operator=(const TPacketQueue&) = delete;

  // Takes the packet's references; the caller's packet is always left empty.
  // 0, or -1 when aborted or out of memory.
  int Put(AVPacket* pkt);
  // Puts an empty packet of the stream: the end-of-stream marker for decoders.
  int PutNullPacket(AVPacket* pkt, int stream_index);
  // 1: a packet was moved into `pkt` (and its serial into `*serial` when
  // given); 0: none queued and not blocking; -1: aborted, also while waiting.
  int Get(AVPacket* pkt, bool block, int* serial);
  // Frees every queued packet and advances the serial.
  void Flush();
  void Destroy() { Flush(); }
  // Fails every operation from now on and wakes a waiting Get.
  void Abort();
  // Ends the aborted state and advances the serial.
  void Start();

  // Read without the lock by the read thread and the properties; written
  // only by the queue, except `eof`, which the read thread sets.
  std::atomic<int> nb_packets{0};
  std::atomic<int> size{0};
  std::atomic<std::int64_t> duration{0};
  std::atomic<int> abort_request{1};
  std::atomic<int> serial{0};
  std::atomic<int> eof{0};

 private:
  struct Item {
    AVPacket* pkt;
    int serial;
  };
  void freeItems();

  std::mutex mutex;
  std::condition_variable cond;
  std::deque<Item> pkt_list;  // owned packets, guarded by `mutex`
};

}  // namespace corvane
