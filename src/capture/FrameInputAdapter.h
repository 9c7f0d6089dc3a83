// An application's pictures as the video stream of a task input.
//
// The input is opened with "-f frameinput" and the adapter's RegistryUrl()
// as its file name; every packet the task reads raises one of the read
// events, which fills the picture. Create adapters with std::make_shared:
// only a shared-owned adapter can be found by its id.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "capture/CaptureEvents.h"
#include "capture/FramePacking.h"
#include "foundation/AdapterRegistry.h"
#include "foundation/BaseComponent.h"
#include "foundation/Bitmap.h"
#include "foundation/EventSlot.h"

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/pixfmt.h>
}

namespace corvane {

// The frame being read; owned by the open input, shared with the handlers.
struct TInputFrameInfo {
  std::int64_t TimeStamp = 0;                   // microseconds; a handler may change it
  std::int64_t LastTimeStamp = AV_NOPTS_VALUE;  // of the previous packet
  std::int32_t FrameNumber = 0;                 // 1 for the first frame
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::int32_t BitsPerPixel = 0;   // 8, 16, 24 or 32 for the bitmap kinds; 0 for yuv
  std::int32_t BytesPerLine = 0;   // a bitmap row padded to 4 bytes; 0 for yuv
  std::int32_t BytesPerFrame = 0;  // the packet size
  AVPixelFormat PixelFormat = AV_PIX_FMT_YUV420P;
  std::uint8_t* Palette = nullptr;  // 256 entries of 4 bytes for pal8 bitmap input
};

// A read event's result: 0 or more for success; negative for an error code
// that ends the input, except AVERROR(EAGAIN), after which the task asks again.
using TReadFrameDataEvent =
    std::function<int(TObject* Sender, std::uint8_t* AData, TInputFrameInfo* AFrameInfo)>;
// The canvas is a bitmap of the input's size and layout, kept between frames;
// its size and format must stay as they are. It is locked for the call.
using TReadFrameCanvasEvent =
    std::function<int(TObject* Sender, Bitmap& ACanvas, TInputFrameInfo* AFrameInfo)>;

class TFrameInputAdapter : public TFFBaseComponent, public TRegisteredObject {
 public:
  explicit TFrameInputAdapter(TComponent* AOwner = nullptr) : TFFBaseComponent(AOwner) {}
  const char* ClassName() const override { return "TFrameInputAdapter"; }

  // Handlers may be set from any thread; they run on the main thread when
  // TriggerEventInMainThread is on (the default), else on the reading thread.
  void SetOnReadHeader(TCaptureNotifyEvent AValue) { FOnReadHeader.Set(std::move(AValue)); }
  void SetOnReadClose(TCaptureNotifyEvent AValue) { FOnReadClose.Set(std::move(AValue)); }
  // yuv: the handler writes BytesPerFrame bytes of planar picture.
  void SetOnReadFrameYUV(TReadFrameDataEvent AValue) { FOnReadFrameYUV.Set(std::move(AValue)); }
  // bmp: the handler writes Height rows of BytesPerLine bytes, the top row
  // first, into the bitmap memory kept between frames.
  void SetOnReadFrameBMP(TReadFrameDataEvent AValue) { FOnReadFrameBMP.Set(std::move(AValue)); }
  void SetOnReadFrameCanvas(TReadFrameCanvasEvent AValue) {
    FOnReadFrameCanvas.Set(std::move(AValue));
  }

  bool TriggerEventInMainThread() const { return FTriggerEventInMainThread; }
  void SetTriggerEventInMainThread(bool AValue) { FTriggerEventInMainThread = AValue; }
  void* UserData() const { return FData; }
  void SetUserData(void* AValue) { FData = AValue; }
  // The most recently opened input's frame info, null once it closed. For
  // the handlers; not to be kept beyond the input's close.
  TInputFrameInfo* FrameInfo() const { return FFrameInfo; }

  // Reading thread, called by the input format. ReadFrame returns the
  // handler's result, -1 without a handler, AVERROR_EXIT when the main
  // thread is shutting down, AVERROR_EXTERNAL when the handler threw.
  void ReadHeader(TInputFrameInfo* AInfo);
  int ReadFrame(TFrameInputKind AKind, std::uint8_t* AData, Bitmap& ABitmap,
                TInputFrameInfo* AInfo);
  void ReadClose(TInputFrameInfo* AInfo);

 private:
  int ReadCanvas(Bitmap& ABitmap, TInputFrameInfo* AInfo);

  TEventSlot<void(TObject*)> FOnReadHeader{"OnReadHeader", SlotThread::Main, this,
                                           &FTriggerEventInMainThread};
  TEventSlot<void(TObject*)> FOnReadClose{"OnReadClose", SlotThread::Main, this,
                                          &FTriggerEventInMainThread};
  TEventSlot<int(TObject*, std::uint8_t*, TInputFrameInfo*)> FOnReadFrameYUV{
      "OnReadFrameYUV", SlotThread::Main, this, &FTriggerEventInMainThread};
  TEventSlot<int(TObject*, std::uint8_t*, TInputFrameInfo*)> FOnReadFrameBMP{
      "OnReadFrameBMP", SlotThread::Main, this, &FTriggerEventInMainThread};
  TEventSlot<int(TObject*, Bitmap&, TInputFrameInfo*)> FOnReadFrameCanvas{
      "OnReadFrameCanvas", SlotThread::Main, this, &FTriggerEventInMainThread};
  std::atomic<bool> FTriggerEventInMainThread{true};
  std::atomic<void*> FData{nullptr};
  std::atomic<TInputFrameInfo*> FFrameInfo{nullptr};
};

}  // namespace corvane
