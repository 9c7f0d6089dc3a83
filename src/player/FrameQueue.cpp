#include "player/FrameQueue.h"

#include <algorithm>

namespace corvane {

TFrameQueue::~TFrameQueue() { Destroy(); }

int TFrameQueue::Init(TPacketQueue* q, int requested, bool keepLast) {
  Destroy();
  pktq = q;
  max_size = std::clamp(requested, 1, kMaxSize);
  keep_last = keepLast;
  rindex = windex = size = rindex_shown = 0;
  current = nullptr;
  for (int i = 0; i < max_size; ++i) {
    queue[i].frame = makeFrame();
    if (!queue[i].frame) {
      Destroy();
      return AVERROR(ENOMEM);
    }
  }
  return 0;
}

void TFrameQueue::Destroy() {
  for (TFFFrame& vp : queue) {
    if (!vp.frame) continue;
    unrefItem(vp);
    vp.frame.reset();
  }
  max_size = 0;
}

void TFrameQueue::unrefItem(TFFFrame& vp) {
  std::lock_guard lock(vp.lock);
  vp.uploaded = 0;
  if (vp.frame && ff::av_frame_unref) ff::av_frame_unref(vp.frame.get());
  if ((vp.sub.num_rects || vp.sub.rects) && ff::avsubtitle_free) ff::avsubtitle_free(&vp.sub);
}

void TFrameQueue::Signal() {
  // Taking the lock orders the wake after a waiter's test of its condition.
  { std::lock_guard lock(mutex); }
  cond.notify_all();
}

TFFFrame* TFrameQueue::Peek() { return &queue[(rindex + rindex_shown) % max_size]; }

TFFFrame* TFrameQueue::PeekNext() { return &queue[(rindex + rindex_shown + 1) % max_size]; }

TFFFrame* TFrameQueue::PeekLast() { return &queue[rindex]; }

TFFFrame* TFrameQueue::PeekWritable() {
  std::unique_lock lock(mutex);
  cond.wait(lock, [this] { return size < max_size || pktq->abort_request; });
  if (pktq->abort_request) return nullptr;
  return &queue[windex];
}

TFFFrame* TFrameQueue::PeekReadable() {
  std::unique_lock lock(mutex);
  cond.wait(lock, [this] { return size - rindex_shown > 0 || pktq->abort_request || pktq->eof; });
  if (pktq->abort_request) return nullptr;
  if (pktq->eof && size - rindex_shown < 1) return nullptr;
  return Peek();
}

void TFrameQueue::Push() {
  windex = (windex + 1) % max_size;
  {
    std::lock_guard lock(mutex);
    size += 1;
  }
  cond.notify_all();
}

void TFrameQueue::Next() {
  if (keep_last && !rindex_shown) {
    rindex_shown = 1;
    return;
  }
  unrefItem(queue[rindex]);
  rindex = (rindex + 1) % max_size;
  {
    std::lock_guard lock(mutex);
    size -= 1;
  }
  cond.notify_all();
}

std::int64_t TFrameQueue::LastShownPos() const {
  // Threads other than the consumer ask too: under the lock, the slot cannot
  // be released to the producer and refilled while it is read.
  std::lock_guard lock(mutex);
  const TFFFrame& fp = queue[rindex];
  if (rindex_shown && fp.serial == pktq->serial) return fp.pos;
  return -1;
}

}  // namespace corvane
