#include "capture/FrameInputAdapter.h"

#include <mutex>
#include <type_traits>

extern "C" {
#include <libavutil/error.h>
}

namespace corvane {

// A handler's outcome as a read result: its result, -1 without one,
// AVERROR_EXIT when the main thread shut down first, AVERROR_EXTERNAL when it
// threw (logged).
template <class R>
int TFrameInputAdapter::ReadResult(const TSlotResult<R>& AResult) {
  switch (AResult.Outcome) {
    case SlotOutcome::Ran:
      if constexpr (std::is_same_v<R, int>) return AResult.Value;
      return 0;
    case SlotOutcome::Threw:
      return AVERROR_EXTERNAL;
    case SlotOutcome::NotRun:
      return AVERROR_EXIT;
    case SlotOutcome::NoHandler:
      break;
  }
  return -1;
}

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
  return ReadResult(r);
}

void TFrameInputAdapter::ReadHeader(TInputFrameInfo* AInfo) {
  FFrameInfo = AInfo;
  ReadResult(FOnReadHeader.Call(this));
}

int TFrameInputAdapter::ReadFrame(TFrameInputKind AKind, std::uint8_t* AData, Bitmap& ABitmap,
                                  TInputFrameInfo* AInfo) {
  switch (AKind) {
    case TFrameInputKind::Yuv:
      return ReadResult(FOnReadFrameYUV.Call(this, AData, AInfo));
    case TFrameInputKind::Bmp:
      return ReadResult(FOnReadFrameBMP.Call(this, AData, AInfo));
    case TFrameInputKind::Canvas:
      return ReadCanvas(ABitmap, AInfo);
    default:
      return -1;
  }
}

void TFrameInputAdapter::ReadClose(TInputFrameInfo* AInfo) {
  TInputFrameInfo* expected = AInfo;
  FFrameInfo.compare_exchange_strong(expected, nullptr);
  ReadResult(FOnReadClose.Call(this));
}

}  // namespace corvane
