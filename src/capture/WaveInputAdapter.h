// An application's interleaved PCM samples as the audio stream of a task
// input.
//
// The input is opened with "-f waveinput" and the adapter's RegistryUrl() as
// its file name; every packet the task reads raises OnReadWaveData on the
// task's reading thread. Create adapters with std::make_shared: only a
// shared-owned adapter can be found by its id.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "capture/CaptureEvents.h"
#include "foundation/AdapterRegistry.h"
#include "foundation/BaseComponent.h"
#include "foundation/EventSlot.h"

namespace corvane {

// The packet being read; owned by the open input, shared with the handlers.
struct TInputWaveInfo {
  std::int64_t TimeStamp = 0;    // microseconds, from the bytes delivered before
  std::int32_t FrameNumber = 0;  // counts reads; the first read sees 1
  std::int32_t FrameSize = 0;    // bytes asked for: 1024 sample frames
  std::int64_t TotalSize = 0;    // bytes delivered so far
  std::int32_t SampleRate = 0;
  std::int32_t SampleFormat = 0;  // bits per sample: 8 (u8), 16 (s16) or 32 (s32)
  std::int32_t Channels = 0;
};

// Writes at most FrameSize bytes of whole sample frames to AData and returns
// their number; 0 means "nothing yet" and the task asks again later, as it
// does after AVERROR(EAGAIN); another negative result ends the input.
using TReadWaveDataEvent =
    std::function<int(TObject* Sender, std::uint8_t* AData, TInputWaveInfo* AWaveInfo)>;

class TWaveInputAdapter : public TFFBaseComponent, public TRegisteredObject {
 public:
  explicit TWaveInputAdapter(TComponent* AOwner = nullptr) : TFFBaseComponent(AOwner) {}
  const char* ClassName() const override { return "TWaveInputAdapter"; }

  // Handlers may be set from any thread; they run on the reading thread.
  void SetOnReadHeader(TCaptureNotifyEvent AValue) { FOnReadHeader.Set(std::move(AValue)); }
  void SetOnReadClose(TCaptureNotifyEvent AValue) { FOnReadClose.Set(std::move(AValue)); }
  void SetOnReadWaveData(TReadWaveDataEvent AValue) { FOnReadWaveData.Set(std::move(AValue)); }

  void* UserData() const { return FData; }
  void SetUserData(void* AValue) { FData = AValue; }
  // The most recently opened input's wave info, null once it closed.
  TInputWaveInfo* WaveInfo() const { return FWaveInfo; }

  // Reading thread, called by the input format. ReadWaveData returns the
  // handler's result, -1 without a handler, AVERROR_EXTERNAL when it threw.
  void ReadHeader(TInputWaveInfo* AInfo);
  int ReadWaveData(std::uint8_t* AData, TInputWaveInfo* AInfo);
  void ReadClose(TInputWaveInfo* AInfo);

 private:
  TEventSlot<void(TObject*)> FOnReadHeader{"OnReadHeader", SlotThread::Raiser, this};
  TEventSlot<void(TObject*)> FOnReadClose{"OnReadClose", SlotThread::Raiser, this};
  TEventSlot<int(TObject*, std::uint8_t*, TInputWaveInfo*)> FOnReadWaveData{
      "OnReadWaveData", SlotThread::Raiser, this};
  std::atomic<void*> FData{nullptr};
  std::atomic<TInputWaveInfo*> FWaveInfo{nullptr};
};

}  // namespace corvane
