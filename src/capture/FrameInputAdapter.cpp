#include "capture/FrameInputAdapter.h"

#include <type_traits>
#include <utility>

extern "C" {
#include <libavutil/error.h>
}

namespace corvane {

// Runs a handler where the adapter says: its result, -1 without one,
// AVERROR_EXIT when the main thread shut down first, AVERROR_EXTERNAL when it
// threw (logged).
template <class Slot, class... B>
int TFrameInputAdapter::RunEvent(const Slot& AEvent, B&&... AArgs) {
  const auto r = AEvent.Call(std::forward<B>(AArgs)...);
  switch (r.Outcome) {
    case SlotOutcome::Ran:
      if constexpr (std::is_same_v<decltype(r.Value), int>) return r.Value;
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

void TFrameInputAdapter::ReadHeader(TInputFrameInfo* AInfo) {
  FFrameInfo = AInfo;
  RunEvent(FOnReadHeader, this);
}

int TFrameInputAdapter::ReadFrame(TFrameInputKind AKind, std::uint8_t* AData, Bitmap& ABitmap,
                                  TInputFrameInfo* AInfo) {
  switch (AKind) {
    case TFrameInputKind::Yuv:
      return RunEvent(FOnReadFrameYUV, this, AData, AInfo);
    case TFrameInputKind::Bmp:
      return RunEvent(FOnReadFrameBMP, this, AData, AInfo);
    case TFrameInputKind::Canvas:
      return RunEvent(FOnReadFrameCanvas, this, ABitmap, AInfo);
    default:
      return -1;
  }
}

void TFrameInputAdapter::ReadClose(TInputFrameInfo* AInfo) {
  TInputFrameInfo* expected = AInfo;
  FFrameInfo.compare_exchange_strong(expected, nullptr);
  RunEvent(FOnReadClose, this);
}

}  // namespace corvane
