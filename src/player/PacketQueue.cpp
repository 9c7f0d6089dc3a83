#include "player/PacketQueue.h"

#include "foundation/AVHandles.h"

namespace corvane {

TPacketQueue::~TPacketQueue() { Destroy(); }

int TPacketQueue::Put(AVPacket* pkt) {
  PacketPtr item = makePacket();
  if (!item) {
    ff::av_packet_unref(pkt);
    return -1;
  }
  ff::av_packet_move_ref(item.get(), pkt);
  {
    std::lock_guard lock(mutex);
    if (abort_request) return -1;
    const int payload = item->size;
    const std::int64_t dur = item->duration;
    pkt_list.push_back({item.get(), serial});
    item.release();
    nb_packets += 1;
    size += payload + kItemOverhead;
    duration += dur;
    eof = 0;
  }
  cond.notify_one();
  return 0;
}

int TPacketQueue::PutNullPacket(AVPacket* pkt, int stream_index) {
  pkt->stream_index = stream_index;
  return Put(pkt);
}

int TPacketQueue::Get(AVPacket* pkt, bool block, int* out_serial) {
  std::unique_lock lock(mutex);
  for (;;) {
    if (abort_request) return -1;
    if (!pkt_list.empty()) {
      const Item item = pkt_list.front();
      pkt_list.pop_front();
      PacketPtr shell(item.pkt);
      nb_packets -= 1;
      size -= shell->size + kItemOverhead;
      duration -= shell->duration;
      ff::av_packet_move_ref(pkt, shell.get());
      if (out_serial) *out_serial = item.serial;
      return 1;
    }
    if (!block) return 0;
    cond.wait(lock);
  }
}

void TPacketQueue::freeItems() {
  for (Item& item : pkt_list) PacketPtr(item.pkt).reset();
  pkt_list.clear();
  nb_packets = 0;
  size = 0;
  duration = 0;
}

void TPacketQueue::Flush() {
  std::lock_guard lock(mutex);
  freeItems();
  serial += 1;
}

void TPacketQueue::Abort() {
  {
    std::lock_guard lock(mutex);
    abort_request = 1;
  }
  cond.notify_all();
}

void TPacketQueue::Start() {
  std::lock_guard lock(mutex);
  abort_request = 0;
  serial += 1;
}

}  // namespace corvane
