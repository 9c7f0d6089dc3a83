#include "capture/WaveInputAdapter.h"

#include <type_traits>
#include <utility>

extern "C" {
#include <libavutil/error.h>
}

namespace corvane {

// A handler's result, -1 without one, AVERROR_EXTERNAL when it threw (logged).
template <class Slot, class... B>
int TWaveInputAdapter::RunEvent(const Slot& AEvent, B&&... AArgs) {
  const auto r = AEvent.Call(std::forward<B>(AArgs)...);
  if (r.Outcome == SlotOutcome::Threw) return AVERROR_EXTERNAL;
  if (!r.Ran()) return -1;
  if constexpr (std::is_same_v<decltype(r.Value), int>) return r.Value;
  return 0;
}

void TWaveInputAdapter::ReadHeader(TInputWaveInfo* AInfo) {
  FWaveInfo = AInfo;
  RunEvent(FOnReadHeader, this);
}

int TWaveInputAdapter::ReadWaveData(std::uint8_t* AData, TInputWaveInfo* AInfo) {
  return RunEvent(FOnReadWaveData, this, AData, AInfo);
}

void TWaveInputAdapter::ReadClose(TInputWaveInfo* AInfo) {
  TInputWaveInfo* expected = AInfo;
  FWaveInfo.compare_exchange_strong(expected, nullptr);
  RunEvent(FOnReadClose, this);
}

}  // namespace corvane
