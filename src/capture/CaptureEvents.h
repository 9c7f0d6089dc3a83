// The capture adapters' notification events, and how a read handler's
// outcome becomes a read result.
#pragma once

#include <functional>
#include <type_traits>

#include "foundation/EventSlot.h"

extern "C" {
#include <libavutil/error.h>
}

namespace corvane {

class TObject;

// OnReadHeader, OnReadClose.
using TCaptureNotifyEvent = std::function<void(TObject* Sender)>;

// A handler's outcome as a read result: its result (0 for a notification),
// -1 without a handler, AVERROR_EXIT when the main thread shut down first,
// AVERROR_EXTERNAL when it threw (logged).
template <class R>
int captureReadResult(const TSlotResult<R>& AResult) {
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

}  // namespace corvane
