#include "capture/FrameInputAdapter.h"

#include <mutex>

namespace corvane {

// The canvas is locked for the call, on the thread that runs the handler.
int TFrameInputAdapter::ReadCanvas(Bitmap& ABitmap, TInputFrameInfo* AInfo) {
  const auto h = FOnReadFrameCanvas.Snapshot();
  if (!h) return -1;
  TSlotResult<int> r;
  r.Outcome = SlotOutcome::NotRun;
  FOnReadFrameCanvas.Deliver([&] {
    std::lock_guard canvas(ABitmap.canvas);
    r = FOnReadFrameCanvas.Invoke(*h, this, ABitmap, AInfo);
  });
  return captureReadResult(r);
}

void TFrameInputAdapter::ReadHeader(TInputFrameInfo* AInfo) {
  FFrameInfo = AInfo;
  FOnReadHeader.Call(this);
}

int TFrameInputAdapter::ReadFrame(TFrameInputKind AKind, std::uint8_t* AData, Bitmap& ABitmap,
                                  TInputFrameInfo* AInfo) {
  switch (AKind) {
    case TFrameInputKind::Yuv:
      return captureReadResult(FOnReadFrameYUV.Call(this, AData, AInfo));
    case TFrameInputKind::Bmp:
      return captureReadResult(FOnReadFrameBMP.Call(this, AData, AInfo));
    case TFrameInputKind::Canvas:
      return ReadCanvas(ABitmap, AInfo);
    default:
      return -1;
  }
}

void TFrameInputAdapter::ReadClose(TInputFrameInfo* AInfo) {
  TInputFrameInfo* expected = AInfo;
  FFrameInfo.compare_exchange_strong(expected, nullptr);
  FOnReadClose.Call(this);
}

}  // namespace corvane
