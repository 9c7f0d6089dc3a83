#include "capture/WaveInputAdapter.h"

namespace corvane {

void TWaveInputAdapter::ReadHeader(TInputWaveInfo* AInfo) {
  FWaveInfo = AInfo;
  FOnReadHeader.Call(this);
}

int TWaveInputAdapter::ReadWaveData(std::uint8_t* AData, TInputWaveInfo* AInfo) {
  return captureReadResult(FOnReadWaveData.Call(this, AData, AInfo));
}

void TWaveInputAdapter::ReadClose(TInputWaveInfo* AInfo) {
  TInputWaveInfo* expected = AInfo;
  FWaveInfo.compare_exchange_strong(expected, nullptr);
  FOnReadClose.Call(this);
}

}  // namespace corvane
