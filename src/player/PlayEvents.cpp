#include "player/PlayEvents.h"

#include <chrono>

namespace corvane {

void TEventQueue::Push(const TPlayRecord& r) {
  {
    std::lock_guard g(FLock);
    if (FCount == kSlots) {  // the oldest is dropped
      FHeader = (FHeader + 1) % kSlots;
      --FCount;
    }
    FList[(FHeader + FCount) % kSlots] = r;
    ++FCount;
  }
  FEvent.notify_all();
}

bool TEventQueue::Popup(TPlayRecord& r) {
  std::lock_guard g(FLock);
  if (FCount == 0) return false;
  r = FList[FHeader];
  FList[FHeader] = TPlayRecord{};
  FHeader = (FHeader + 1) % kSlots;
  --FCount;
  return true;
}

void TEventQueue::Reset() {
  std::lock_guard g(FLock);
  FHeader = FCount = 0;
  FList.fill(TPlayRecord{});
}

bool TEventQueue::Wait(double seconds) {
  std::unique_lock g(FLock);
  return FEvent.wait_for(g, std::chrono::duration<double>(seconds), [this] { return FCount > 0; });
}

void TPlayEventRing::Post(const TPlayEvent& e) {
  {
    std::lock_guard g(FLock);
    const int last = (FRead + FCount - 1) % kSlots;
    if (FCount > 0 && e.type == 1 && FList[last].type == 1) {
      FList[last] = e;  // positions coalesce
    } else {
      if (FCount == kSlots) {  // the oldest is lost
        FRead = (FRead + 1) % kSlots;
        --FCount;
      }
      FList[(FRead + FCount) % kSlots] = e;
      ++FCount;
    }
    FSignalled = true;
  }
  FSignal.notify_all();
}

bool TPlayEventRing::Take(TPlayEvent& e) {
  std::lock_guard g(FLock);
  e = TPlayEvent{};
  if (FCount > 0) {
    e = FList[FRead];
    FList[FRead] = TPlayEvent{};
    FRead = (FRead + 1) % kSlots;
    --FCount;
  }
  if (FCount == 0) FSignalled = false;
  return true;
}

void TPlayEventRing::Reset() {
  std::lock_guard g(FLock);
  FRead = FCount = 0;
  FList.fill(TPlayEvent{});
  FSignalled = true;
  FSignal.notify_all();
}

bool TPlayEventRing::Wait(double seconds) {
  std::unique_lock g(FLock);
  return FSignal.wait_for(g, std::chrono::duration<double>(seconds), [this] { return FSignalled; });
}

}  // namespace corvane
