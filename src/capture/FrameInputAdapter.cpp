#include "capture/FrameInputAdapter.h"

#include <exception>

#include "foundation/Logger.h"
#include "foundation/MainThread.h"

extern "C" {
#include <libavutil/error.h>
}

namespace corvane {

// Runs a handler where the adapter says; a throwing handler is logged and
// ends the input with AVERROR_EXTERNAL.
int TFrameInputAdapter::RunEvent(const char* AName, const std::function<int()>& ACall) {
  int result = -1;
  const std::function<void()> body = [&] { result = ACall(); };
  try {
    if (!FTriggerEventInMainThread) {
      body();
    } else if (!callInMainThread(body)) {
      return AVERROR_EXIT;
    }
  } catch (const std::exception& e) {
    FFLogger().Log(this, llError, "%s handler failed: %s", AName, e.what());
    return AVERROR_EXTERNAL;
  } catch (...) {
    FFLogger().Log(this, llError, "%s handler failed", AName);
    return AVERROR_EXTERNAL;
  }
  return result;
}

void TFrameInputAdapter::ReadHeader(TInputFrameInfo* AInfo) {
  FFrameInfo = AInfo;
  if (auto handler = FOnReadHeader.Get())
    RunEvent("OnReadHeader", [&] {
      (*handler)(this);
      return 0;
    });
}

int TFrameInputAdapter::ReadFrame(TFrameInputKind AKind, std::uint8_t* AData, Bitmap& ABitmap,
                                  TInputFrameInfo* AInfo) {
  switch (AKind) {
    case TFrameInputKind::Yuv:
    case TFrameInputKind::Bmp: {
      auto handler = AKind == TFrameInputKind::Yuv ? FOnReadFrameYUV.Get() : FOnReadFrameBMP.Get();
      if (!handler) return -1;
      return RunEvent(AKind == TFrameInputKind::Yuv ? "OnReadFrameYUV" : "OnReadFrameBMP",
                      [&] { return (*handler)(this, AData, AInfo); });
    }
    case TFrameInputKind::Canvas: {
      auto handler = FOnReadFrameCanvas.Get();
      if (!handler) return -1;
      return RunEvent("OnReadFrameCanvas", [&] { return (*handler)(this, ABitmap, AInfo); });
    }
    default:
      return -1;
  }
}

void TFrameInputAdapter::ReadClose(TInputFrameInfo* AInfo) {
  TInputFrameInfo* expected = AInfo;
  FFrameInfo.compare_exchange_strong(expected, nullptr);
  if (auto handler = FOnReadClose.Get())
    RunEvent("OnReadClose", [&] {
      (*handler)(this);
      return 0;
    });
}

}  // namespace corvane
